// The start-up check of the configuration file: what it reports, what it lists as in effect, and
// that it knows every key the relay reads.
#include "app/config_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "../common/temp_folder.h"
#include "text/convert.h"

namespace droprelay {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

TEST(CheckConfigText, FindingsWithLineKeyAndDefault) {
  struct Case {
    const char* name;
    const char* text;
    std::vector<std::string> findings;  // FindingText for file "r.ini"
  };
  const Case cases[] = {
      {"clean file", "[System]\nsend_mail=1\nDomain_Name=corp.example\n[STRINGS2CHANGE]\nstring0=a\n[equivalentStrings]\nstring0=b\n", {}},
      {"typo in a key", "[System]\ndomian_name=corp.example\n",
       {"r.ini:2: unknown key domian_name in [System] (did you mean domain_name? it keeps its default: example.org); not read"}},
      {"unknown key, nothing close", "[System]\nfavourite_colour=blue\n",
       {"r.ini:2: unknown key favourite_colour in [System]; not read"}},
      {"typo in a section", "[Sytem]\nsend_mail=1\n",
       {"r.ini:1: unknown section [Sytem] (did you mean [System]?); its keys are not read"}},
      {"words for numbers", "[System]\nsend_mail=yes\nMax_log_length=lots\ncycle_interval_ms=-5\nhtml_wait_ms=0x10\n",
       {"r.ini:2: send_mail=yes is not a number (0 or 1); the default 0 is used",
        "r.ini:3: Max_log_length=lots is not a number; the default 510 is used",
        "r.ini:4: cycle_interval_ms=-5 is not a number of 0 or more; the default 5000 is used"}},
      {"syslog values", "[System]\nsyslog=/run/x.sock\n", {}},
      {"bad syslog", "[System]\nsyslog=journal\n",
       {"r.ini:2: syslog=journal is not 0, 1 or the path of a socket; no copy goes to the system log"}},
      {"second block of one section", "[System]\ndomain_name=a\n\n[system]\nsend_mail=1\nnonsense=1\n",
       {"r.ini:4: section [system] repeats the section of line 1 and is not read (only the first is); move its keys there"}},
      {"repeated key", "[System]\nsend_mail=0\nSEND_MAIL=1\n",
       {"r.ini:3: key SEND_MAIL repeats line 2 and is not read (the first one is used)"}},
      {"substitution keys", "[Strings2change]\nstring255=a\nstring256=b\nstring01=c\nstr=d\n",
       {"r.ini:3: unknown key string256 in [Strings2change]; not read",
        "r.ini:4: unknown key string01 in [Strings2change]; not read",
        "r.ini:5: unknown key str in [Strings2change]; not read"}},
      {"a password is never shown", "[System]\nPasswrd=Secret-7\n",
       {"r.ini:2: unknown key Passwrd in [System] (did you mean Password? it keeps its default: empty); not read"}},
      {"CR line ends count lines", "[System]\rsend_mail=2\rbogus=1\r",
       {"r.ini:3: unknown key bogus in [System]; not read"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const ConfigFinding& finding : CheckConfigText(c.text)) got.push_back(FindingText("r.ini", finding));
    EXPECT_EQ(got, c.findings) << c.name;
  }
}

TEST(CheckProfilesText, UnknownAndRepeatedKeysOfTheProfilesFile) {
  struct Case {
    const char* text;
    std::vector<std::string> findings;
  };
  const Case cases[] = {
      {"[Profiles]\nDefaultProfile=office\n[office]\nurl=smtp://m\nfrom=a@b\nuser=u\npasswordfile=/p\nstarttls=1\n"
       "plaintext=0\ncafile=/c\npassword=x\n",
       {}},
      {"[Profiles]\nDefaultProfil=office\n", {"p.ini:2: unknown key DefaultProfil in [Profiles] (did you mean DefaultProfile?); not read"}},
      {"[office]\nurl=smtp://m\nstartls=1\n", {"p.ini:3: unknown key startls in [office] (did you mean starttls?); not read"}},
      {"[office]\nurl=smtp://m\n[OFFICE]\nfrom=a@b\n",
       {"p.ini:3: section [OFFICE] repeats the section of line 1 and is not read (only the first is); move its keys there"}},
      {"[office]\nfrom=a@b\nFROM=c@d\n", {"p.ini:3: key FROM repeats line 2 and is not read (the first one is used)"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (const ConfigFinding& finding : CheckProfilesText(c.text)) got.push_back(FindingText("p.ini", finding));
    EXPECT_EQ(got, c.findings) << c.text;
  }
}

TEST(CheckConfigText, LogLinesAreRussianAndNameFileAndLine) {
  const std::vector<ConfigFinding> findings = CheckConfigText("[System]\ndomian_name=x\nsend_mail=yes\n[system]\n");
  ASSERT_EQ(findings.size(), 3u);
  EXPECT_EQ(Cp1251ToUtf8(FindingLogText("/etc/r.ini", findings[0])),
            "Предупреждение настроек: /etc/r.ini, строка 2: неизвестный ключ domian_name не используется "
            "(возможно, имелось в виду domain_name); значение по умолчанию: example.org");
  EXPECT_EQ(Cp1251ToUtf8(FindingLogText("/etc/r.ini", findings[1])),
            "Предупреждение настроек: /etc/r.ini, строка 3: значение send_mail=yes не является числом, "
            "используется значение по умолчанию: 0");
  EXPECT_EQ(Cp1251ToUtf8(FindingLogText("/etc/r.ini", findings[2])),
            "Предупреждение настроек: /etc/r.ini, строка 4: повторный раздел [system] не читается, "
            "действует раздел из строки 1");
}

TEST(EffectiveSettings, ValuesAndOrigins) {
  const std::string text =
      "[System]\nSmtp_DropMail_path=/srv/a\nsend_mail=yes\nPassword=Secret-7\n"
      "ConnectionString=Driver={X};UID=u;PWD=pw9\n[Strings2change]\nstring7=x\n";
  std::map<std::string, std::pair<std::string, std::string>> byKey;
  for (const EffectiveSetting& s : EffectiveSettings(text, "r.ini")) byKey[s.section + "/" + s.key] = {s.value, s.origin};
  EXPECT_EQ(byKey["System/Smtp_DropMail_path"], std::make_pair(std::string("/srv/a"), std::string("r.ini:2")));
  EXPECT_EQ(byKey["System/send_mail"], std::make_pair(std::string("0"), std::string("default, r.ini:3 does not parse")));
  EXPECT_EQ(byKey["System/Password"].first, "(set, not shown)");
  EXPECT_EQ(byKey["System/ConnectionString"].first.find("pw9"), std::string::npos);
  EXPECT_EQ(byKey["System/domain_name"], std::make_pair(std::string("example.org"), std::string("default")));
  EXPECT_EQ(byKey["System/state_path"].first, "/srv/a.droprelay-state/");
  EXPECT_EQ(byKey["System/failed_path"].first, "/srv/failed/");
  EXPECT_EQ(byKey["Strings2change/string7"], std::make_pair(std::string("x"), std::string("r.ini:7")));
  EXPECT_EQ(byKey.size(), SystemSettings().size() + 1);
}

TEST(PrintConfigCheck, StatusFollowsTheFindings) {
  TempFolder folder;
  const std::string ini = folder / "r.ini";
  struct Case {
    const char* text;  // nullptr: no file
    int status;
    bool warns;
  };
  const std::string profiles = folder / "p.ini";
  const Case cases[] = {{"[System]\nsend_mail=1\n", 0, false}, {"[System]\nsend_mail=on\n", 78, true}, {nullptr, 78, true}};
  for (const Case& c : cases) {
    ::unlink(ini.c_str());
    if (c.text) WriteFile(ini, c.text);
    std::ostringstream out, err;
    EXPECT_EQ(PrintConfigCheck(ini, "r.log", profiles, out, err), c.status) << (c.text ? c.text : "no file");
    EXPECT_EQ(!err.str().empty(), c.warns) << err.str();
    if (c.text) {
      EXPECT_NE(out.str().find("\nsend_mail = "), std::string::npos) << out.str();
    }
  }
  // A mistake in the profiles file counts too.
  WriteFile(ini, "[System]\nsend_mail=1\n");
  WriteFile(profiles, "[office]\nurl=smtp://m\nfrom=a@b\nstarttsl=1\n");
  std::ostringstream out, err;
  EXPECT_EQ(PrintConfigCheck(ini, "r.log", profiles, out, err), 78);
  EXPECT_EQ(err.str(), "droprelay: warning: " + profiles + ":4: unknown key starttsl in [office] (did you mean starttls?); not read\n");
}

// A key read through RelayConfig but missing from the table would be called unknown at every start.
TEST(SystemSettings, ListsEveryKeyTheRelayReads) {
  std::ifstream header(std::string(DROPRELAY_TEST_DATA) + "/../../app/relay_config.h");
  ASSERT_TRUE(header.good());
  std::stringstream source;
  source << header.rdbuf();
  const std::string text = source.str();
  std::set<std::string> read;
  const std::regex accessor(R"re((?:Read\w+\(kSectionSystem\w*|NonNegative\()\s*,?\s*"(\w+)")re");
  for (std::sregex_iterator it(text.begin(), text.end(), accessor), end; it != end; ++it) read.insert((*it)[1]);
  std::set<std::string> listed;
  for (const KnownSetting& setting : SystemSettings()) listed.insert(setting.key);
  EXPECT_GE(read.size(), 20u);
  EXPECT_EQ(read, listed);
}

TEST(StartUpNotices, SendingOffIsSaidWithWhereFilesGo) {
  TempFolder folder;
  const std::string ini = folder / "r.ini";
  struct Case {
    const char* text;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"[System]\nsend_mail=1\n", {}},
      {"[System]\nmoveto_path=/srv/archive\n",
       {"warning: sending is off (send_mail=0): messages are not sent, their files are moved to /srv/archive/"}},
      {"[System]\nDelete_or_move=1\nsend_mail=yes\n",
       {"warning: " + ini + ":3: send_mail=yes is not a number (0 or 1); the default 0 is used",
        "warning: sending is off (send_mail=0): messages are not sent, their files are deleted"}},
  };
  for (const Case& c : cases) {
    WriteFile(ini, c.text);
    const platform::IniFile file(ini);
    std::vector<std::string> errors;
    for (const StartNotice& notice : StartUpNotices(RelayConfig(file))) errors.push_back(notice.errorLine);
    EXPECT_EQ(errors, c.errors) << c.text;
  }
}

}  // namespace
}  // namespace droprelay
