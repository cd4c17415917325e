// Relaying one stored message: the log lines in their order, the first attachment in TempFolder,
// recipient, subject and body as the submission would get them, and the HTML fallback.
#include "app/relay_message.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "../common/temp_folder.h"
#include "../common/recording_sleeper.h"
#include "../submit/smtp_sink_process.h"
#include "platform/sleeper.h"
#include "text/convert.h"

namespace droprelay {
namespace {

using droprelay::testing::ReadFile;
using droprelay::testing::TempFolder;
using droprelay::testing::WriteFile;

using droprelay::testing::RecordingSleeper;

class RelayMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(drop.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(temp.c_str(), 0755), 0);
    Configure("");
  }

  void Configure(const std::string& keys) {
    WriteFile(ini, "[System]\ndomain_name=corp.example\n" + keys);
  }

  // Writes a stored message (LF line ends are fine: the loader accepts them) and relays it.
  RelayOutcome Relay(const std::string& name, const std::string& text) {
    WriteFile(drop + name, text);
    const RelayContext context{config, log, tempFolder, table};
    return RelayMessageFile(context, drop, name);
  }

  RelayPreview Preview(const std::string& name, const std::string& text) {
    WriteFile(drop + name, text);
    const RelayContext context{config, log, tempFolder, table};
    return PreviewMessageFile(context, drop + name);
  }

  // The log as UTF-8, for readable expectations.
  std::vector<std::string> Lines() const {
    std::vector<std::string> utf8;
    for (const std::string& line : lines) utf8.push_back(Cp1251ToUtf8(line));
    return utf8;
  }

  TempFolder root;
  const std::string drop = root / "drop/";
  const std::string temp = root / "temp";
  const std::string tempFolder = temp + "/";
  const std::string ini = root / "droprelay.ini";
  platform::IniFile file{ini};
  RelayConfig config{file};
  SubstitutionTable table;
  std::vector<std::string> lines;
  const std::function<void(const std::string&)> log = [this](const std::string& line) { lines.push_back(line); };
  RecordingSleeper sleeper;
  platform::ScopedSleeper sleeperGuard{sleeper};
};

const std::string kPlainWithAttachment =
    "From: sender@example.net\n"
    "To: \"Иванов\" <ivanov@example.net>, petrov@example.net\n"
    "Subject: =?utf-8?B?0J/RgNC40LLQtdGCLCDQvNC40YA=?=\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\n"
    "\n"
    "--b1\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: 8bit\n"
    "\n"
    "Добрый день!\n"
    "--b1\n"
    "Content-Type: application/octet-stream; name=\"re;port.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "AAECAwQF\n"
    "--b1\n"
    "Content-Type: text/plain; name=\"second.txt\"\n"
    "\n"
    "second attachment\n"
    "--b1--\n";

