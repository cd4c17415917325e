// Part content: transfer decoding, re-encoding, attachment file names.
#include <gtest/gtest.h>

#include <string>

#include "mail/codecs.h"
#include "mail/mail_error.h"
#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;

// A message whose only part carries `encoding` and `body`; answers that part.
TMailPart* PartWith(TMailMessage& m, const std::string& encoding, const std::string& body) {
  // With a type: a part without one would be scanned for uuencoded blocks instead.
  std::string text = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: application/octet-stream\r\n";
  if (!encoding.empty()) text += "Content-Transfer-Encoding: " + encoding + "\r\n";
  text += "\r\n" + body + "\r\n--b--\r\n";
  m.ParseText(text, true);
  return m.SubParts()[0];
}

TEST(DecodeBody, ByTransferEncoding) {
  struct Case {
    const char* encoding;
    std::string body;
    std::string decoded;
  } cases[] = {
      {"quoted-printable", "caf=E9 =3D ok=\r\nhere", "caf\xE9 = okhere\r\n"},
      // Identity: the bytes as stored ("SIZE=1861" and a ruler of "=" must survive).
      {"7bit", "a=3Db SIZE=1861\r\n=====", "a=3Db SIZE=1861\r\n=====\r\n"},
      {"8bit", "caf=E9", "caf=E9\r\n"},
      {"binary", "x=41=\r\ny", "x=41=\r\ny\r\n"},
      {"", "plain=20", "plain=20\r\n"},
      {"x-unknown", "=41", "=41\r\n"},
      {"base64", "QUJD\r\nREVG\r\nRw==", "ABCDEFG"},
      {"base64", "  QUJD  \r\nQUI=", "ABCAB"},
      {"base64", "QU\r\nJD", "ABC"},  // one stream: a group runs across the line break
      {"base64", "QUJDR\r\nA==", "ABCD"},
      // Names are case-insensitive and may stand between blanks or tabs (swaks writes "BASE64").
      {"BASE64", "QUJD", "ABC"},
      {"Base64", "QUJD", "ABC"},
      {"\" base64 \"", "QUJD", "ABC"},
      {"\tbase64\t", "QUJD", "ABC"},
      {"QUOTED-PRINTABLE", "a=3Db=\r\nc", "a=bc\r\n"},
      {"Quoted-Printable ", "=E9", "\xE9\r\n"},
      {"uucode", "#0V%T\r\n`", "Cat"},
      {"x-uuencode", "begin 644 cat.txt\r\n#0V%T\r\n`\r\nend", "Cat"},
      {"X-UUE", "#0V%T\r\n`", "Cat"},
      {"uuencode", "begin 600 cat.txt\r\n#0V%T\r\n`\r\nend\r\ntrailing prose", "Cat"},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    TMailPart* part = PartWith(m, c.encoding, c.body);
    EXPECT_TRUE(part->DecodeBody());
    EXPECT_TRUE(part->IsDecoded());
    EXPECT_EQ(part->DecodedBody().View(), c.decoded) << c.encoding << " " << c.body;
  }
}

TEST(DecodeBody, LongBase64LinesDecodeWhole) {
  std::string bytes;
  for (int i = 0; i < 900; ++i) bytes += static_cast<char>(i * 7);
  TMemoryStream source, encoded;
  source.Assign(bytes);
  Base64EncodeStream(encoded, source);
  std::string oneLine;
  for (char c : encoded.View()) {
    if (c != '\r' && c != '\n') oneLine += c;
  }
  ASSERT_GT(oneLine.size(), 176u);
  TMailMessage m;
  TMailPart* part = PartWith(m, "base64", oneLine);
  part->DecodeBody();
  EXPECT_EQ(part->DecodedBody().View(), bytes);
}

