// --inspect: files the relay would not read are refused with their reason and status 1, and
// nothing a message holds reaches either output stream as a control character.
#include "app/preview_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "../common/temp_folder.h"

namespace droprelay {
namespace {

using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

const std::string kPlain = "To: a@x.example\r\nSubject: plain\r\n\r\nbody\r\n";

// The offset of the first byte a terminal could act on (C0 controls but LF and TAB, DEL, the C1
// controls in their UTF-8 form), or npos.
std::size_t FirstControl(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) return i;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) return i;
  }
  return std::string::npos;
}

class Inspect : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(ini, "[System]\ndomain_name=corp.example\nmax_message_size=200\n"); }

  int Run(const std::vector<std::string>& files, bool json = false) {
    out.str("");
    err.str("");
    return RunInspect(platform::IniFile(ini), files, json, out, err);
  }

  TempFolder folder;
  const std::string ini = folder / "r.ini";
  std::ostringstream out, err;
};

TEST_F(Inspect, FilesTheRelayWouldNotReadAreRefusedWithTheirReason) {
  WriteFile(folder / "m.eml", kPlain);
  ASSERT_EQ(::symlink((folder / "m.eml").c_str(), (folder / "link.eml").c_str()), 0);
  WriteFile(folder / "big.eml", kPlain + std::string(300, 'x'));
  ASSERT_EQ(::mkdir((folder / "dir.eml").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo((folder / "fifo.eml").c_str(), 0600), 0);
  WriteFile(folder / "held.eml", kPlain);
  const int holder = ::open((folder / "held.eml").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_SH | LOCK_NB), 0);  // a reader's shared lock is enough to wait for

  const struct {
    std::string name;
    std::string reason;
  } cases[] = {
      {"link.eml", "link.eml: not a regular file: Is a symbolic link"},
      {"missing.eml", "missing.eml: locked by another process, or gone: No such file or directory"},
      {"big.eml", "big.eml: larger than max_message_size: " + std::to_string(kPlain.size() + 300) +
                      " bytes, more than 200"},
      {"dir.eml", "dir.eml: not a regular file"},
      {"fifo.eml", "fifo.eml: not a regular file"},
      {"held.eml", "held.eml: locked by another process, or gone"},
  };
  for (const auto& c : cases) {
    for (const bool json : {false, true}) {
      EXPECT_EQ(Run({folder / c.name, folder / "m.eml"}, json), 1) << c.name;
      EXPECT_NE(err.str().find("droprelay: " + folder / c.reason), std::string::npos) << err.str();
      // The refused file is not shown as an empty message; the readable one still is.
      EXPECT_EQ(out.str().find(c.name), std::string::npos) << out.str();
      EXPECT_NE(out.str().find("m.eml"), std::string::npos) << c.name;
    }
  }
  ::close(holder);
  EXPECT_EQ(Run({folder / "held.eml"}), 0) << err.str();
  EXPECT_NE(out.str().find("Subject:    plain\n"), std::string::npos) << out.str();
}

TEST_F(Inspect, NothingInAMessageReachesTheOutputAsAControlCharacter) {
  const struct {
    std::string header;  // the Subject header's value as stored
    std::string shown;   // the subject as --inspect shows it
  } cases[] = {
      {"red \x1b[31mALERT\x1b[0m", "red ?[31mALERT?[0m"},
      {"=?UTF-8?Q?x=1B[2Jy=0Dz=0Aw?=", "x?[2Jy?z?w"},
      {"=?UTF-8?Q?bell=07del=7F?=", "bell?del?"},
      {"=?UTF-8?Q?csi=C2=9B1m?=", "csi?1m"},
  };
  for (const auto& c : cases) {
    WriteFile(folder / "m.eml", "To: a@x.example\r\nSubject: " + c.header +
                                    "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\none \x1b]0;t\x07 two\r\nend\r\n");
    EXPECT_EQ(Run({folder / "m.eml"}), 0) << err.str();
    EXPECT_EQ(FirstControl(out.str()), std::string::npos) << out.str();
    EXPECT_EQ(FirstControl(err.str()), std::string::npos) << err.str();
    EXPECT_NE(out.str().find("\nSubject:    " + c.shown + "\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\nBody:\none ?]0;t? two\nend\n\n"), std::string::npos) << out.str();

    EXPECT_EQ(Run({folder / "m.eml"}, true), 0) << err.str();
    EXPECT_EQ(FirstControl(out.str()), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\"subject\":\"" + c.shown + "\""), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\"body\":\"one ?]0;t? two\\r\\nend\\r\\n\""), std::string::npos) << out.str();
  }
}

TEST_F(Inspect, AFileNameIsShownFilteredToo) {
  const std::string name = folder / "a\x1b[2J\rb.eml";
  WriteFile(name, kPlain);
  EXPECT_EQ(Run({name}), 0) << err.str();
  EXPECT_EQ(FirstControl(out.str()), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("File:       " + folder / "a?[2J?b.eml\n"), std::string::npos) << out.str();
  ::unlink(name.c_str());
  EXPECT_EQ(Run({name}), 1);
  EXPECT_EQ(err.str(), "droprelay: " + folder / "a?[2J?b.eml: locked by another process, or gone: No such file or directory\n");
}

}  // namespace
}  // namespace droprelay
