// Parsing stored text into the part tree: sections, multipart splitting, uuencoded blocks, files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mail/mail_error.h"
#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;

TEST(ParseText, HeaderAndSingleBody) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: text/plain", "", "Hello"}), true);
  ASSERT_EQ(m.HeaderLines().size(), 1u);
  EXPECT_EQ(m.HeaderLines()[0], "Content-Type: text/plain");
  EXPECT_EQ(m.RawBody().View(), "Hello\r\n");
  EXPECT_EQ(m.SubParts().Count(), 0);
  EXPECT_TRUE(m.LocatePending() && m.RestructurePending() && m.ComposePending());
}

TEST(ParseText, ContinuationLinesAndNormalisedNames) {
  TMailMessage m;
  m.ParseText(Crlf({"subject:   a", "\tx", " \ty", "", "b"}), true);
  ASSERT_EQ(m.HeaderLines().size(), 1u);
  // Only the one folding character goes; the rest of the white space is the value's.
  EXPECT_EQ(m.HeaderLines()[0], "Subject: a x \ty");

  TMailMessage lead;
  lead.ParseText(Crlf({"\tx", "A: 1", "", ""}), true);
  EXPECT_EQ(lead.HeaderLines().size(), 2u);  // a continuation before any field is an entry of its own
}

TEST(ParseText, BodyLinesAreExactAndFinalLineGetsBreak) {
  struct Case {
    std::string text;
    bool parseHeader;
    std::string body;
  } cases[] = {
      {"A: 1\r\n\r\nno break at end", true, "no break at end\r\n"},
      {"A: 1\r\n\r\nlone\nLF and lone\rCR\r\n", true, "lone\nLF and lone\rCR\r\n"},
      {"A: 1\r\n\r\n\r\n\r\n", true, "\r\n\r\n"},
      {"whole text\r\nis body", false, "whole text\r\nis body\r\n"},
      {"", true, ""},
      {"A: 1\r\nB: 2", true, ""},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    m.ParseText(c.text, c.parseHeader);
    EXPECT_EQ(m.RawBody().View(), c.body) << c.text;
  }
  TMailMessage headerOnly;
  headerOnly.ParseText("A: 1\r\nB: 2", true);
  EXPECT_EQ(headerOnly.HeaderLines().size(), 2u);
}

TEST(ParseText, NulByteIsAnOrdinaryByte) {
  const std::string text("A: 1\r\n\r\nabc\0\r\nB: 2\r\n", 20);
  TMailMessage m;
  m.ParseText(text, true);
  EXPECT_EQ(m.RawBody().View(), std::string_view("abc\0\r\nB: 2\r\n", 12));
  // A NUL in the header neither ends the header nor empties the body.
  const std::string inHeader("Subject: a\0b\r\nTo: us\0er@example.org\r\n\r\nbody\r\n", 45);
  TMailMessage h;
  h.ParseText(inHeader, true);
  ASSERT_EQ(h.HeaderLines().size(), 2u);
  EXPECT_EQ(h.Subject(), std::string_view("a\0b", 3));
  EXPECT_EQ(h.RawBody().View(), "body\r\n");
}

TEST(ParseText, MultipartSplitsAtDelimitersAndIgnoresEpilogue) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: multipart/mixed; boundary=b", "", "pre", "--b", "A: 1", "", "one", "--b", "",
                    "two", "--b--", "epi", "--b", "", "three"}),
              true);
  EXPECT_EQ(m.RawBody().View(), "pre\r\n");
  ASSERT_EQ(m.SubParts().Count(), 2);
  const TMailPart* first = m.SubParts()[0];
  const TMailPart* second = m.SubParts()[1];
  ASSERT_EQ(first->HeaderLines().size(), 1u);
  EXPECT_EQ(first->HeaderLines()[0], "A: 1");
  EXPECT_EQ(first->RawBody().View(), "one\r\n");
  EXPECT_TRUE(second->HeaderLines().empty());
  EXPECT_EQ(second->RawBody().View(), "two\r\n");
  for (const TMailPart* p : m.SubParts()) {
    EXPECT_EQ(p->ParentBoundary(), "b");
    EXPECT_EQ(p->ParentPart(), &m);
    EXPECT_EQ(p->OwnerMessage(), &m);
  }
}