TEST_F(RelayMessageTest, LogsEveryStepInOrderAndCleansUpTheAttachment) {
  EXPECT_TRUE(Relay("msg1.eml", kPlainWithAttachment).Done());  // send_mail is off: the outcome is true
  const std::vector<std::string> expected = {
      "Найден файл msg1.eml",
      "Письмо содержит вложение: re;port.bin",
      "Charset=iso-8859-1",
      "Адресат: ivanov@example.net,petrov@example.net",
      "Адресат после обработки: ivanov@corp.example",
      "Тема: Привет, мир",
      "Тема после обработки: Привет, мир",
      "Текст: Добрый день!\r\n",
      "Текст после обработки: Добрый день!\r\n",
  };
  EXPECT_EQ(Lines(), expected);
  // Saved as "report.bin" in a folder of its own, removed with it after the (switched-off) send,
  // without any wait.
  EXPECT_TRUE(std::filesystem::is_empty(temp));
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST_F(RelayMessageTest, PreviewShowsWhatWouldBeSentWithoutWritingAnything) {
  Configure("send_copy_to=boss@corp.example\n");
  const RelayPreview preview = Preview("msg1.eml", kPlainWithAttachment);
  EXPECT_EQ(preview.recipient, "ivanov@corp.example ; boss@corp.example");
  EXPECT_EQ(Cp1251ToUtf8(preview.subject), "Привет, мир");
  EXPECT_EQ(Cp1251ToUtf8(preview.body), "Добрый день!\r\n");
  ASSERT_TRUE(preview.attachment.has_value());
  EXPECT_EQ(preview.attachment->name, "report.bin");
  EXPECT_EQ(preview.attachment->size, 6u);
  EXPECT_TRUE(std::filesystem::is_empty(temp));
  EXPECT_TRUE(sleeper.waits.empty());
}

TEST_F(RelayMessageTest, UnsavableAttachmentKeepsTheMessageFromBeingSent) {
  // Sending is on: a message without its attachment must not reach the submission at all.
  Configure("send_mail=1\nMAPIProfile=no-such-profile\n");
  ASSERT_EQ(::rmdir(temp.c_str()), 0);
  const RelayOutcome outcome = Relay("msg1.eml", kPlainWithAttachment);
  EXPECT_EQ(outcome.outcome, Outcome::kAttachmentNotSaved);
  const std::vector<std::string> got = Lines();
  ASSERT_GE(got.size(), 5u);
  EXPECT_EQ(got[1], "Письмо содержит вложение: re;port.bin");
  EXPECT_EQ(got[2], "No such file or directory");
  EXPECT_EQ(got[3], "Ошибка извлечения Attachs!");
  EXPECT_EQ(got[4], "Charset=iso-8859-1");
  for (const std::string& line : got) EXPECT_EQ(line.find("Попытка отправки"), std::string::npos) << line;
}

TEST_F(RelayMessageTest, AttachmentNamedLikeSomethingInTempFolderTouchesNothingThere) {
  // A folder and a file of the attachment's name already stand in the shared temporary folder.
  ASSERT_EQ(::mkdir((tempFolder + "report.bin").c_str(), 0755), 0);
  WriteFile(tempFolder + "second.txt", "someone else's file");
  WriteFile(tempFolder + "victim.txt", "someone else's file");
  const std::string named = "To: a@b\nContent-Type: multipart/mixed; boundary=z\n\n--z\nContent-Type: text/plain\n\nhi\n"
                            "--z\nContent-Type: text/plain; name=\"victim.txt\"\n\nmine\n--z--\n";
  EXPECT_TRUE(Relay("a.eml", kPlainWithAttachment).Done());
  EXPECT_TRUE(Relay("b.eml", named).Done());
  EXPECT_TRUE(std::filesystem::is_directory(tempFolder + "report.bin"));
  EXPECT_EQ(ReadFile(tempFolder + "second.txt"), "someone else's file");
  EXPECT_EQ(ReadFile(tempFolder + "victim.txt"), "someone else's file");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp), {}), 3) << "private folders removed";
}

