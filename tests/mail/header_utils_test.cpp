// Encoded words, header line values and parameters, lookup, line extraction, media types,
// boundaries, trimming and file names.
#include "mail/header_utils.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "mail/codecs.h"
#include "mail/mail_error.h"
#include "mail/mime_types.h"

namespace droprelay {
namespace {

struct Case {
  std::string in;
  std::string out;
};

TEST(DecodeEncodedWords, DecodesWordsWithoutCharsetConversion) {
  const std::vector<Case> cases = {
      {" =?windows-1251?B?0e/g8ejh7g==?= ", "\xD1\xEF\xE0\xF1\xE8\xE1\xEE"},
      {"=?koi8-r?Q?=F0=D2=C9?= x", "\xF0\xD2\xC9 x"},
      {"=?x?Q?a_b?= =?x?Q?c?=", "a b c"},  // the blank between two words stays
      {"a =? b", "a =? b"},
      {"a =? b =?x?Q?y?=", "a Q?y"},  // a stray "=?" takes the next delimiters as its own
      {"=?x?q?=3D?=", "="},            // lower-case encoding letter
      {"=?x?b?QUJD?=", "ABC"},
      {"=?x?U?#0V%T?=", "Cat"},
      {"=?x?Z?abc?=", "abc"},    // unknown letter: taken as Q
      {"=?x?abc?=", "c"},        // no letter: Q, and two characters dropped anyway
      {"=?x?B?" "?=", ""},       // empty encoded text
      {"=?x?B?QQBC?=tail", "Atail"},  // decoded text ends at its first zero byte
      {"=?x?Q?=3D=3D?= end", "== end"},
      {"pre=?utf-8?Q?caf=C3=A9?=post", "pre" "caf\xC3\xA9" "post"},
      {"=?x?Q?unterminated", "=?x?Q?unterminated"},
      {"no words here", "no words here"},
      {"", ""},
      {"   ", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeEncodedWords(c.in), c.out) << "input: " << c.in;
  }
}

TEST(DecodeEncodedWords, DecodedTextIsSearchedAgain) {
  // The first word decodes to "=", which pairs with the "?" after the word.
  EXPECT_EQ(DecodeEncodedWords("=?x?Q?=3D?=?x?Q?A?="), "A");
  // The character before a word can pair with the decoded text, too.
  EXPECT_EQ(DecodeEncodedWords("x==?c?Q?=3F?=c?Q?B?="), "xB");
  // ... also when that character came before an earlier replacement (found by the random test).
  EXPECT_EQ(DecodeEncodedWords("===?c?Q?=3F?=c?Q?=3F?=c?Q?B?="), "B");
}

TEST(DecodeEncodedWords, UWordWithBadCharactersRaisesTheFormatError) {
  EXPECT_THROW(DecodeEncodedWords("=?x?U?#abc?="), EMailError);
}

// The decoder, written down as plainly as possible, to check the linear one against.
std::string ReferenceDecodeEncodedWords(std::string_view text) {
  std::string t = TrimSpaces(text);
  for (;;) {
    const std::size_t p = t.find("=?");
    if (p == std::string::npos) return t;
    std::size_t q = t.find('?', p + 2);
    if (q == std::string::npos) q = p + 1;
    std::size_t e = t.find("?=", q + 1);
    if (e == std::string::npos) return t;
    const std::size_t f = t.find('?', e + 1);
    if (f != std::string::npos && f + 1 < t.size() && t[f + 1] == '=') e = f;
    const std::string w = t.substr(q + 1, e - q - 1);
    char enc = 'Q';
    if (w.size() >= 2 && w[1] == '?' && std::string("BbUu").find(w[0]) != std::string::npos) enc = w[0] & ~0x20;
    const std::string body = w.size() >= 2 ? w.substr(2) : "";
    std::string dec;
    if (!body.empty()) {
      if (enc == 'B') {
        Base64DecodeBuffer(body, dec);
      } else if (enc == 'U') {
        UULineBuffer b{};
        const int n = UUDecodeLine(body, b);
        dec.assign(reinterpret_cast<const char*>(b.data()), static_cast<std::size_t>(n));
      } else {
        std::string u = body;
        for (char& c : u) c = c == '_' ? ' ' : c;
        dec = DecodeQuotedPrintable(u);
      }
      dec = dec.substr(0, dec.find('\0'));
    }
    t = t.substr(0, p) + dec + t.substr(e + 2);
  }
}

TEST(DecodeEncodedWords, AgreesWithThePlainReadingOnRandomText) {
  std::mt19937 rng(99);
  // Pieces that make delimiters, encodings and escapes collide often.
  const std::vector<std::string> pieces = {"=?", "?=", "?", "=", "Q?", "B?", "U?", "q?", "_", " ", "a",
                                           "3D", "=3D", "3F", "QQ==", "#0V%T", "x", "=?x?Q?", "=?x?B?"};
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 25);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int i = length(rng); i > 0; --i) text += pieces[pick(rng)];
    std::string expected;
    bool expectThrow = false;
    try {
      expected = ReferenceDecodeEncodedWords(text);
    } catch (const EMailError&) {
      expectThrow = true;
    }
    if (expectThrow) {
      EXPECT_THROW(DecodeEncodedWords(text), EMailError) << text;
    } else {
      ASSERT_EQ(DecodeEncodedWords(text), expected) << "input: " << text;
    }
  }
}