TEST(ParseText, DelimiterEdgeCases) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> bodies;  // raw body of each sub-part
  } cases[] = {
      {"adjacent delimiters make no part",
       Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "--b", "", "x", "--b--"}), {"x\r\n"}},
      {"one empty line is an empty part",
       Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "--b--"}), {""}},
      {"unterminated last part runs to the end",
       Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "x", "--b", "", "kept"}),
       {"x\r\n", "kept\r\n"}},
      {"unterminated last part without final line break",
       std::string("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nkept"), {"kept\r\n"}},
      {"only empty lines after the last delimiter make no part",
       Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "x", "--b", "", ""}), {"x\r\n"}},
      {"no boundary parameter: every -- line separates",
       Crlf({"Content-Type: multipart/mixed", "", "--", "", "x", "--anything", "", "y", "----", "", "z"}),
       {"x\r\n", "y\r\n"}},
      {"delimiter must start the line and match case",
       Crlf({"Content-Type: multipart/mixed; boundary=Ab", "", "--Ab", "", "x", " --Ab", "--AB", "--Ab--"}),
       {"x\r\n --Ab\r\n--AB\r\n"}},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    m.ParseText(c.text, true);
    ASSERT_EQ(m.SubParts().Count(), static_cast<int>(c.bodies.size())) << c.name;
    for (std::size_t i = 0; i < c.bodies.size(); ++i) {
      EXPECT_EQ(m.SubParts()[static_cast<int>(i)]->RawBody().View(), c.bodies[i]) << c.name;
    }
  }
}

TEST(ParseText, NestedMultipartUsesItsOwnBoundary) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: multipart/mixed; boundary=outer", "", "--outer",
                    "Content-Type: multipart/alternative; boundary=inner", "", "--inner",
                    "Content-Type: text/plain", "", "plain", "--inner", "Content-Type: text/html", "", "<b>x</b>",
                    "--inner--", "--outer", "Content-Type: application/pdf", "", "PDF", "--outer--"}),
              true);
  ASSERT_EQ(m.SubParts().Count(), 2);
  const TMailPart* alt = m.SubParts()[0];
  EXPECT_EQ(alt->GetMediaType(), "multipart/alternative");
  EXPECT_EQ(alt->ParentBoundary(), "outer");
  ASSERT_EQ(alt->SubParts().Count(), 2);
  EXPECT_EQ(alt->SubParts()[0]->ParentBoundary(), "inner");
  EXPECT_EQ(alt->SubParts()[1]->RawBody().View(), "<b>x</b>\r\n");
  EXPECT_EQ(alt->SubParts()[1]->ParentPart(), alt);
  EXPECT_EQ(m.SubParts()[1]->RawBody().View(), "PDF\r\n");
}

TEST(ParseText, LongBoundaryIsAccepted) {
  const std::string boundary(300, 'q');
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: multipart/mixed; boundary=\"" + boundary + "\"", "", "--" + boundary, "", "x",
                    "--" + boundary + "--"}),
              true);
  ASSERT_EQ(m.SubParts().Count(), 1);
  EXPECT_EQ(m.SubParts()[0]->RawBody().View(), "x\r\n");
  EXPECT_EQ(m.SubParts()[0]->ParentBoundary(), boundary);
}

std::string UuMessage(const std::vector<std::string>& bodyLines) {
  std::string text = "Subject: files\r\n\r\n";
  for (const std::string& line : bodyLines) text += line + "\r\n";
  return text;
}