TEST_F(RelayMessageTest, RecipientsThatCannotBeRelayedArePermanentFailures) {
  struct Case {
    std::string to;
    bool relayable;
  };
  const Case cases[] = {
      {"ivanov@example.net", true},
      {"\"Ivanov, Ivan\" <ivanov@example.net>", true},
      {"undisclosed-recipients:;", false},
      {"", false},
      {"helpdesk", true},
      {"attacker%evil.test@example.net", false},
      {"evil.test!attacker@example.net", false},
      {"us\ter@example.net", false},
      {"<@example.net>", false},
  };
  for (const bool sending : {true, false}) {
    // With sending on, a relayable message reaches the submission (whose unknown profile then
    // is the configuration's fault); with sending off, every message is simply processed, as before.
    Configure(sending ? "send_mail=1\nMAPIProfile=no-such-profile\n" : "");
    for (const Case& c : cases) {
      SCOPED_TRACE(c.to + (sending ? " sending" : " not sending"));
      lines.clear();
      const std::string header = c.to.empty() ? std::string() : "To: " + c.to + "\n";
      const RelayOutcome outcome = Relay("r.eml", header + "Subject: x\n\nbody\n");
      const bool submitted = Lines().back().rfind("Попытка отправки", 0) == 0 ||
                             Lines()[Lines().size() - 2].rfind("Попытка отправки", 0) == 0;
      if (!sending) {
        EXPECT_EQ(outcome.outcome, Outcome::kNotSent);
      } else {
        EXPECT_EQ(DispositionOf(outcome.outcome), c.relayable ? Disposition::kStop : Disposition::kQuarantine);
        EXPECT_EQ(submitted, c.relayable);
      }
    }
  }
  // A NUL inside the local part is never cut off or dropped into another user's address.
  std::string withNul = "us";
  withNul += '\0';
  withNul += "er@example.net";
  struct Problem {
    std::string to;
    std::string rewritten;
    std::optional<Outcome> expected;
  };
  const Problem problems[] = {
      {withNul, "user@corp.example", Outcome::kBadRecipient},
      {"user@example.net", "user@corp.example", std::nullopt},
      {"a%b@example.net", "ab@corp.example", Outcome::kBadRecipient},
      {"a!b", "a!b@corp.example", Outcome::kBadRecipient},
      // The first and the last character of the local part count like every other.
      {"%ivan@example.net", "ivan@corp.example", Outcome::kBadRecipient},
      {"!ivan@example.net", "ivan@corp.example", Outcome::kBadRecipient},
      {"\x7Fivan@example.net", "ivan@corp.example", Outcome::kBadRecipient},
      {"ivan%@example.net", "ivan@corp.example", Outcome::kBadRecipient},
      // A bare name is qualified with the domain; group syntax and empty fields are no address.
      {"ivan", "ivan@corp.example", std::nullopt},
      {"undisclosed-recipients:;", "undisclosed-recipients:@corp.example", Outcome::kNoRecipient},
      {"", "@corp.example", Outcome::kNoRecipient},
  };
  for (const Problem& p : problems) EXPECT_EQ(RecipientProblem(p.to, p.rewritten), p.expected) << p.to;
}

TEST_F(RelayMessageTest, AttachmentNamesNeverLeaveTempFolder) {
  for (const std::string name : {"../../x", "..", ".", ""}) {
    SCOPED_TRACE(name);
    lines.clear();
    const std::string text =
        "To: a@b\nContent-Type: multipart/mixed; boundary=z\n\n--z\nContent-Type: text/plain\n\nhi\n"
        "--z\nContent-Type: application/pdf; name=\"" + name + "\"\nContent-Disposition: attachment\n\n"
        "data\n--z--\n";
    const RelayPreview preview = Preview("m.eml", text);
    ASSERT_TRUE(preview.attachment.has_value());
    EXPECT_EQ(preview.attachment->name.find('/'), std::string::npos);
    EXPECT_NE(preview.attachment->name, "..");
    EXPECT_NE(preview.attachment->name, ".");
    EXPECT_FALSE(preview.attachment->name.empty());
  }
}

TEST_F(RelayMessageTest, SymbolicLinkInTempFolderIsNotWrittenThrough) {
  const std::string victim = root / "victim.txt";
  WriteFile(victim, "keep me");
  ASSERT_EQ(::symlink(victim.c_str(), (tempFolder + "report.bin").c_str()), 0);
  EXPECT_TRUE(Relay("msg1.eml", kPlainWithAttachment).Done());
  EXPECT_EQ(ReadFile(victim), "keep me");
  EXPECT_TRUE(std::filesystem::is_symlink(tempFolder + "report.bin")) << "not ours to remove";
}

TEST_F(RelayMessageTest, NoToHeaderGivesBareDomain) {
  const RelayPreview preview = Preview("m.eml", "Subject: x\n\nbody\n");
  EXPECT_EQ(preview.recipient, "@corp.example");
  EXPECT_EQ(Lines()[2], "Адресат: ");
}