TEST(DecodeEncodedWords, ManyWordsInOneLongHeader) {
  std::string text, expected;
  for (int i = 0; i < 100000; ++i) {
    text += "=?windows-1251?Q?=C0b?= ";
    expected += "\xC0" "b ";
  }
  expected.pop_back();
  EXPECT_EQ(DecodeEncodedWords(text), expected);
}

TEST(NormalizeHeaderLine, CanonicalNameAndValue) {
  const std::vector<Case> cases = {
      {"content-TYPE:text/plain;   charset=\"a  b\"", "Content-Type: text/plain; charset=\"a  b\""},
      {"MIME-Version: 1.0", "Mime-Version: 1.0"},
      {"message-id: <x>", "Message-ID: <x>"},
      {"CONTENT-ID:<a@b>", "Content-ID: <a@b>"},
      {"x-id-more: v", "X-Id-More: v"},  // only an "-ID" right before the colon
      {"subject:   a    b   ", "Subject: a b"},
      {"Subject: \"unclosed  text", "Subject: "},  // an unclosed quoted text is lost
      {"Subject: say \"a:b\"  now", "Subject: say \"a:b\" now"},
      {"no colon here", "No colon here "},
      {"To: a\tb", "To: a\tb"},  // only blanks collapse
      {"\"Na:me\": x", "\"na: me"},  // quotes mean nothing in the name
      {"", " "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NormalizeHeaderLine(c.in), c.out) << "input: " << c.in;
  }
}

TEST(HeaderLineValue, GetAndSet) {
  EXPECT_EQ(GetHeaderLineValue("Content-Type: \"text/plain\" ; charset=x"), "text/plain");
  EXPECT_EQ(GetHeaderLineValue("Content-Type: text/plain"), "text/plain");
  EXPECT_EQ(GetHeaderLineValue("Subject: \"a;b\"; x"), "a;b");
  EXPECT_EQ(GetHeaderLineValue("Subject: \""), "");
  EXPECT_EQ(GetHeaderLineValue("Subject:"), "");
  EXPECT_EQ(GetHeaderLineValue("no colon"), "");
  EXPECT_EQ(GetHeaderLineValue("\"X:Y\": v"), "v");  // a quoted colon in the name is no delimiter

  EXPECT_EQ(SetHeaderLineValue("Content-Type: text/plain; charset=x", "text/html"),
            "Content-Type: text/html; charset=x");
  EXPECT_EQ(SetHeaderLineValue("Subject: old", "  new  "), "Subject: new");
  EXPECT_EQ(SetHeaderLineValue("Content-Type: \"a;b\";q=1", "c"), "Content-Type: c;q=1");
  EXPECT_EQ(SetHeaderLineValue("Content-Type: ", "x"), "Content-Type: x");
  EXPECT_EQ(SetHeaderLineValue("no colon", "x"), "no colon");
}

