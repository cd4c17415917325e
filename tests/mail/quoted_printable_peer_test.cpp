// The quoted-printable codecs against Python's quopri and email.quoprimime, independent
// implementations of RFC 2045 6.7 (tests/mail/quopri_peer.py), on random and real input:
// - decoding: the same bytes as quopri wherever Python's two codecs agree with each other (where
//   they do not, the RFC leaves the reading open and nothing is compared);
// - encoding: what we write is read back to the original by both, and keeps the RFC's rules;
// - what Python writes we read back to the original.
// Texts are CR LF text, as every body is once the loader has read it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mail/codecs.h"
#include "mail/mail_message.h"
#include "python_peer.h"

namespace droprelay {
namespace {

namespace fs = std::filesystem;
using testing::Hex;
using testing::Unhex;

// Runs the peer in `mode` over `cases` (each one or two byte strings); one answer line per case.
std::vector<std::string> RunPeer(const std::string& mode, const std::vector<std::vector<std::string>>& cases) {
  std::vector<std::string> lines;
  for (const auto& fields : cases) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) line += (i > 0 ? " " : "") + Hex(fields[i]);
    lines.push_back(line);
  }
  return testing::RunPythonPeer("quopri_peer.py", mode, lines);
}

// CR LF text from an alphabet dense in what the rules care about, ending in a line break as every
// loaded text does; "\n" in an alphabet stands for a line break.
std::vector<std::string> RandomTexts(std::mt19937& rng, int count) {
  const std::string alphabets[] = {
      "=0123456789ABCDEFabcdef\n \t",
      "= \nxXg",
      "abcdefghijklmnopqrstuvwxyz    =\n",
      "\xD0\xBF\xD1\x80=\n E",
      "=3Dd\t \n",
  };
  std::vector<std::string> texts;
  for (int round = 0; round < count; ++round) {
    const std::string& alphabet = alphabets[round % 5];
    const std::size_t length = round < 200 ? static_cast<std::size_t>(round % 12) : rng() % 300;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
      const char c = alphabet[rng() % alphabet.size()];
      text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    texts.push_back(text + "\r\n");  // loaded text always ends in a line break
  }
  return texts;
}

std::vector<std::string> RandomData(std::mt19937& rng, int count) {
  // Text-like bytes with every kind of line break, blanks before them, controls, DEL and 8-bit
  // bytes; every sixth case any bytes at all.
  static constexpr char kBytes[] = "ab =.\r\n\t\x01\x7F\x80\xFF";  // and the NUL that ends it
  const std::string alphabet(kBytes, sizeof kBytes);
  std::vector<std::string> data;
  for (int round = 0; round < count; ++round) {
    const std::size_t length = round < 100 ? static_cast<std::size_t>(round % 10) : rng() % 400;
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) {
      bytes += round % 6 == 5 ? static_cast<char>(rng() & 0xFF) : alphabet[rng() % alphabet.size()];
    }
    data.push_back(bytes);
  }
  return data;
}

// The stored and the decoded body of every quoted-printable leaf of the real messages.
struct RealBody {
  std::string stored;
  std::string decoded;
};
std::vector<RealBody> RealQuotedPrintableBodies() {
  std::vector<RealBody> bodies;
  for (const auto& entry : fs::directory_iterator(fs::path(DROPRELAY_TEST_DATA) / "messages")) {
    if (entry.path().extension() == ".md") continue;
    TMailMessage message;
    message.LoadFromFile(entry.path().string());
    std::vector<TMailPart*> stack{&message};
    while (!stack.empty()) {
      TMailPart* part = stack.back();
      stack.pop_back();
      for (TMailPart* sub : part->SubParts()) stack.push_back(sub);
      if (part->SubParts().Count() == 0 && part->GetTransferEncoding() == "quoted-printable") {
        part->DecodeBody();
        bodies.push_back({std::string(part->RawBody().View()), std::string(part->DecodedBody().View())});
      }
    }
  }
  return bodies;
}