TEST(ParseText, UuencodedBlockRebuildsMessageAsMultipart) {
  TMailMessage m;
  m.ParseText(UuMessage({"Hi", "begin 644 a.txt", "#0V%T", "`", "end", "bye"}), true);
  EXPECT_EQ(m.GetMediaType(), "multipart/mixed");
  const std::string boundary = m.GetPartBoundary();
  EXPECT_EQ(boundary.rfind("boundary", 0), 0u);
  EXPECT_EQ(boundary.size(), 16u);
  EXPECT_NE(m.HeaderLines().back().find("boundary=\"" + boundary + "\""), std::string::npos);
  EXPECT_EQ(m.RawBody().View(), "Hi\r\n");
  ASSERT_EQ(m.SubParts().Count(), 2);

  const TMailPart* text = m.SubParts()[0];
  EXPECT_EQ(text->GetMediaType(), "text/plain");
  EXPECT_EQ(text->GetHeaderParam("Content-Type", "charset"), "iso-8859-1");
  EXPECT_EQ(text->GetHeaderValue("Content-Transfer-Encoding"), "quoted-printable");
  EXPECT_EQ(text->RawBody().View(), "Hi\r\n");
  EXPECT_EQ(text->ParentBoundary(), boundary);

  const TMailPart* file = m.SubParts()[1];
  EXPECT_EQ(file->DecodedBody().View(), "Cat");
  EXPECT_EQ(file->RawBody().View(), "Q2F0\r\n");
  EXPECT_EQ(file->GetHeaderParam("Content-Type", "name"), "a.txt");
  EXPECT_EQ(file->GetHeaderParam("Content-Disposition", "filename"), "a.txt");
  EXPECT_EQ(file->GetHeaderValue("Content-Disposition"), "attachment");
  ASSERT_EQ(file->HeaderLines().size(), 3u);
  EXPECT_EQ(file->HeaderLines()[0].rfind("Content-Transfer-Encoding:", 0), 0u);
  EXPECT_EQ(file->HeaderLines()[1].rfind("Content-Type:", 0), 0u);
  EXPECT_EQ(file->HeaderLines()[2].rfind("Content-Disposition:", 0), 0u);
  EXPECT_EQ(file->ParentBoundary(), boundary);
}

TEST(ParseText, UuencodeUsesTheMessageCharsetAndSeveralBlocks) {
  TMailMessage m;
  m.SetCharset("koi8-r");
  m.ParseText(UuMessage({"begin 644 one.bin", "#0V%T", "end", "between is dropped", "begin 600 two.bin", "#0V%T",
                         "end", "unterminated", "begin 644 three.bin", "#0V%T"}),
              true);
  ASSERT_EQ(m.SubParts().Count(), 4);  // text part, one.bin, two.bin, three.bin
  EXPECT_EQ(m.SubParts()[0]->GetHeaderParam("Content-Type", "charset"), "koi8-r");
  EXPECT_EQ(m.SubParts()[0]->RawBody().View(), "");
  // The block that never ended is read to its last line, with a warning.
  ASSERT_EQ(m.Warnings().size(), 1u);
  EXPECT_NE(m.Warnings()[0].Text.find("\"three.bin\" has no end line"), std::string::npos);
  EXPECT_EQ(m.SubParts()[1]->GetAttachmentFileName(), "one.bin");
  EXPECT_EQ(m.SubParts()[2]->GetAttachmentFileName(), "two.bin");
  EXPECT_EQ(m.SubParts()[3]->GetAttachmentFileName(), "three.bin");
  EXPECT_EQ(m.SubParts()[3]->DecodedBody().View(), "Cat");
  EXPECT_EQ(m.Charset(), "koi8-r");
}

TEST(ParseText, OnlyBeginSixOpensABlock) {
  // Mode 755 is not a block start; nor, after a first block, is prose that begins with "be".
  TMailMessage notBlock;
  const std::string text = UuMessage({"Hi", "begin 755 a.sh", "#0V%T", "end"});
  notBlock.ParseText(text, true);
  EXPECT_EQ(notBlock.SubParts().Count(), 0);
  EXPECT_EQ(notBlock.RawBody().View(), "Hi\r\nbegin 755 a.sh\r\n#0V%T\r\nend\r\n");

  TMailMessage prose;
  EXPECT_NO_THROW(prose.ParseText(
      UuMessage({"begin 644 a.txt", "#0V%T", "end", "best regards,", "the sender", "end of message"}), true));
  EXPECT_EQ(prose.SubParts().Count(), 2);
}