TEST(HeaderLineParam, Get) {
  struct ParamCase {
    std::string line, name, value;
  };
  const std::vector<ParamCase> cases = {
      {"Content-Type: multipart/mixed; BOUNDARY = \"a;b\"", "boundary", "a;b"},
      {"Content-Type: text/plain; charset=koi8-r", " Charset ", "koi8-r"},
      {"Content-Type: text/plain; charset=koi8-r;", "charset", "koi8-r"},
      {"Content-Type: multipart/mixed; boundary=abc=def", "boundary", "abc"},
      {"Content-Type: a; name=x; name=y", "name", "xy"},  // repeated: concatenated
      {"Content-Type: a; name=\"q=1\"", "name", "q=1"},
      {"Content-Type: a; filename=b", "name", ""},
      {"Content-Type: a", "name", ""},
      {"Content-Type: a; name=", "name", ""},
      {"no colon; name=x", "name", ""},
      {"X: v; a=\"1;2\"; b=3", "b", "3"},
      {"X: v; a=\"unclosed; b=3", "b", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetHeaderLineParam(c.line, c.name), c.value) << c.line << " / " << c.name;
  }
}

// RFC 2231 names as Python, Thunderbird and Apple Mail write them: the bytes, charset not applied.
TEST(HeaderLineParam, ExtendedForms) {
  const std::string dogovor = "\xD0\xB4\xD0\xBE\xD0\xB3\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x80";  // "договор" in UTF-8
  struct ParamCase {
    std::string line, name, value;
  };
  const std::vector<ParamCase> cases = {
      {"Content-Disposition: attachment; filename*=utf-8''%D0%B4%D0%BE%D0%B3%D0%BE%D0%B2%D0%BE%D1%80.pdf",
       "filename", dogovor + ".pdf"},
      {"Content-Disposition: attachment; filename*=UTF-8'ru'%d0%b4%d0%be%d0%b3%d0%be%d0%b2%d0%be%d1%80",
       "filename", dogovor},
      // Numbered pieces, encoded and plain mixed; only the first encoded piece names a charset.
      {"Content-Type: application/pdf; name*0*=utf-8''%D0%B4%D0%BE%D0%B3; name*1*=%D0%BE%D0%B2%D0%BE;"
       " name*2*=%D1%80%20; name*3=\"N7.pdf\"",
       "name", dogovor + " N7.pdf"},
      {"Content-Type: a; name*0=\"long name \"; name*1=\"in two.txt\"", "name", "long name in two.txt"},
      // A gap ends the pieces; a "%" without two hex digits stays; no charset part at all.
      {"Content-Type: a; name*0=one; name*2=three", "name", "one"},
      {"Content-Type: a; name*=100%25 %zz", "name", "100% %zz"},
      {"Content-Type: a; name=\"plain.txt\"", "name", ""},
      {"Content-Type: a; filename*=x''y", "name", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetHeaderLineParamExtended(c.line, c.name), c.value) << c.line << " / " << c.name;
  }
  // Written back, the bytes read the same.
  const std::string line = "Content-Disposition: attachment; filename*=" + EncodeHeaderParamExtended(dogovor + " №7.pdf");
  EXPECT_EQ(GetHeaderLineParamExtended(line, "filename"), dogovor + " №7.pdf");
}

