// Content handled in pieces instead of whole: decoding piece by piece (DecodeBodyTo, the decoders
// it feeds) must give exactly what decoding at once gives, and a composed body that is put
// together only when read must read as if it had been written at ComposeBody.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/codecs.h"
#include "mail/mail_message.h"
#include "mail/quoted_printable_simd.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;

std::uint32_t Draw(std::uint32_t& state) {
  state = state * 1103515245u + 12345u;
  return state >> 8;
}

std::string Bytes(std::uint32_t& state, std::size_t n, std::string_view alphabet) {
  std::string s(n, ' ');
  for (char& c : s) c = alphabet[Draw(state) % alphabet.size()];
  return s;
}

// `text` cut at random places into pieces of at most `longest` bytes.
std::vector<std::string_view> RandomPieces(std::string_view text, std::uint32_t& state, std::size_t longest) {
  std::vector<std::string_view> pieces;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = 1 + Draw(state) % longest;
    pieces.push_back(text.substr(at, n));
    at += n;
  }
  return pieces;
}

TEST(PiecewiseDecoding, Base64AndQuotedPrintablePiecesDecodeAsTheWholeText) {
  std::uint32_t state = 7;
  // Base64 with what real bodies hold besides whole groups: line breaks of every kind, blanks,
  // stray characters, pads in and before the end, an unfinished last group.
  for (int round = 0; round < 300; ++round) {
    const std::string text =
        Bytes(state, Draw(state) % 2000, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/\r\n \t=*\x80");
    ByteBuffer whole;
    Base64Damage wholeDamage;
    Base64DecodeStream(text, whole, &wholeDamage);
    Base64Decoder decoder;
    std::string pieced;
    for (const std::string_view piece : RandomPieces(text, state, static_cast<std::size_t>(1 + round % 97))) {
      std::string out(piece.size() / 4 * 3 + 3, '\0');
      out.resize(static_cast<std::size_t>(decoder.Decode(piece, out.data()) - out.data()));
      pieced += out;
    }
    ASSERT_EQ(pieced, whole.View()) << "round " << round;
    EXPECT_EQ(decoder.Damage().strayCharacters, wholeDamage.strayCharacters) << "round " << round;
    EXPECT_EQ(decoder.Damage().leftoverCharacters, wholeDamage.leftoverCharacters) << "round " << round;
  }
  // Quoted-printable cut where QuotedPrintablePieceEnd allows: escapes, soft breaks with and
  // without blanks, LF CR and lone breaks, "=" before a break and at the very end.
  for (int round = 0; round < 300; ++round) {
    const std::string text = Bytes(state, Draw(state) % 3000, "ab =3Dd\r\n\t=\r\n=\n\r=0a");
    const std::string whole = DecodeQuotedPrintable(text);
    std::string pieced;
    const std::size_t wanted = static_cast<std::size_t>(1 + round % 50);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t to = QuotedPrintablePieceEnd(text, at, wanted);
      ASSERT_GT(to, at);
      pieced += DecodeQuotedPrintable(std::string_view(text).substr(at, to - at));
      at = to;
    }
    ASSERT_EQ(pieced, whole) << "round " << round;
  }
}

TEST(QuotedPrintableBlocks, DecodeAsTheByteByByteDecoder) {
  std::uint32_t state = 5;
  // Plain bytes and escapes in any mixture, cut by everything else that begins with "=": soft
  // breaks (CR LF, LF, blanks before the break), "=" of its own, bad digits on either side of the
  // letters or of 0x80 and above; at every place in a block, and texts ending near a block.
  const std::string pieces[] = {"=D0", "=b5", "=3D", " ", "a", "\r\n", "\n", "\xC3", "\0", "=\r\n", "=\n",
                                "= \r\n", "=", "==41", "=G1", "=1g", "=/0", "=:0", "=@0", "=`0", "=\xC3\xA9"};
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const std::size_t size = Draw(state) % 300;
    // Mostly escapes and plain bytes, so that blocks run long before something stops them.
    while (text.size() < size) text += pieces[Draw(state) % (round % 3 == 0 ? std::size(pieces) : 5)];
    ForceScalarQuotedPrintable(true);
    const std::string oneByOne = DecodeQuotedPrintable(text);
    ForceScalarQuotedPrintable(false);
    ASSERT_EQ(DecodeQuotedPrintable(text), oneByOne) << "round " << round;
  }
}

// Every leaf of `part`, in tree order.
void Leaves(TMailPart& part, std::vector<TMailPart*>& out) {
  if (part.SubParts().Count() == 0) out.push_back(&part);
  for (TMailPart* sub : part.SubParts()) Leaves(*sub, out);
}

// What DecodeBodyTo hands out, joined, and the warnings it left; the same of DecodeBody on a
// second copy of the message.
void ExpectPiecesMatchDecodeBody(const std::string& text, const std::string& what) {
  TMailMessage pieced;
  TMailMessage whole;
  pieced.LoadFromBytes(text);
  whole.LoadFromBytes(text);
  std::vector<TMailPart*> a;
  std::vector<TMailPart*> b;
  Leaves(pieced, a);
  Leaves(whole, b);
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::string joined;
    std::size_t calls = 0;
    ASSERT_TRUE(a[i]->DecodeBodyTo([&](std::string_view piece) {
      joined += piece;
      ++calls;
      return true;
    }));
    b[i]->DecodeBody();
    ASSERT_EQ(joined, b[i]->DecodedBody().View()) << what << ", leaf " << i;
    // Handed out in pieces, never as one piece the size of a large body.
    if (joined.size() > 600000) {
      EXPECT_GT(calls, 2u) << what;
    }
  }
  ASSERT_EQ(pieced.Warnings().size(), whole.Warnings().size()) << what;
  for (std::size_t i = 0; i < pieced.Warnings().size(); ++i) {
    EXPECT_EQ(pieced.Warnings()[i].Text, whole.Warnings()[i].Text) << what;
    EXPECT_EQ(pieced.Warnings()[i].PartPath, whole.Warnings()[i].PartPath) << what;
  }
}