// Blocks of which nothing decodes (how far a damaged block decodes: structure_peer_test.cpp).
TEST(ParseText, DamagedUuencodedBlocksStayTextWithAWarning) {
  struct Case {
    std::vector<std::string> lines;
    int subParts;          // 0: not rebuilt, the whole body stays the message's
    std::string text;      // the message's body, or its text part's once rebuilt
    std::size_t warnings;
  };
  const std::vector<Case> cases = {
      {{"text", "begin 644 bad.txt", "this is not uuencoded", "end"},
       0, "text\r\nbegin 644 bad.txt\r\nthis is not uuencoded\r\nend\r\n", 1},
      {{"text", "begin 644 cut.txt"}, 0, "text\r\nbegin 644 cut.txt\r\n", 1},
      {{"text", "begin 644 zero.txt", "`", "zero", "end"}, 0, "text\r\nbegin 644 zero.txt\r\n`\r\nzero\r\nend\r\n", 1},
      // A good block still becomes an attachment; the bad one joins the text.
      {{"text", "begin 644 bad.txt", "not uu", "end", "begin 644 good.txt", "#0V%T", "end"},
       2, "text\r\nbegin 644 bad.txt\r\nnot uu\r\nend\r\n", 1},
      {{"text", "begin 644 good.txt", "#0V%T", "end", "begin 644 bad.txt", "not uu", "end"},
       2, "text\r\nbegin 644 bad.txt\r\nnot uu\r\nend\r\n", 1},
      {{"text", "begin 644 good.txt", "#0V%T", "end"}, 2, "text\r\n", 0},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    ASSERT_NO_THROW(m.ParseText(UuMessage(c.lines), true)) << c.lines[1];
    ASSERT_EQ(m.SubParts().Count(), c.subParts) << c.text;
    if (c.subParts == 0) {
      EXPECT_EQ(m.RawBody().View(), c.text);
    } else {
      TMailPart* text = m.SubParts()[0];
      text->DecodeBody();
      EXPECT_EQ(text->DecodedBody().View(), c.text);
      EXPECT_EQ(m.SubParts()[1]->GetAttachmentFileName(), "good.txt");
      EXPECT_EQ(m.SubParts()[1]->DecodedBody().View(), "Cat");
      EXPECT_EQ(m.SubParts()[1]->PartPath(), "message[1]");
    }
    ASSERT_EQ(m.Warnings().size(), c.warnings) << c.text << m.Warnings().back().Text;
    if (c.warnings > 0) {
      EXPECT_EQ(m.Warnings()[0].PartPath, "message");
      EXPECT_NE(m.Warnings()[0].Text.find("kept as text"), std::string::npos);
    }
    // And the message goes through the relay's steps.
    EXPECT_NO_THROW({
      m.LocateBodies();
      m.RestructureParts(rmIfPending);
      m.ComposeBody();
    });
  }
}

TEST(ParseText, PartWithoutMessageIsRefusedAndUnchanged) {
  TMailPart part;
  part.Name = "Part1";
  part.HeaderLines().push_back("X: 1");
  try {
    part.ParseText("A: 2\r\n\r\nbody\r\n", true);
    FAIL() << "no error";
  } catch (const EMailError& error) {
    EXPECT_STREQ(error.what(), "Part1: TMailPart must be owned by a TMailMessage");
  }
  ASSERT_EQ(part.HeaderLines().size(), 1u);
  EXPECT_EQ(part.HeaderLines()[0], "X: 1");
}

TEST(ParseText, ReparseDestroysSubPartsAndClearsState) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: text/plain", "", "x",
                    "--b", "Content-Type: image/gif", "", "GIF", "--b--"}),
              true);
  m.LocateBodies();
  ASSERT_EQ(m.AttachmentParts().Count(), 1);
  // Re-parsing the message destroys the parts the located views name; the views must let go.
  m.ParseText(Crlf({"Content-Type: text/plain", "", "y"}), true);
  EXPECT_EQ(m.SubParts().Count(), 0);
  EXPECT_EQ(m.AttachmentParts().Count(), 0);
  EXPECT_EQ(m.PlainBodyPart(), nullptr);
  EXPECT_FALSE(m.IsDecoded());
  m.LocateBodies();
  ASSERT_EQ(m.PlainLines().size(), 1u);
  EXPECT_EQ(m.PlainLines()[0], "y");
}

