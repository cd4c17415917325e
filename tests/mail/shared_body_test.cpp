// Bodies that share the loaded text, the whole-body base64 decoder and the one-pass line-break
// scan of the loader: each must give exactly what the plain line-by-line way gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "mail/codecs.h"
#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;

class Lcg {
 public:
  explicit Lcg(std::uint32_t seed) : state_(seed) {}
  std::uint32_t Next() {
    state_ = state_ * 1103515245u + 12345u;
    return state_ >> 8;
  }
  // `n` characters drawn from `alphabet`.
  std::string Text(std::size_t n, std::string_view alphabet) {
    std::string s(n, ' ');
    for (char& c : s) c = alphabet[Next() % alphabet.size()];
    return s;
  }

 private:
  std::uint32_t state_;
};

TEST(Base64DecodeStream, SameBytesAsTheWholeTextDecodedAtOnce) {
  Lcg random(7);
  // Mostly alphabet, with pads, blanks, lone and paired line breaks and bytes outside it.
  const std::string alphabet = std::string(Base64Table) + std::string(Base64Table) + "====  \r\r\n\n\r\n\r\n*\x80";
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random.Text(random.Next() % 300, alphabet);
    ByteBuffer decoded;
    const std::size_t n = Base64DecodeStream(text, decoded);
    std::string reference;
    Base64DecodeBuffer(text, reference);
    ASSERT_EQ(std::string(decoded.View()), reference) << "text: " << text;
    ASSERT_EQ(n, decoded.size());
  }
  // A group cut by a line break is completed from the next line: lines need not hold whole groups.
  ByteBuffer decoded;
  Base64DecodeStream("QUJD\r\nQU\r\nJD\r\nRA==", decoded);
  EXPECT_EQ(decoded.View(), "ABCABCD");
}

TEST(ByteBuffer, GrowsPastTheLargeSizeKeepingItsBytes) {
  // Past the size from which a buffer is a mapping of its own, and on while that mapping grows.
  ByteBuffer buffer;
  std::string expected;
  Lcg random(3);
  while (expected.size() < (std::size_t{70} << 20)) {
    const std::string piece(random.Next() % (std::size_t{3} << 20), static_cast<char>('a' + random.Next() % 26));
    buffer.append(piece);
    expected += piece;
  }
  buffer.append(buffer.View().substr(10, 1000));  // its own bytes, while it grows
  expected += expected.substr(10, 1000);
  EXPECT_EQ(buffer.View(), expected);
  ByteBuffer moved = std::move(buffer);
  EXPECT_EQ(moved.View(), expected);
  EXPECT_TRUE(buffer.empty());
}

class SharedBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("mail_shared_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& bytes) {
    const auto path = dir_ / ("m" + std::to_string(count_++) + ".eml");
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  std::filesystem::path dir_;
  int count_ = 0;
};

// The loader's line-break rules as written down, one character at a time.
std::string NormaliseReference(const std::string& raw) {
  const std::string& text = raw;  // a NUL is kept like any other byte
  std::string out;
  bool open = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      out += "\r\n";
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      open = false;
    } else {
      out += text[i];
      open = true;
    }
  }
  if (open) out += "\r\n";
  return out;
}

TEST_F(SharedBodyTest, LoadedTextFollowsTheLineBreakRules) {
  const std::string header = "Content-Type: text/plain\r\n\r\n";
  Lcg random(11);
  // Long runs of proper CR LF lines (the one-pass scan's fast path) with a stray break, a NUL or
  // a missing final break placed at random, across block boundaries.
  for (int round = 0; round < 400; ++round) {
    std::string body;
    const int lines = static_cast<int>(random.Next() % 40);
    for (int i = 0; i < lines; ++i) body += random.Text(random.Next() % 40, "abcxyz") + "\r\n";
    if (random.Next() % 4 != 0 && !body.empty()) {
      const char odd[] = {'\r', '\n', '\0', 'q', '\0'};
      body[random.Next() % body.size()] = odd[random.Next() % 5];
    }
    if (random.Next() % 3 == 0) body += random.Text(random.Next() % 20, "ab\r\n");
    const std::string file = header + body;
    TMailMessage m;
    m.LoadFromFile(Write(file));
    const std::string expected = NormaliseReference(file);
    ASSERT_EQ(m.RawBody().View(), std::string_view(expected).substr(header.size())) << "round " << round;
    TMailMessage fromBytes;
    fromBytes.LoadFromBytes(file);
    ASSERT_EQ(fromBytes.RawBody().View(), m.RawBody().View()) << "round " << round;
    ASSERT_EQ(fromBytes.HeaderLines(), m.HeaderLines()) << "round " << round;
    // A NUL byte is kept and reported, whichever way the scan went (CR LF throughout or not).
    const auto notesNul = [](const TMailMessage& message) {
      for (const TMailWarning& w : message.Warnings()) {
        if (w.Text.find("NUL bytes") != std::string::npos) return true;
      }
      return false;
    };
    const bool hasNul = file.find('\0') != std::string::npos;
    ASSERT_EQ(notesNul(m), hasNul) << "round " << round;
    ASSERT_EQ(notesNul(fromBytes), hasNul) << "round " << round;
  }
}