TEST_F(RelayMessageTest, PlainBodyCharsetBranches) {
  const std::string cp1251Body = Utf8ToCp1251("Привет");
  RelayPreview preview = Preview("a.eml",
                                 "To: a@b\nContent-Type: text/plain; charset=windows-1251\n\n" + cp1251Body + "\n");
  EXPECT_EQ(Cp1251ToUtf8(preview.body), "Привет\r\n");
  // KOI8-R "Привет".
  preview = Preview("b.eml", "To: a@b\nContent-Type: text/plain; charset=\"koi8-r\"\n\n\xF0\xD2\xC9\xD7\xC5\xD4\n");
  EXPECT_EQ(Cp1251ToUtf8(preview.body), "Привет\r\n");
  preview = Preview("c.eml", "To: a@b\nContent-Type: text/plain; charset=utf-8\n\nПривет — мир\n");
  EXPECT_EQ(Cp1251ToUtf8(preview.body), "Привет — мир\r\n");
}

TEST_F(RelayMessageTest, SubstitutionTableAppliesToSubjectAndBody) {
  table.ChangeStrings = {Utf8ToCp1251("ё"), "  "};
  table.ReplacementStrings = {Utf8ToCp1251("е"), " "};
  const RelayPreview preview =
      Preview("m.eml", "To: a@b\nSubject: =?utf-8?Q?=D1=91=D0=B6__=D0=81?=\nContent-Type: text/plain; charset=utf-8\n\n"
                       "ёлка    Ёж\n");
  EXPECT_EQ(Cp1251ToUtf8(preview.subject), "еж Ё");
  EXPECT_EQ(Cp1251ToUtf8(preview.body), "елка Ёж\r\n");
}

const std::string kHtmlOnly =
    "To: user@example.net\n"
    "Subject: =?utf-8?B?0J3QvtCy0L7RgdGC0Lg=?=\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<html><head><title>t</title><style>.pre{display:none}</style></head>"
    "<body><div class=pre>hidden</div><p>Новости&nbsp;недели</p><p>Второй абзац</p></body></html>\n";

TEST_F(RelayMessageTest, HtmlOnlyMessageBecomesItsVisibleTextAfterTwoWaits) {
  EXPECT_TRUE(Relay("h.eml", kHtmlOnly).Done());
  EXPECT_EQ(sleeper.waits, (std::vector<std::uint32_t>{7000, 7000}));
  const std::vector<std::string> got = Lines();
  EXPECT_EQ(got[got.size() - 4], "Тема: Новости");
  EXPECT_EQ(got[got.size() - 2], "Текст: Новости\xC2\xA0недели\r\n\r\nВторой абзац");
}

TEST_F(RelayMessageTest, HtmlWaitsFollowTheirSettingAndChangeNothingElse) {
  struct Case {
    const char* keys;
    std::vector<std::uint32_t> waits;
  };
  const Case cases[] = {
      {"html_wait_ms=0\n", {}},
      {"html_wait_ms=250\n", {250, 250}},
      {"html_wait_ms=-1\n", {7000, 7000}},  // nonsense gets the default
      {"html_wait_ms=soon\n", {7000, 7000}},
  };
  for (const Case& c : cases) {
    Configure(c.keys);
    lines.clear();
    sleeper.waits.clear();
    EXPECT_TRUE(Relay("h.eml", kHtmlOnly).Done());
    EXPECT_EQ(sleeper.waits, c.waits) << c.keys;
    const std::vector<std::string> got = Lines();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[got.size() - 2], "Текст: Новости\xC2\xA0недели\r\n\r\nВторой абзац") << c.keys;
  }
}

TEST_F(RelayMessageTest, Koi8HtmlIsConvertedAfterTheEngine) {
  // "Да" in KOI8-R, inside a page whose part declares KOI8-R.
  const RelayPreview preview =
      Preview("k.eml", "To: a@b\nSubject: \xE4\xC1\nContent-Type: text/html; charset=\"koi8-r\"\n\n<p>\xE4\xC1</p>\n");
  EXPECT_EQ(Cp1251ToUtf8(preview.subject), "Да");
  EXPECT_EQ(Cp1251ToUtf8(preview.body), "Да");
}

}  // namespace
}  // namespace droprelay