TEST(ParseText, ProgressIsReportedByTheRootOnly) {
  TMailMessage m;
  std::vector<std::pair<int, int>> reports;
  m.SetOnProgress([&](TMailMessage* sender, std::int32_t total, std::int32_t current) {
    EXPECT_EQ(sender, &m);
    reports.emplace_back(total, current);
  });
  const std::string text = Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "x", "--b--"});
  m.ParseText(text, true);
  ASSERT_GE(reports.size(), 3u);
  const int total = static_cast<int>(text.size());
  EXPECT_EQ(reports.front(), std::make_pair(total, 0));
  EXPECT_EQ(reports.back(), std::make_pair(total, total));
  // Between them, the start of each line reached: the empty line after the header, then body lines.
  EXPECT_EQ(reports[1].second, static_cast<int>(text.find("\r\n\r\n")) + 3);
  for (std::size_t i = 1; i + 1 < reports.size(); ++i) {
    EXPECT_GE(reports[i].second, reports[i - 1].second);
    EXPECT_LE(reports[i].second, total + 1);
  }
}

// Everything a parse leaves in a tree, for comparing two parses. The boundaries the uuencode
// rebuild makes up ("boundary" and 8 random hex digits) are masked.
std::string Dump(const TMailPart& part) {
  const bool madeUp = part.ParentBoundary().rfind("boundary", 0) == 0 && part.ParentBoundary().size() == 16;
  std::string out = "[" + (madeUp ? std::string("made up") : part.ParentBoundary()) + "]";
  for (const std::string& line : part.HeaderLines()) {
    out += (madeUp || line.find("boundary=\"boundary") == std::string::npos ? line : "(made-up boundary)") + "\n";
  }
  out += "{" + std::string(part.RawBody().View()) + "}{" + std::string(part.DecodedBody().View()) + "}(";
  for (const TMailPart* sub : part.SubParts()) out += Dump(*sub);
  return out + ")";
}

// With a progress handler the parse walks every line; without one it jumps from delimiter line
// to delimiter line. Both must build the same tree.
TEST(ParseText, SameTreeWithAndWithoutProgress) {
  std::vector<std::pair<std::string, bool>> texts = {
      {Crlf({"Content-Type: multipart/mixed; boundary=b", "", "pre", "--b", "A: 1", "", "one", "--b", "", "two",
             "--b--", "epi", "--b", "", "three"}),
       true},
      {Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b--", "", "x", "--b", "", "y", "--b--"}), true},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\r\n--b\rnot\r\n--b\r\n--b", true},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b", true},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n", true},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\n\r\n--b\r\nA: 1\r\n\r\n--b\r\n\r\n\r\n--bb--", true},
      {Crlf({"Content-Type: multipart/mixed", "", "--", "", "x", "--anything", "", "y", "----", "", "z"}), true},
      {Crlf({"Content-Type: multipart/mixed; boundary=outer", "", "--outer",
             "Content-Type: multipart/alternative; boundary=inner", "", "--inner", "", "a", "--inner", "", "b",
             "--outer", "", "c", "--outer--"}),
       true},
      {"--b\r\nx", false},
      {"Subject: uu\r\n\r\nHi\r\nbegin 644 a.txt\r\n#0V%T\r\nend\r\n", true},
  };
  for (const auto& entry : std::filesystem::directory_iterator(std::string(DROPRELAY_TEST_DATA) + "/messages")) {
    std::ifstream file(entry.path(), std::ios::binary);
    texts.emplace_back(std::string(std::istreambuf_iterator<char>(file), {}), true);
  }
  for (const auto& [text, parseHeader] : texts) {
    TMailMessage quiet;
    quiet.ParseText(text, parseHeader);
    TMailMessage reporting;
    int reports = 0;
    reporting.SetOnProgress([&](TMailMessage*, std::int32_t, std::int32_t) { ++reports; });
    reporting.ParseText(text, parseHeader);
    EXPECT_GT(reports, 0);
    EXPECT_EQ(Dump(quiet), Dump(reporting)) << text.substr(0, 200);
  }
}