std::string LargeMessage(const std::string& attachment) {
  return Crlf({"Subject: big", "Content-Type: multipart/mixed; boundary=b", "", "preamble", "--b",
               "Content-Type: text/plain", "", "hello", "--b", "Content-Type: application/octet-stream",
               "Content-Transfer-Encoding: base64", ""}) +
         attachment + "--b--\r\n";
}

TEST_F(SharedBodyTest, LargeBodiesAreWindowsThatBehaveAsCopies) {
  TMemoryStream source;
  source.Write(std::string(300000, 'z') + "0123456789");
  TMemoryStream base64;
  Base64EncodeStream(base64, source);
  const std::string encoded(base64.View());
  // The part's text ends before the CR LF that precedes the closing delimiter; its stored body
  // gets that CR LF back.
  const std::string file = LargeMessage(encoded);

  TMailMessage m;
  m.LoadFromFile(Write(file));
  ASSERT_EQ(m.SubParts().Count(), 2);
  TMailPart& attachment = *m.SubParts()[1];
  // Stored with its CR LF, as any body; and shared with the loaded text, not copied.
  EXPECT_EQ(attachment.RawBody().View(), encoded);
  EXPECT_TRUE(attachment.RawBody().SharedWith() != nullptr);
  EXPECT_TRUE(m.SubParts()[0]->RawBody().SharedWith() == nullptr);  // small bodies are copied
  EXPECT_EQ(attachment.RawBody().Position(), encoded.size());

  // A copy of the stream outlives the message; writing to a window changes that stream only.
  TMemoryStream copy = attachment.RawBody();
  attachment.DecodeBody();
  EXPECT_EQ(attachment.DecodedBody().View(), source.View());
  attachment.RawBody().SetPosition(0);
  attachment.RawBody().Write("XY");
  EXPECT_TRUE(attachment.RawBody().SharedWith() == nullptr);
  EXPECT_EQ(attachment.RawBody().View().substr(0, 3), "XY" + encoded.substr(2, 1));
  EXPECT_EQ(attachment.RawBody().Size(), encoded.size());
  m.ParseText("A: 1\r\n\r\nnew\r\n", true);
  EXPECT_EQ(copy.View(), encoded);
}

TEST_F(SharedBodyTest, ComposedBodyTakesOverTheWindows) {
  TMemoryStream source;
  source.Write(std::string(200000, '\x01'));
  TMemoryStream base64;
  Base64EncodeStream(base64, source);
  const std::string encoded(base64.View());

  TMailMessage m;
  m.LoadFromFile(Write(LargeMessage(encoded)));
  testing::Normalise(m);
  ASSERT_EQ(m.AttachmentParts().Count(), 1);
  TMailPart& attachment = *m.AttachmentParts()[0];
  EXPECT_EQ(attachment.RawBody().View(), encoded);
  // The composed body holds the attachment's stored body, and the attachment is now a window on it.
  const std::string_view composed = m.RawBody().View();
  EXPECT_NE(composed.find(encoded), std::string_view::npos);
  EXPECT_TRUE(attachment.RawBody().SharedWith() == m.RawBody().SharedWith());
  EXPECT_EQ(m.GetHeaderValue("Content-Length"), std::to_string(composed.size()));

  // Reading the composed text back gives the same content, and writing to the message's body
  // leaves the attachment alone.
  TMailMessage again;
  again.LoadFromFile(Write(testing::MessageText(m)));
  testing::Normalise(again);
  ASSERT_EQ(again.AttachmentParts().Count(), 1);
  again.AttachmentParts()[0]->DecodeBody();
  EXPECT_EQ(again.AttachmentParts()[0]->DecodedBody().View(), source.View());
  m.RawBody().SetPosition(0);
  m.RawBody().Write("!!");
  EXPECT_EQ(attachment.RawBody().View(), encoded);
  EXPECT_EQ(m.RawBody().View().substr(0, 2), "!!");
}

