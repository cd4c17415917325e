// The composed message read as a stream: the same bytes as the whole composition, whatever the
// size of the attachment and of the pieces read; an attachment file that changes under it fails
// the message in the pickup folder and on a real SMTP server alike, leaving nothing delivered.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "mail/compose.h"
#include "platform/file.h"
#include "smtp_sink_process.h"
#include "submit/delivery.h"

namespace droprelay {
namespace {

using testing::SmtpSink;
using testing::TempFolder;

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

OutgoingMessage Message() {
  OutgoingMessage message;
  message.from = "relay@example.org";
  message.to = {"to@example.org"};
  message.cc = {"copy@example.org"};
  message.subject = "Отчёт за май";
  message.body = "Текст письма\nвторая строка";
  message.traceFields = {"Received: by relay; Mon, 7 Dec 2026 10:00:00 +0300"};
  return message;
}

const MessageStamp kStamp{"Mon, 7 Dec 2026 10:00:00 +0300", "<id@example.org>", "=_droprelay_test"};

// The attachment `data` as an open file, as the submission hands it over.
std::shared_ptr<const AttachmentFile> OpenAttachment(const std::string& path, const std::string& data) {
  testing::WriteFile(path, data);
  platform::FileDescriptor file = platform::OpenFile(path, {});
  EXPECT_TRUE(file) << path;
  return std::make_shared<const AttachmentFile>(AttachmentFile{std::move(file), data.size(), path});
}

// Everything the source gives, read `chunk` bytes at a time; "<failed: ...>" when a read fails.
std::string ReadAll(ComposedMessage& source, std::size_t chunk) {
  std::string out;
  std::vector<char> buffer(chunk);
  for (;;) {
    const long n = source.Read(buffer.data(), chunk);
    if (n < 0) return out + "<failed: " + source.Error() + ">";
    if (n == 0) return out;
    EXPECT_LE(static_cast<std::size_t>(n), chunk);
    out.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

TEST(ComposedMessage, StreamsExactlyTheWholeCompositionAndDecodesBack) {
  TempFolder folder;
  const std::size_t sizes[] = {0, 1, 2, 56, 57, 58, 57 * 1000 - 1, 57 * 1000, 57 * 1000 + 1, 3 * 1024 * 1024 + 17};
  for (const std::size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string data = RandomBytes(size, static_cast<unsigned>(size));
    OutgoingMessage inMemory = Message();
    inMemory.attachments.push_back({"данные.bin", data});
    const std::string whole = ComposeMessage(inMemory, kStamp);

    OutgoingMessage fromFile = Message();
    fromFile.attachments.push_back({"данные.bin", "", OpenAttachment(folder / "a.bin", data)});
    ComposedMessage source(fromFile, kStamp);
    EXPECT_EQ(source.Size(), whole.size());
    // Each chunk size reads the message again after a Rewind; the last read leaves it at its end.
    for (const std::size_t chunk : {65536u, 1u, 7u, 4096u}) {
      if (chunk == 1 && size > 100000) continue;  // a byte at a time adds nothing for the large ones
      source.Rewind();
      const std::string streamed = ReadAll(source, chunk);
      ASSERT_EQ(streamed.size(), whole.size()) << "chunk " << chunk << ": " << streamed.substr(streamed.size() > 300 ? streamed.size() - 300 : 0);
      EXPECT_TRUE(streamed == whole) << "chunk " << chunk;
    }
    char byte;
    EXPECT_EQ(source.Read(&byte, 1), 0);

    // Python's email package reads the attachment back.
    const std::string eml = folder / "whole.eml";
    testing::WriteFile(eml, whole);
    auto mail = testing::DigestMessage(eml);
    EXPECT_EQ(mail["attachments"], "1");
    EXPECT_EQ(mail["attachment.0.filename"], "данные.bin");
    EXPECT_TRUE(mail["attachment.0.data"] == data);
    EXPECT_EQ(mail["body"], "Текст письма\r\nвторая строка");
    EXPECT_EQ(mail["defects"], "0");
  }
}

// Base64 lines: 76 characters and CR LF, the last one shorter; nothing else between the part's
// header and the delimiter.
TEST(ComposedMessage, AttachmentIsWholeLinesOfBase64) {
  const std::string data = RandomBytes(57 * 3 + 4, 5);
  OutgoingMessage message = Message();
  message.attachments.push_back({"x.bin", data});
  const std::string text = ComposeMessage(message, kStamp);
  const std::size_t start = text.find("\r\n\r\n", text.find("filename=\"x.bin\"")) + 4;
  const std::size_t end = text.find("\r\n--=_droprelay_test--", start);
  ASSERT_NE(end, std::string::npos);
  const std::string lines = text.substr(start, end - start);
  std::vector<std::size_t> lengths;
  for (std::size_t from = 0, cut; (cut = lines.find("\r\n", from)) != std::string::npos; from = cut + 2) {
    lengths.push_back(cut - from);
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{76, 76, 76, 8}));
}

class ChangedAttachment : public ::testing::Test {
 protected:
  enum class Change { kShrinks, kGrows, kVanishesEntirely, kCannotBeRead };
  static constexpr Change kChanges[] = {Change::kShrinks, Change::kGrows, Change::kVanishesEntirely,
                                        Change::kCannotBeRead};

  // A message whose attachment file changes after it was opened (and the message composed).
  void Prepare(Change change) {
    const std::string data = RandomBytes(300000, 7);
    message_ = Message();
    message_.attachments.push_back({"report.pdf", "", OpenAttachment(path_, data)});
    if (change == Change::kCannotBeRead) {
      // A descriptor that opens but answers every read with an error (EISDIR).
      message_.attachments.back().file = std::make_shared<const AttachmentFile>(
          AttachmentFile{platform::OpenFile(folder_.path(), {}), data.size(), path_});
    }
    source_ = std::make_unique<ComposedMessage>(message_, kStamp);
    switch (change) {
      case Change::kShrinks: ASSERT_EQ(::truncate(path_.c_str(), 200000), 0); break;
      case Change::kGrows: testing::WriteFile(path_, data + "x"); break;
      case Change::kVanishesEntirely: ASSERT_EQ(::truncate(path_.c_str(), 0), 0); break;
      case Change::kCannotBeRead: break;
    }
  }
  static const char* Why(Change change) {
    if (change == Change::kCannotBeRead) return "Is a directory";
    return change == Change::kGrows ? "the file became longer while it was sent"
                                    : "the file became shorter while it was sent";
  }

  TempFolder folder_;
  std::string path_ = folder_ / "report.pdf";
  OutgoingMessage message_;
  std::unique_ptr<ComposedMessage> source_;
};

TEST_F(ChangedAttachment, FailsThePickupWriteAndLeavesNoFile) {
  const std::string pickup = folder_ / "pickup/";
  std::filesystem::create_directory(pickup);
  for (const Change change : kChanges) {
    Prepare(change);
    const SubmissionResult result = submit::WriteToPickupFolder(pickup, *source_);
    EXPECT_EQ(result.outcome, Outcome::kAttachmentMissing);
    EXPECT_TRUE(source_->Failed());
    EXPECT_EQ(result.reply, "Cannot read attachment \"" + path_ + "\": " + Why(change));
    EXPECT_TRUE(std::filesystem::is_empty(pickup));  // neither the .eml nor its temporary file
  }
}

TEST_F(ChangedAttachment, AbandonsTheSmtpUploadSoNothingIsDelivered) {
  SmtpSink sink;
  submit::MailProfile profile;
  profile.url = sink.url();
  profile.from = "relay@example.org";
  submit::SmtpSession session(profile, "");
  ASSERT_EQ(session.Logon().outcome, Outcome::kDelivered);
  for (const Change change : kChanges) {
    Prepare(change);
    const SubmissionResult result = session.Send({"to@example.org"}, *source_);
    EXPECT_EQ(result.outcome, Outcome::kAttachmentMissing);
    EXPECT_EQ(result.reply, "Cannot read attachment \"" + path_ + "\": " + Why(change));
    EXPECT_FALSE(result.dataSent) << "abandoned before its end";
    EXPECT_EQ(sink.MessageCount(), 0);
  }
  // The session goes on with the next message, which arrives whole.
  const std::string data = RandomBytes(100000, 9);
  OutgoingMessage good = Message();
  good.attachments.push_back({"report.pdf", "", OpenAttachment(folder_ / "good.pdf", data)});
  ComposedMessage source(good, kStamp);
  ASSERT_TRUE(session.Reset().Delivered());
  const SubmissionResult sent = session.Send({"to@example.org"}, source);
  ASSERT_EQ(sent.outcome, Outcome::kDelivered) << sent.reply;
  ASSERT_EQ(sink.MessageCount(), 1);
  EXPECT_TRUE(sink.Digest(1)["attachment.0.data"] == data);
}

}  // namespace
}  // namespace droprelay