TEST(HeaderLineParam, Set) {
  const std::string once = SetHeaderLineParam("Content-Type: text/plain", "charset", "\"koi8-r\"");
  EXPECT_EQ(once, "Content-Type: text/plain; charset=\"koi8-r\"");
  EXPECT_EQ(SetHeaderLineParam(once, "charset", "x"), "Content-Type: text/plain; charset=x");
  EXPECT_EQ(SetHeaderLineParam("Content-Type: ", "boundary", "b1"), "Content-Type:; boundary=b1");
  EXPECT_EQ(SetHeaderLineParam("Content-Type: a; x=1; CHARSET=old; y=2", "charset", " new "),
            "Content-Type: a; x=1; CHARSET=new; y=2");
  // An "=" inside the target's value does not end it; only the first of two is replaced.
  EXPECT_EQ(SetHeaderLineParam("X: v; b=abc=def; b=2", "b", "z"), "X: v; b=z; b=2");
  EXPECT_EQ(SetHeaderLineParam("X: v; n=\"a;b\"; m=1", "n", "\"c\""), "X: v; n=\"c\"; m=1");
  EXPECT_EQ(SetHeaderLineParam("X: v;", "n", "1"), "X: v; n=1");
  // An unclosed quote runs the target's value to the end.
  EXPECT_EQ(SetHeaderLineParam("X: v; n=\"open; m=1", "n", "2"), "X: v; n=2");
  EXPECT_EQ(SetHeaderLineParam("no colon", "n", "1"), "no colon; n=1");
}

TEST(FindHeaderLine, PrefixOccurrenceAndCase) {
  const TStringList lines = {"Received: a", "subject: s", "received: b", "Received-SPF: c", "Received : d"};
  EXPECT_EQ(FindHeaderLine(&lines, "Received:", 0), 0);
  EXPECT_EQ(FindHeaderLine(&lines, "Received:", 1), 2);
  EXPECT_EQ(FindHeaderLine(&lines, "Received:", 2), -1);
  EXPECT_EQ(FindHeaderLine(&lines, "SUBJECT:", 0), 1);
  EXPECT_EQ(FindHeaderLine(&lines, "Received", 2), 3);
  EXPECT_EQ(FindHeaderLine(&lines, "Received:", -1), -1);
  EXPECT_EQ(FindHeaderLine(nullptr, "Received:", 0), -1);
  const TStringList empty;
  EXPECT_EQ(FindHeaderLine(&empty, "", 0), -1);
}