// The boundary the uuencode rebuild makes up ("boundary" and 8 random hexadecimal digits), masked.
std::string MaskMadeUpBoundary(std::string text) {
  static const std::regex madeUp("boundary[0-9A-F]{8}");
  return std::regex_replace(text, madeUp, "boundary(made up)");
}

TStringList MaskMadeUpBoundary(const TStringList& lines) {
  TStringList masked;
  for (const std::string& line : lines) masked.push_back(MaskMadeUpBoundary(line));
  return masked;
}

// Whole part trees, compared field by field (the uuencode rebuild's random boundaries aside).
void ExpectSameTree(const TMailPart& a, const TMailPart& b) {
  EXPECT_EQ(MaskMadeUpBoundary(a.HeaderLines()), MaskMadeUpBoundary(b.HeaderLines()));
  EXPECT_EQ(a.RawBody().View(), b.RawBody().View());
  EXPECT_EQ(a.DecodedBody().View(), b.DecodedBody().View());
  EXPECT_EQ(MaskMadeUpBoundary(a.ParentBoundary()), MaskMadeUpBoundary(b.ParentBoundary()));
  ASSERT_EQ(a.SubParts().Count(), b.SubParts().Count());
  for (int i = 0; i < a.SubParts().Count(); ++i) ExpectSameTree(*a.SubParts()[i], *b.SubParts()[i]);
}

TEST_F(SharedBodyTest, LoadedAndParsedTextsGiveTheSameMessages) {
  // Real messages (some with bodies above the window size), and nested parts of every size
  // around it, with and without the final line break.
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(DROPRELAY_TEST_DATA "/messages")) {
    std::ifstream in(entry.path(), std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  for (const std::size_t size : {4093u, 4094u, 4095u, 4096u, 4097u, 20000u}) {
    const std::string text(size, 'x');
    files.push_back(Crlf({"Content-Type: multipart/mixed; boundary=o", "", text, "--o",
                          "Content-Type: multipart/alternative; boundary=i", "", "--i",
                          "Content-Type: text/plain", ""}) +
                    text + "\r\n--i\r\nContent-Type: text/html\r\n\r\n" + text + "\r\n--i--\r\n--o\r\n\r\n" + text);
  }
  for (const std::string& file : files) {
    TMailMessage loaded;
    loaded.LoadFromFile(Write(file));
    TMailMessage parsed;
    parsed.ParseText(NormaliseReference(file), true);
    ExpectSameTree(loaded, parsed);
    // The drop file's bytes, read once by the relay, load as the file does.
    TMailMessage fromBytes;
    fromBytes.LoadFromBytes(file);
    ExpectSameTree(loaded, fromBytes);
    testing::Normalise(loaded);
    testing::Normalise(parsed);
    EXPECT_EQ(loaded.PlainLines(), parsed.PlainLines());
    EXPECT_EQ(loaded.HtmlLines(), parsed.HtmlLines());
    ASSERT_EQ(loaded.AttachmentParts().Count(), parsed.AttachmentParts().Count());
    for (int i = 0; i < loaded.AttachmentParts().Count(); ++i) {
      loaded.AttachmentParts()[i]->DecodeBody();
      parsed.AttachmentParts()[i]->DecodeBody();
      EXPECT_EQ(loaded.AttachmentParts()[i]->DecodedBody().View(), parsed.AttachmentParts()[i]->DecodedBody().View());
      EXPECT_EQ(loaded.AttachmentParts()[i]->RawBody().View(), parsed.AttachmentParts()[i]->RawBody().View());
    }
  }
}

TEST(ParseText, TextFromTheOwnBodyIsParsedFromACopy) {
  TMailMessage m;
  m.ParseText(Crlf({"A: 1", "", "B: 2", "", "inner"}), true);
  m.ParseText(m.RawBody().View(), true);
  ASSERT_EQ(m.HeaderLines().size(), 1u);
  EXPECT_EQ(m.HeaderLines()[0], "B: 2");
  EXPECT_EQ(m.RawBody().View(), "inner\r\n");
}

}  // namespace
}  // namespace droprelay
