// Damaged and borderline structure read against Python's standard library on the same inputs
// (tests/mail/mime_table_peer.py): where multipart bodies split, and how far a damaged uuencoded
// block decodes. Each row states what the relay reads; Python must read the same, except where a
// row says why it does not (and then it must still differ, so the note goes once it is wrong).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "mail/mail_message.h"
#include "mail_test_util.h"
#include "python_peer.h"

namespace droprelay {
namespace {

using testing::Crlf;
using testing::Unhex;

// Python's answer for each input, one line each, from the peer in `mode`.
std::vector<std::string> RunPeer(const std::string& mode, const std::vector<std::string>& inputs) {
  std::vector<std::string> lines;
  for (const std::string& input : inputs) lines.push_back(testing::Hex(input));
  return testing::RunPythonPeer("mime_table_peer.py", mode, lines);
}

// ---- Where multipart bodies split ----

// The tree as the peer writes it: media types, sub-parts in brackets.
std::string Shape(const TMailPart& part) {
  std::string type = part.GetMediaType();
  if (type.empty()) type = "text/plain";
  if (part.SubParts().Count() == 0 && type.compare(0, 10, "multipart/") != 0) return type;
  std::string out = type + "[";
  for (const TMailPart* sub : part.SubParts()) out += (out.back() == '[' ? "" : ",") + Shape(*sub);
  return out + "]";
}

void Leaves(TMailPart& part, std::vector<std::string>& out) {
  if (part.SubParts().Count() > 0 || part.GetMediaType().compare(0, 10, "multipart/") == 0) {
    for (TMailPart* sub : part.SubParts()) Leaves(*sub, out);
    return;
  }
  part.DecodeBody();
  out.emplace_back(part.DecodedBody().View());
}

// Python leaves out the last line break of a part (it belongs to the delimiter after it); the
// relay stores every line with its CR LF.
std::string AsStoredHere(std::string payload) {
  if (!payload.empty() && payload.compare(payload.size() - std::min<std::size_t>(2, payload.size()), 2, "\r\n") != 0) {
    payload += "\r\n";
  }
  return payload;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += "{" + item + "}";
  return out;
}

TEST(MailBoundaries, DelimiterLinesAsRfc2046ReadsThem) {
  const std::string mixedB = "Content-Type: multipart/mixed; boundary=b";
  struct Case {
    const char* name;
    std::string text;
    std::string shape;
    std::vector<std::string> leaves;  // decoded content of each leaf, in order
    int attachments;  // after the relay's steps: every leaf but the first text/plain and text/html
    const char* pythonDiffers = nullptr;
  };
  const std::vector<Case> cases = {
      {"an inner boundary that extends the outer one",
       Crlf({"Content-Type: multipart/mixed; boundary=\"X\"", "", "--X",
             "Content-Type: multipart/alternative; boundary=\"X_alt\"", "", "--X_alt", "Content-Type: text/plain", "",
             "plain", "--X_alt", "Content-Type: text/html", "", "<b>h</b>", "--X_alt--", "", "--X",
             "Content-Type: application/pdf", "", "PDF", "--X--"}),
       "multipart/mixed[multipart/alternative[text/plain,text/html],application/pdf]",
       {"plain\r\n", "<b>h</b>\r\n", "PDF\r\n"}, 1},
      {"a line that goes on after the close delimiter is body text",
       Crlf({mixedB, "", "--b", "", "one", "--b--More", "two", "--b--", "epi"}), "multipart/mixed[text/plain]",
       {"one\r\n--b--More\r\ntwo\r\n"}, 1},
      {"blanks and tabs after a delimiter and after the close",
       Crlf({mixedB, "", "--b  ", "", "one", "--b \t", "", "two", "--b--\t ", "epi", "--b", "", "three"}),
       "multipart/mixed[text/plain,text/plain]", {"one\r\n", "two\r\n"}, 2},
      {"other characters after a blank: the line is text (here of the preamble)",
       Crlf({mixedB, "", "--b x", "", "one", "--b", "", "two", "--b--"}), "multipart/mixed[text/plain]", {"two\r\n"},
       1},
      {"a boundary that is a prefix of another one in the same body",
       Crlf({mixedB, "", "--b", "Content-Type: text/plain", "", "forwarded:", "--bc", "quoted", "--bc--", "--b",
             "Content-Type: text/plain", "", "two", "--b--"}),
       "multipart/mixed[text/plain,text/plain]", {"forwarded:\r\n--bc\r\nquoted\r\n--bc--\r\n", "two\r\n"}, 1},
      {"a nested boundary that the outer one extends",
       Crlf({"Content-Type: multipart/mixed; boundary=\"ab\"", "", "--ab",
             "Content-Type: multipart/alternative; boundary=\"a\"", "", "--a", "", "x", "--a", "", "y", "--a--",
             "--ab", "Content-Type: application/pdf", "", "PDF", "--ab--"}),
       "multipart/mixed[multipart/alternative[text/plain,text/plain],application/pdf]", {"x\r\n", "y\r\n", "PDF\r\n"},
       3},
      {"no boundary parameter: every line that begins with -- separates",
       Crlf({"Content-Type: multipart/mixed", "", "--", "", "x", "--anything", "", "y", "----", "", "z"}),
       "multipart/mixed[text/plain,text/plain]", {"x\r\n", "y\r\n"}, 2,
       "without a boundary Python keeps the whole body as one leaf"},
  };

  std::vector<std::string> texts;
  for (const Case& c : cases) texts.push_back(c.text);
  const std::vector<std::string> python = RunPeer("tree", texts);
  ASSERT_EQ(python.size(), cases.size()) << "Debian's /usr/bin/python3 is needed";

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    // Both ways of splitting: jumping between delimiter lines, and line by line with progress.
    for (const bool reporting : {false, true}) {
      TMailMessage m;
      if (reporting) m.SetOnProgress([](TMailMessage*, std::int32_t, std::int32_t) {});
      m.ParseText(c.text, true);
      EXPECT_EQ(Shape(m), c.shape) << (reporting ? "line by line" : "by delimiters");
      std::vector<std::string> leaves;
      Leaves(m, leaves);
      EXPECT_EQ(leaves, c.leaves);
      testing::Normalise(m);
      EXPECT_EQ(m.AttachmentParts().Count(), c.attachments);
    }

    std::istringstream answer(python[i]);
    std::string shape;
    answer >> shape;
    std::vector<std::string> leaves;
    for (std::string hex; answer >> hex;) leaves.push_back(AsStoredHere(Unhex(hex)));
    const bool agrees = shape == c.shape && leaves == c.leaves;
    if (c.pythonDiffers == nullptr) {
      EXPECT_TRUE(agrees) << "Python: " << shape << " " << Joined(leaves);
    } else {
      EXPECT_FALSE(agrees) << "listed as differing (" << c.pythonDiffers << ") but Python agrees";
    }
  }
}

// ---- How far a damaged uuencoded block decodes ----

TEST(MailUudecode, DamagedBlocksAreReadAsFarAsTheyGo) {
  const std::string full = "M" + std::string(60, '!');  // 45 bytes: "\x04\x10A" 15 times
  const std::string cut = "M" + std::string(30, '!');   // the same line, its second half lost
  struct Case {
    const char* name;
    std::vector<std::string> body;  // the message's body lines; its header is one Subject line
    bool kept;                      // the block becomes an attachment
    std::string content;            // its decoded bytes
    std::string text;               // what stays text: the text part's, or the whole body if not kept
    std::size_t damagedLine;        // the first line in the message that does not decode (0: none)
    const char* warning;            // part of the warning's text ("": no warning)
    const char* pythonDiffers = nullptr;
  };
  std::string bytes45;
  for (int i = 0; i < 15; ++i) bytes45 += "\x04\x10" "A";
  const std::vector<Case> cases = {
      {"whole block", {"Hi", "begin 644 a.txt", "#0V%T", "`", "end"}, true, "Cat", "Hi\r\n", 0, ""},
      {"no end line: every line decodes", {"Hi", "begin 644 a.txt", "#0V%T"}, true, "Cat", "Hi\r\n", 0,
       "\"a.txt\" has no end line: decoded to its last line, line 5"},
      {"a bad line in the middle", {"Hi", "begin 644 a.txt", "#0V%T", "#0V%t", "#0V%T", "end", "bye"}, true, "Cat",
       "Hi\r\n#0V%t\r\n#0V%T\r\nend\r\n", 6, "\"a.txt\" is damaged at line 6 (UUCODE message format error): decoded 1 line before it"},
      {"no end line, prose after the data", {"begin 644 a.txt", full, "#0V%T", "Thanks, Bob"}, true, bytes45 + "Cat",
       "Thanks, Bob\r\n", 6, "\"a.txt\" has no end line and is damaged at line 6"},
      {"no end line, the last line cut short", {"begin 644 a.txt", full, cut}, true, bytes45, cut + "\r\n", 5,
       "\"a.txt\" has no end line and is damaged at line 5 (the line is cut short: 30 of 60 characters)",
       "Python fills the missing characters of the cut line with zero bytes"},
      {"a character more than the count needs", {"begin 644 a.txt", "#0V%TZ", "end"}, true, "Cat", "", 0, ""},
      {"nothing decodes: the block stays text", {"Hi", "begin 644 a.txt", "not uuencoded", "end"}, false, "",
       "Hi\r\nbegin 644 a.txt\r\nnot uuencoded\r\nend\r\n", 5,
       "\"a.txt\" is malformed (UUCODE message format error at line 5): kept as text"},
      {"only the zero-count line before the damage: nothing to keep", {"begin 644 z.txt", "`", "bad", "end"}, false,
       "", "begin 644 z.txt\r\n`\r\nbad\r\nend\r\n", 5, "\"z.txt\" is malformed (UUCODE message format error at line 5)"},
  };

  // The block's data lines, as the peer reads them: after the begin line, up to the end line.
  std::vector<std::string> blocks;
  std::vector<std::size_t> beginLines;  // the begin line's number in the message
  for (const Case& c : cases) {
    std::string data;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < c.body.size(); ++i) {
      if (begin == 0 && c.body[i].rfind("begin 6", 0) == 0) {
        begin = i + 3;  // the Subject line and the empty line come first
      } else if (begin != 0 && c.body[i].rfind("end", 0) == 0) {
        break;
      } else if (begin != 0) {
        data += c.body[i] + "\r\n";
      }
    }
    blocks.push_back(data);
    beginLines.push_back(begin);
  }
  const std::vector<std::string> python = RunPeer("uudecode", blocks);
  ASSERT_EQ(python.size(), cases.size()) << "Debian's /usr/bin/python3 is needed";

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    std::string text = "Subject: files\r\n\r\n";
    for (const std::string& line : c.body) text += line + "\r\n";
    TMailMessage m;
    ASSERT_NO_THROW(m.ParseText(text, true));
    if (c.kept) {
      ASSERT_EQ(m.SubParts().Count(), 2);
      TMailPart& textPart = *m.SubParts()[0];
      textPart.DecodeBody();
      EXPECT_EQ(textPart.DecodedBody().View(), c.text);
      EXPECT_EQ(m.SubParts()[1]->GetAttachmentFileName(), "a.txt");
      EXPECT_EQ(m.SubParts()[1]->DecodedBody().View(), c.content);
    } else {
      EXPECT_EQ(m.SubParts().Count(), 0);
      EXPECT_EQ(m.RawBody().View(), c.text);
    }
    if (std::string_view(c.warning).empty()) {
      EXPECT_TRUE(m.Warnings().empty()) << m.Warnings().front().Text;
    } else {
      ASSERT_EQ(m.Warnings().size(), 1u);
      EXPECT_EQ(m.Warnings()[0].PartPath, "message");
      EXPECT_NE(m.Warnings()[0].Text.find(c.warning), std::string::npos) << m.Warnings()[0].Text;
    }
    ASSERT_NO_THROW(testing::Normalise(m));

    std::istringstream answer(python[i]);
    std::size_t refused = 0;
    std::string hex;
    answer >> refused >> hex;
    const std::size_t pythonLine = refused == 0 ? 0 : beginLines[i] + refused;
    const bool agrees = Unhex(hex) == c.content && pythonLine == c.damagedLine;
    if (c.pythonDiffers == nullptr) {
      EXPECT_TRUE(agrees) << "Python: line " << pythonLine << ", " << Unhex(hex).size() << " bytes";
    } else {
      EXPECT_FALSE(agrees) << "listed as differing (" << c.pythonDiffers << ") but Python agrees";
    }
  }
}

}  // namespace
}  // namespace droprelay