TEST(ExtractNextLine, LinesKeepTheirCrLf) {
  auto all = [](std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    std::ptrdiff_t index = 1;
    while (index >= 0) {
      ExtractNextLine(text, line, index);
      lines.push_back(line);
    }
    return lines;
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(all("a\r\nb"), (Lines{"a\r\n", "b"}));
  EXPECT_EQ(all("a\r\nb\r\n"), (Lines{"a\r\n", "b\r\n"}));
  EXPECT_EQ(all("a\rb\nc"), (Lines{"a\rb\nc"}));
  EXPECT_EQ(all("\r\n\r\n"), (Lines{"\r\n", "\r\n"}));
  EXPECT_EQ(all(""), (Lines{""}));

  std::string line = "old";
  std::ptrdiff_t index = 5;
  ExtractNextLine("ab\r\ncd\r\nef", line, index);
  EXPECT_EQ(line, "cd\r\n");
  EXPECT_EQ(index, 9);
  index = 0;  // not a position: no line, and the walk ends
  ExtractNextLine("ab", line, index);
  EXPECT_EQ(line, "");
  EXPECT_EQ(index, -1);
}

TEST(MediaTypes, FileNamesAndTypesFromTheSystemTable) {
  EXPECT_EQ(ContentTypeOfFile("README"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile("file."), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile("a.nosuchextension"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile("dir.d\\README"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile("dir.d/README"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile("report.PDF"), "application/pdf");
  EXPECT_EQ(ContentTypeOfFile("c:\\x\\a.b.txt"), "text/plain");
  EXPECT_EQ(ContentTypeOfFile("photo.jpg"), "image/jpeg");
  EXPECT_EQ(ExtensionOfContentType("application/pdf"), ".pdf");
  EXPECT_EQ(ExtensionOfContentType("Text/Plain"), ".txt");
  EXPECT_EQ(ExtensionOfContentType("image/jpeg"), ".jpg");
  EXPECT_EQ(ExtensionOfContentType("image/gif"), ".gif");
  EXPECT_EQ(ExtensionOfContentType("x-no/such-type"), "");
  EXPECT_EQ(ExtensionOfContentType(""), "");
}

TEST(MediaTypes, TableParsingAndTheBuiltInFallback) {
  const MimeTypeTable table = MimeTypeTable::FromText(
      "# comment line\n"
      "text/plain\t\ttxt text  # trailing comment\r\n"
      "image/jpeg jpeg jpg\n"
      "text/x-other txt\n"
      "application/empty\n"
      "   \n");
  EXPECT_EQ(table.TypeOfExtension("TXT"), "text/plain");  // first type listed wins
  EXPECT_EQ(table.ExtensionOfType("text/plain"), "txt");
  EXPECT_EQ(table.ExtensionOfType("image/jpeg"), "jpg");  // the usual Windows extension preferred
  EXPECT_EQ(table.ExtensionOfType("text/x-other"), "txt");
  EXPECT_EQ(table.ExtensionOfType("application/empty"), "");
  EXPECT_EQ(table.TypeOfExtension("comment"), "");
  EXPECT_TRUE(MimeTypeTable::FromText("# nothing\n").Empty());

  const MimeTypeTable builtIn = MimeTypeTable::BuiltIn();
  EXPECT_EQ(builtIn.TypeOfExtension("pdf"), "application/pdf");
  EXPECT_EQ(builtIn.TypeOfExtension("docx"),
            "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
  EXPECT_EQ(builtIn.ExtensionOfType("text/html"), "htm");
  EXPECT_EQ(builtIn.ExtensionOfType("image/png"), "png");
}

TEST(NewBoundary, EightUpperCaseHexDigitsAndFresh) {
  const auto hasShape = [](const std::string& b) {
    return b.size() == 16 && b.rfind("boundary", 0) == 0 &&
           b.find_first_not_of("0123456789ABCDEF", 8) == std::string::npos;
  };
  EXPECT_FALSE(hasShape("boundary0a1B2C3D"));
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string b = NewBoundary();
    EXPECT_TRUE(hasShape(b)) << b;
    seen.insert(b);
  }
  EXPECT_GT(seen.size(), 190u);
}

TEST(Trim, OnlyBlanks) {
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("\t a \r\n"), "\t a \r\n");
  EXPECT_EQ(TrimSpaces("    "), "");
  EXPECT_EQ(TrimLeftSpaces("  a  "), "a  ");
  EXPECT_EQ(TrimRightSpaces("  a  "), "  a");
  EXPECT_EQ(TrimLeftSpaces("   "), "");
  EXPECT_EQ(TrimRightSpaces("   "), "");
}

TEST(CleanFileName, ReplacesForbiddenCharactersAndCuts) {
  EXPECT_EQ(CleanFileName(" a:b?.txt "), "a_b_.txt");
  EXPECT_EQ(CleanFileName("a\\b/c*d\"e<f>g|h'i"), "a_b_c_d_e_f_g_h_i");
  EXPECT_EQ(CleanFileName(std::string("a\tb\x01\x1F\x7F\xC0.txt")), "a_b__\x7F\xC0.txt");
  EXPECT_EQ(CleanFileName(std::string(300, 'n')), std::string(254, 'n'));
  // Trimming comes before the cut.
  EXPECT_EQ(CleanFileName("  " + std::string(260, 'n')).size(), 254u);
  EXPECT_EQ(CleanFileName(""), "");
}

TEST(StringListText, EveryLineEndsInCrLf) {
  EXPECT_EQ(StringListText({"a", "", "b"}), "a\r\n\r\nb\r\n");
  EXPECT_EQ(StringListText({}), "");
}

}  // namespace
}  // namespace droprelay