std::string CrLf(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

TEST(QuotedPrintablePeer, DecodesAsPythonWhereItsTwoCodecsAgree) {
  ASSERT_EQ(std::system("/usr/bin/python3 -c 'import quopri, email.quoprimime' >/dev/null 2>&1"), 0)
      << "Debian's python3 is needed";
  std::mt19937 rng(20261207);
  std::vector<std::string> texts = RandomTexts(rng, 3000);
  const std::size_t randomCount = texts.size();
  for (const RealBody& body : RealQuotedPrintableBodies()) texts.push_back(body.stored);
  ASSERT_GT(texts.size(), randomCount + 10) << "too few real quoted-printable bodies";
  std::vector<std::vector<std::string>> cases;
  for (const auto& text : texts) cases.push_back({text});
  const std::vector<std::string> answers = RunPeer("decode", cases);
  ASSERT_EQ(answers.size(), texts.size());
  std::size_t compared = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::size_t space = answers[i].find(' ');
    ASSERT_NE(space, std::string::npos) << answers[i];
    if (answers[i].substr(space + 1) != "same") continue;
    ++compared;
    EXPECT_EQ(Hex(DecodeQuotedPrintable(texts[i])), answers[i].substr(0, space))
        << (i < randomCount ? "random case " : "real body ") << i << ": " << texts[i];
  }
  // The peers must agree often enough for the comparison to mean something (they differ mostly
  // on "=" before blanks and tabs, which the random texts are dense in).
  EXPECT_GT(compared, texts.size() / 3) << compared << " of " << texts.size();
}

TEST(QuotedPrintablePeer, EncodingReadsBackWithPythonAndKeepsTheRules) {
  std::mt19937 rng(4711);
  std::vector<std::string> data = RandomData(rng, 2000);
  for (const RealBody& body : RealQuotedPrintableBodies()) data.push_back(body.decoded);
  std::vector<std::vector<std::string>> cases;
  for (const auto& bytes : data) cases.push_back({bytes, EncodeQuotedPrintable(bytes, false)});
  const std::vector<std::string> answers = RunPeer("check", cases);
  ASSERT_EQ(answers.size(), data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    EXPECT_EQ(answers[i], "ok") << "case " << i << ": " << Hex(data[i]) << " encoded as " << cases[i][1];
    // And we read back what we write.
    EXPECT_EQ(DecodeQuotedPrintable(cases[i][1]), data[i]) << "case " << i;
  }
}

TEST(QuotedPrintablePeer, ReadsBackWhatPythonWrites) {
  std::mt19937 rng(99);
  // CR LF text with blanks, tabs, "=", controls and 8-bit bytes, no bare CR or LF.
  std::vector<std::string> data;
  static constexpr char kBytes[] = "ab =\t\x01\x7F\xE9\xFF.\n";
  const std::string alphabet(kBytes, sizeof kBytes - 1);
  for (int round = 0; round < 1000; ++round) {
    std::string text;
    const std::size_t length = rng() % 300;
    for (std::size_t i = 0; i < length; ++i) {
      const char c = alphabet[rng() % alphabet.size()];
      text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    data.push_back(text);
  }
  std::vector<std::vector<std::string>> cases;
  for (const auto& text : data) cases.push_back({text});
  const std::vector<std::string> answers = RunPeer("encode", cases);
  ASSERT_EQ(answers.size(), data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t space = answers[i].find(' ');
    ASSERT_NE(space, std::string::npos);
    // Python ends lines with a bare LF where it likes; the loader would have made them CR LF.
    EXPECT_EQ(DecodeQuotedPrintable(CrLf(Unhex(answers[i].substr(0, space)))), data[i]) << "quopri, case " << i;
    EXPECT_EQ(DecodeQuotedPrintable(CrLf(Unhex(answers[i].substr(space + 1)))), data[i]) << "quoprimime, case " << i;
  }
}

}  // namespace
}  // namespace droprelay