namespace droprelay {
namespace {

TEST_F(RelayMessageTest, LinksAndPipesInTheDropFolderAreNotRead) {
  const std::string secret = root / "secret.txt";
  WriteFile(secret, "To: x@y\n\nsecret\n");
  ASSERT_EQ(::symlink(secret.c_str(), (drop + "link.eml").c_str()), 0);
  ASSERT_EQ(::mkfifo((drop + "pipe.eml").c_str(), 0600), 0);
  const RelayContext context{config, log, tempFolder, table};
  for (const std::string name : {"link.eml", "pipe.eml"}) {
    lines.clear();
    const RelayOutcome outcome = RelayMessageFile(context, drop, name);
    EXPECT_EQ(outcome.outcome, Outcome::kNotRegular) << name;
    const std::vector<std::string> got = Lines();
    ASSERT_EQ(got.size(), 3u) << name;
    EXPECT_EQ(got[0], "Найден файл " + name);
    EXPECT_EQ(got[1], name == "link.eml" ? "Is a symbolic link, not a stored message" : "Not a regular file");
    EXPECT_EQ(got[2], "Ошибка при обработке email\"а!");
  }
}

// How often the file `name` in `folder` is opened while `action` runs, as the kernel reports it.
int OpensDuring(const std::string& folder, const std::string& name, const std::function<void()>& action) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // Closes are watched too: the kernel merges an event into an identical unread one before it, so
  // open, open would count once, while open, close, open, close counts twice.
  if (watch < 0 || ::inotify_add_watch(watch, folder.c_str(), IN_OPEN | IN_CLOSE_NOWRITE) < 0) return -1;
  action();
  int opens = 0;
  alignas(struct inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(watch, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      if ((event->mask & IN_OPEN) && event->len > 0 && name == event->name) ++opens;
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    }
  }
  ::close(watch);
  return opens;
}

TEST_F(RelayMessageTest, TheDropFileIsOpenedOnceAndBothRawTextAndParseComeFromIt) {
  // The windows-1251 branch looks at the raw text, the recipient comes from the parse: both must
  // see the one read.
  WriteFile(drop + "once.eml",
            "To: a@b\nSubject: s\nContent-Type: text/plain; charset=windows-1251\n\n\xC4\xE0\n");
  const RelayContext context{config, log, tempFolder, table};
  const int opens =
      OpensDuring(drop, "once.eml", [&] { EXPECT_TRUE(RelayMessageFile(context, drop, "once.eml").Done()); });
  EXPECT_EQ(opens, 1);
  const std::vector<std::string> got = Lines();
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[2], "Адресат: a@b");
  EXPECT_EQ(got[6], "Текст: Да\r\n") << "the raw text saw the charset, unconverted";
}

TEST_F(RelayMessageTest, ALinkOrPipeSwappedInAfterTheListingIsNeitherFollowedNorWaitedOn) {
  // The name was listed as a regular file; by the time the relay opens it, something else stands
  // there. "Найден файл" is logged before the file is opened, so the swap happens in that window.
  const std::string secret = root / "secret.txt";
  WriteFile(secret, "To: x@y\n\nsecret\n");
  for (const std::string kind : {"link", "pipe"}) {
    lines.clear();
    const std::string name = kind + ".eml";
    WriteFile(drop + name, kPlainWithAttachment);
    const std::function<void(const std::string&)> swapping = [&](const std::string& line) {
      lines.push_back(line);
      if (lines.size() != 1) return;
      ASSERT_EQ(::unlink((drop + name).c_str()), 0);
      if (kind == "link") {
        ASSERT_EQ(::symlink(secret.c_str(), (drop + name).c_str()), 0);
      } else {
        ASSERT_EQ(::mkfifo((drop + name).c_str(), 0600), 0);  // no writer ever comes
      }
    };
    const RelayContext context{config, swapping, tempFolder, table};
    // Set aside even with sending off: it is no stored message.
    const RelayOutcome outcome = RelayMessageFile(context, drop, name);
    EXPECT_EQ(outcome.outcome, Outcome::kNotRegular) << kind;
    const std::vector<std::string> got = Lines();
    ASSERT_EQ(got.size(), 3u) << kind;
    EXPECT_EQ(got[1], kind == "link" ? "Is a symbolic link, not a stored message" : "Not a regular file");
    EXPECT_EQ(got[2], "Ошибка при обработке email\"а!");
  }
}