TEST(DecodeBody, UucodeBecomesBase64) {
  TMailMessage m;
  TMailPart* part = PartWith(m, "uucode", "#0V%T\r\n`");
  part->DecodeBody();
  EXPECT_EQ(part->DecodedBody().View(), "Cat");
  EXPECT_EQ(part->GetHeaderValue("Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(part->RawBody().View(), "Q2F0\r\n");

  // Damaged data is kept as it was stored, and the damage reported for the part.
  TMailMessage bad;
  TMailPart* badPart = PartWith(bad, "uucode", "#0V%T\r\nnot uu");
  EXPECT_NO_THROW(badPart->DecodeBody());
  EXPECT_TRUE(badPart->IsDecoded());
  EXPECT_EQ(badPart->DecodedBody().View(), "#0V%T\r\nnot uu\r\n");
  ASSERT_EQ(bad.Warnings().size(), 1u);
  EXPECT_EQ(bad.Warnings()[0].PartPath, badPart->PartPath());
  EXPECT_NE(bad.Warnings()[0].Text.find("uuencoded content is malformed"), std::string::npos);
}

TEST(DecodeBody, DamageIsReportedAsAWarningOfThePart) {
  struct Case {
    std::string encoding;
    std::string stored;
    std::string decoded;
    std::string warning;  // empty: none
  };
  const std::vector<Case> cases = {
      {"base64", "QUJD\r\nREVG\r\n", "ABCDEF", ""},
      {"base64", "QU JD\tREVG\r\n", "ABCDEF", ""},  // blanks and tabs are layout, not damage
      {"base64", "QU*JD!\r\n", "ABC", "2 characters outside the alphabet"},
      {"base64", "QUJDRA\r\n", "ABC", "incomplete group of 2 characters"},
      {"x-mystery", "as is\r\n", "as is\r\n", "unknown transfer encoding \"x-mystery\""},
      {"quoted-printable", "a=3db\r\n", "a=b\r\n", ""},
      {"uuencode", "#0V%T\r\n", "Cat", ""},
      {"uuencode", "begin 644 a\r\n#0V%T\r\nend\r\n", "Cat", ""},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    TMailPart* part = PartWith(m, c.encoding, c.stored);
    part->DecodeBody();
    EXPECT_EQ(part->DecodedBody().View(), c.decoded) << c.stored;
    if (c.warning.empty()) {
      EXPECT_TRUE(m.Warnings().empty()) << c.stored << ": " << m.Warnings()[0].Text;
    } else {
      ASSERT_EQ(m.Warnings().size(), 1u) << c.stored;
      EXPECT_NE(m.Warnings()[0].Text.find(c.warning), std::string::npos) << m.Warnings()[0].Text;
      EXPECT_EQ(m.Warnings()[0].PartPath, "message[0]");
    }
  }
}

TEST(DecodeBody, RunsOncePerParse) {
  TMailMessage m;
  TMailPart* part = PartWith(m, "base64", "QUJD");
  part->DecodeBody();
  part->RawBody().Assign("REVG\r\n");
  part->DecodeBody();
  EXPECT_EQ(part->DecodedBody().View(), "ABC");

  // A part made from a uuencoded block keeps its content: its stored body is empty before encoding.
  TMailMessage fresh;
  TMailPart* made = fresh.CreatePart();
  made->DecodedBody().Assign("kept");
  made->DecodeBody();
  EXPECT_EQ(made->DecodedBody().View(), "kept");
}

TEST(EncodeBody, EachEncodingSetsBodyAndField) {
  struct Case {
    TEncodingType encoding;
    std::string raw;
    const char* field;  // "" means the field is absent
  } cases[] = {
      {etBase64, "Q2Fm6Q==\r\n", "base64"},
      {etQuotedPrintable, "Caf=E9", "quoted-printable"},
      {etNoEncoding, "Caf\xE9", ""},
      {et7Bit, "Caf\xE9", "7bit"},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    TMailPart* part = PartWith(m, "quoted-printable", "x");
    part->DecodedBody().Assign("Caf\xE9");
    part->EncodeBody(c.encoding);
    EXPECT_EQ(part->RawBody().View(), c.raw) << c.encoding;
    EXPECT_EQ(part->HasHeader("Content-Transfer-Encoding"), *c.field != '\0') << c.encoding;
    EXPECT_EQ(part->GetHeaderValue("Content-Transfer-Encoding"), c.field) << c.encoding;
    EXPECT_EQ(part->DecodedBody().View(), "Caf\xE9");
    EXPECT_FALSE(part->IsDecoded());
  }
  // Not yet decoded: a later DecodeBody reads the new stored body back.
  TMailMessage m;
  TMailPart* part = PartWith(m, "", "x");
  part->DecodedBody().Assign("round trip");
  part->EncodeBody(etBase64);
  part->DecodeBody();
  EXPECT_EQ(part->DecodedBody().View(), "round trip");

  TMailMessage empty;
  TMailPart* nothing = PartWith(empty, "base64", "QUJD");
  nothing->EncodeBodyQuotedPrintable();
  EXPECT_EQ(nothing->RawBody().Size(), 0u);
}

TEST(AttachmentFileName, NamingRules) {
  const std::string textExt = ExtensionOfContentType("text/plain");
  const std::string gifExt = ExtensionOfContentType("image/gif");
  struct Case {
    std::vector<std::string> header;
    std::string name;
  } cases[] = {
      {{"Content-Type: image/gif; name=\"a.gif\"", "Content-Disposition: attachment; filename=\"b.gif\""}, "a.gif"},
      {{"Content-Type: image/gif; name=\"\"", "Content-Disposition: attachment; filename=\"b.gif\""}, "b.gif"},
      {{"Content-ID: <id1@host>"}, "_id1@host_"},
      {{"Content-ID:", "Content-Type: image/gif"}, gifExt},
      {{"Content-Type: text/plain"}, "text_plain" + textExt},
      {{}, "unknown"},
      {{"Content-Type: application/x-unknown-type; name=\"=?utf-8?B?0YTQsNC50Ls=?=\""},
       "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"},
      {{"Content-Type: text/plain; name=\"what?.txt\""}, "what_.txt"},
      {{"Content-Type: text/plain; name=\"report\""}, "report" + textExt},
      // RFC 2231 forms, used where no plain parameter of that name exists; "name" still first.
      {{"Content-Type: application/pdf", "Content-Disposition: attachment; filename*=utf-8''%D0%B4%D0%B0.pdf"},
       "\xD0\xB4\xD0\xB0.pdf"},
      {{"Content-Type: application/pdf; name*0*=utf-8''a%20; name*1=\"b.pdf\"",
        "Content-Disposition: attachment; filename=\"other.pdf\""},
       "a b.pdf"},
      {{"Content-Type: application/pdf; name=\"plain.pdf\"; name*=utf-8''ext.pdf"}, "plain.pdf"},
      {{"Content-Type: application/pdf", "Content-Disposition: attachment; filename=\"p.pdf\"; filename*=''e.pdf"},
       "p.pdf"},
  };
  for (const Case& c : cases) {
    TMailPart part;
    part.HeaderLines() = c.header;
    EXPECT_EQ(part.GetAttachmentFileName(), c.name) << (c.header.empty() ? "" : c.header[0]);
  }
  TMailPart longName;
  longName.HeaderLines() = {"Content-Type: text/plain; name=\"" + std::string(300, 'n') + ".txt\""};
  EXPECT_EQ(longName.GetAttachmentFileName(), std::string(254, 'n'));
}

}  // namespace
}  // namespace droprelay