TEST(DecodeBodyTo, HandsOutWhatDecodeBodyGives) {
  for (const auto& entry : std::filesystem::directory_iterator(DROPRELAY_TEST_DATA "/messages")) {
    if (entry.path().extension() != ".eml") continue;
    TMailMessage probe;  // read through the library's own loader, as the relay's bytes would be
    probe.LoadFromFile(entry.path().string());
    ExpectPiecesMatchDecodeBody(testing::MessageText(probe), entry.path().filename().string());
  }
  // Large bodies of every encoding, so that the pieces meet damage and breaks at their seams.
  std::uint32_t state = 99;
  std::string base64 = Bytes(state, 1200000, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  for (std::size_t at = 76; at < base64.size(); at += 78) base64.insert(at, "\r\n");
  base64[262143] = '*';  // stray characters at and around a piece's seam
  base64[262144] = '!';
  base64 += "QUJ";       // an unfinished last group
  std::string quoted;
  while (quoted.size() < 900000) quoted += Bytes(state, 1 + Draw(state) % 70, "ab= \t=41=3d") + "=\r\n" + "x\r\n";
  const std::string uu = "begin 644 f.bin\r\n#86)C\r\n`\r\nend\r\n";
  const struct {
    const char* encoding;
    std::string body;
  } cases[] = {{"base64", base64}, {"quoted-printable", quoted}, {"7bit", std::string(700000, 'q')},
               {"x-unknown", "as stored\r\n"}, {"x-uuencode", uu}, {"base64", ""}};
  for (const auto& c : cases) {
    const std::string message =
        Crlf({"Subject: s", "Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: text/plain", "",
              "hello", "--b", "Content-Type: application/octet-stream; name=a.bin",
              std::string("Content-Transfer-Encoding: ") + c.encoding, ""}) +
        c.body + "\r\n--b--\r\n";
    ExpectPiecesMatchDecodeBody(message, c.encoding);
  }
}

TEST(DecodeBodyTo, StopsWhenTheSinkRefusesAndReportsDamageOnce) {
  std::string body(600000, 'A');
  body += "*\r\n";
  const std::string message = Crlf({"Content-Type: application/octet-stream", "Content-Transfer-Encoding: base64", ""}) + body;
  TMailMessage m;
  m.LoadFromBytes(message);
  int calls = 0;
  EXPECT_FALSE(m.DecodeBodyTo([&](std::string_view) { return ++calls < 2; }));
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(m.Warnings().empty());  // nothing decoded to the end, nothing to report yet
  std::size_t size = 0;
  for (int i = 0; i < 2; ++i) {
    size = 0;
    EXPECT_TRUE(m.DecodeBodyTo([&](std::string_view piece) {
      size += piece.size();
      return true;
    }));
  }
  EXPECT_EQ(size, 450000u);
  m.DecodeBody();
  ASSERT_EQ(m.Warnings().size(), 1u);  // the stray character, once, whoever decoded
  EXPECT_NE(m.Warnings()[0].Text.find("outside the alphabet"), std::string::npos);
}

TEST(ComposeBody, TheComposedTextIsTheTreeAsItStoodWhenComposed) {
  const std::string big(300000, 'Z');
  const std::string text = Crlf({"Subject: s", "Content-Type: multipart/mixed; boundary=b", "", "--b",
                                 "Content-Type: text/plain", "", "hello", "--b",
                                 "Content-Type: application/octet-stream; name=a.bin", ""}) +
                           big + "\r\n--b--\r\n";
  const auto composedNow = [&](TMailMessage& m) {
    m.LoadFromBytes(text);
    testing::Normalise(m);
    return std::string(m.RawBody().View());
  };
  TMailMessage reference;
  const std::string expected = composedNow(reference);
  ASSERT_NE(expected.find(big), std::string::npos);

  struct Case {
    const char* name;
    void (*after)(TMailMessage&);  // what happens between ComposeBody and the first read
  };
  const Case cases[] = {
      {"nothing", [](TMailMessage&) {}},
      {"the attachment rewritten",
       [](TMailMessage& m) {
         TMemoryStream& body = m.AttachmentParts()[0]->RawBody();
         body.SetPosition(0);
         body.Write("changed");
       }},
      {"the attachment freed", [](TMailMessage& m) { m.FreePart(m.AttachmentParts()[0]); }},
      {"the text part's header changed", [](TMailMessage& m) { m.PlainBodyPart()->SetHeaderValue("X-New", "1"); }},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    m.LoadFromBytes(text);
    testing::Normalise(m);
    const std::string length = m.GetHeaderValue("Content-Length");
    EXPECT_EQ(m.RawBody().Size(), expected.size()) << c.name;
    c.after(m);
    // Boundaries are random: compare with them taken out.
    const std::string boundary = m.GetPartBoundary();
    std::string got(m.RawBody().View());
    std::string want = expected;
    for (std::string* s : {&got, &want}) {
      const std::string b = s == &got ? boundary : reference.GetPartBoundary();
      for (std::size_t at = s->find(b); at != std::string::npos; at = s->find(b, at)) s->replace(at, b.size(), "B");
    }
    EXPECT_EQ(got, want) << c.name;
    EXPECT_EQ(length, std::to_string(m.RawBody().Size())) << c.name;
  }
}

}  // namespace
}  // namespace droprelay