TEST_F(RelayMessageTest, AFileItsWriterStillHoldsIsNotReadUntilItLetsGo) {
  WriteFile(drop + "busy.eml", kPlainWithAttachment);
  const int writer = ::open((drop + "busy.eml").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::flock(writer, LOCK_EX | LOCK_NB), 0);
  const RelayContext context{config, log, tempFolder, table};
  const RelayOutcome busy = RelayMessageFile(context, drop, "busy.eml");
  EXPECT_EQ(busy.outcome, Outcome::kFileLocked) << "left for a later attempt, also with sending off";
  const std::vector<std::string> held = {"Найден файл busy.eml", "Resource temporarily unavailable",
                                         "Ошибка при обработке email\"а!"};
  EXPECT_EQ(Lines(), held) << "neither the raw text nor the parse may read a file that is still being written";

  ::close(writer);
  lines.clear();
  EXPECT_TRUE(RelayMessageFile(context, drop, "busy.eml").Done());
  ASSERT_GE(Lines().size(), 4u);
  EXPECT_EQ(Lines()[3], "Адресат: ivanov@example.net,petrov@example.net");
}

// The relay's outcome carries the profile the submission went through and its whole value, so the
// cycle can tell a refused sender from a refused message and name the server's queue id.
TEST_F(RelayMessageTest, TheOutcomeCarriesTheProfileAndTheSubmissionsValue) {
  struct Case {
    const char* what;
    std::vector<std::string> sink;
    const char* keys;  // besides domain_name
    Outcome outcome;
    const char* profile;
    bool submitted;
    SmtpStep step;
    int code;
    std::size_t refusedCopies;
  };
  const Case cases[] = {
      {"delivered through the default profile, its copy refused", {"--reject-rcpt", "550:copy@example.org"},
       "send_mail=1\nsend_copy_to=copy@example.org\n", Outcome::kDelivered, "office", true, SmtpStep::kNone, 0, 1},
      {"the sender refused through the named profile", {"--reply", "MAIL=550 5.7.60 Client does not have permissions"},
       "send_mail=1\nMAPIProfile=other\n", Outcome::kSenderRefused, "other", true, SmtpStep::kMailFrom, 550, 0},
      {"sending off", {}, "send_mail=0\n", Outcome::kNotSent, "", false, SmtpStep::kNone, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::SmtpSink sink(c.sink);
    const std::string profiles = root / "profiles.ini";
    WriteFile(profiles, "[Profiles]\nDefaultProfile=office\n[office]\nurl=" + sink.url() +
                            "\nfrom=relay@example.org\n[other]\nurl=" + sink.url() + "\nfrom=other@example.org\n");
    ::setenv("DROPRELAY_PROFILES", profiles.c_str(), 1);
    Configure(c.keys);
    const RelayOutcome outcome = Relay("m.eml", kPlainWithAttachment);
    EndMapiSession();
    ::unsetenv("DROPRELAY_PROFILES");
    EXPECT_EQ(OutcomeToken(outcome.outcome), OutcomeToken(c.outcome)) << outcome.reply;
    EXPECT_EQ(outcome.profile, c.profile);
    ASSERT_EQ(outcome.submission.has_value(), c.submitted);
    if (!c.submitted) continue;
    const SubmissionResult& submission = *outcome.submission;
    EXPECT_EQ(submission.outcome, outcome.outcome);
    EXPECT_EQ(submission.reply, outcome.reply);
    EXPECT_EQ(static_cast<int>(submission.step), static_cast<int>(c.step));
    EXPECT_EQ(submission.replyCode, c.code);
    EXPECT_EQ(submission.refusedCopies.size(), c.refusedCopies);
    EXPECT_EQ(submission.dataReply, c.outcome == Outcome::kDelivered ? "250 OK message accepted" : "");
    EXPECT_EQ(sink.MessageCount(), c.outcome == Outcome::kDelivered ? 1 : 0);
  }
}

}  // namespace
}  // namespace droprelay