// Malformed input is carried through: no error, no crash, nothing unbounded.
TEST(ParseText, BadInputIsCarriedThrough) {
  TMailMessage deep;
  std::string nested;
  std::string closing;
  const int levels = 10000;
  for (int i = 0; i < levels; ++i) {
    const std::string b = "b" + std::to_string(i) + "x";
    nested += "Content-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b + "\r\n";
    closing.insert(0, "\r\n--" + b + "--\r\n");
  }
  nested += "Content-Type: text/plain\r\n\r\ninnermost" + closing;
  ASSERT_NO_THROW(deep.ParseText(nested, true));
  // The nesting is split down to the limit; the part there keeps the rest of the text as it is.
  const TMailPart* p = &deep;
  int depth = 0;
  while (p->SubParts().Count() > 0) {
    p = p->SubParts()[0];
    ++depth;
  }
  EXPECT_EQ(depth, TMailPart::MaxNestingDepth);
  EXPECT_NE(p->RawBody().View().find("innermost"), std::string_view::npos);
  ASSERT_NO_THROW(testing::Normalise(deep));
  ASSERT_EQ(deep.AttachmentParts().Count(), 1);
  EXPECT_NE(deep.AttachmentParts()[0]->DecodedBody().View().find("innermost"), std::string_view::npos);

  TMailMessage longHeader;
  const std::string value(10 * 1024 * 1024, 'x');
  longHeader.ParseText("Subject: " + value + "\r\n\r\nbody\r\n", true);
  EXPECT_EQ(longHeader.Subject().size(), value.size());

  TMailMessage garbage;
  std::string bytes;
  unsigned state = 12345;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(std::max(1u, (state >> 16) & 0xFF));  // no NUL: it would end the text
  }
  EXPECT_NO_THROW(garbage.ParseText(bytes, true));
  EXPECT_NO_THROW(testing::Normalise(garbage));
}

class LoadFromFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("mail_load_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  std::filesystem::path dir_;
};

TEST_F(LoadFromFileTest, AnyLineBreakBecomesCrLf) {
  const std::string crlf = Crlf({"Content-Type: multipart/mixed; boundary=b", "Subject: s", "", "--b",
                                 "Content-Type: text/plain", "", "one", "two", "--b--"});
  TMailMessage reference;
  reference.LoadFromFile(Write("crlf.eml", crlf));
  std::string lf = crlf;
  for (std::size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.replace(at, 2, "\n");
  std::string cr = lf;
  for (char& c : cr) {
    if (c == '\n') c = '\r';
  }
  for (const std::string& variant : {lf, cr, lf.substr(0, lf.size() - 1)}) {
    TMailMessage m;
    m.LoadFromFile(Write("variant.eml", variant));
    EXPECT_EQ(m.HeaderLines(), reference.HeaderLines());
    ASSERT_EQ(m.SubParts().Count(), 1);
    EXPECT_EQ(m.SubParts()[0]->RawBody().View(), "one\r\ntwo\r\n");
  }
}

TEST_F(LoadFromFileTest, MixedBreaksNulAndEmptyFile) {
  TMailMessage m;
  const char raw[] = "A: 1\n\r\nx\n\ry\0z\r\n";
  m.LoadFromFile(Write("mixed.eml", std::string(raw, sizeof raw - 1)));
  // LF then CR are two line ends; the NUL is kept and the text goes on after it.
  EXPECT_EQ(m.RawBody().View(), std::string_view("x\r\n\r\ny\0z\r\n", 10));
  ASSERT_EQ(m.Warnings().size(), 1u);
  EXPECT_NE(m.Warnings()[0].Text.find("NUL"), std::string::npos);

  TMailMessage empty;
  EXPECT_NO_THROW(empty.LoadFromFile(Write("empty.eml", "")));
  EXPECT_TRUE(empty.HeaderLines().empty());
  EXPECT_EQ(empty.RawBody().Size(), 0u);
  EXPECT_EQ(empty.SubParts().Count(), 0);
}

TEST_F(LoadFromFileTest, UnreadableFileRaisesAndLeavesMessageAlone) {
  TMailMessage m;
  m.ParseText("Subject: kept\r\n\r\nbody\r\n", true);
  for (const std::string& path : {(dir_ / "missing.eml").string(), dir_.string()}) {
    try {
      m.LoadFromFile(path);
      FAIL() << "no error for " << path;
    } catch (const EMailError& error) {
      EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
    EXPECT_EQ(m.Subject(), "kept");
  }
}

}  // namespace
}  // namespace droprelay
