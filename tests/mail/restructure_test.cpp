// Locating bodies, the canonical layouts of the restructuring, and composing the body.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;
using testing::MessageText;
using testing::Normalise;

// Part texts as a sub-part sees them: no CR LF after the last line (it belongs to the delimiter).
std::string Leaf(const std::string& type, const std::string& body, const std::string& extra = "") {
  return "Content-Type: " + type + "\r\n" + extra + "\r\n" + body;
}
std::string Multi(const std::string& type, const std::string& boundary, const std::vector<std::string>& parts) {
  std::string out = "Content-Type: " + type + "; boundary=" + boundary + "\r\n\r\n";
  for (const std::string& part : parts) out += "--" + boundary + "\r\n" + part + "\r\n";
  return out + "--" + boundary + "--";
}

const std::string Plain = Leaf("text/plain", "plain text");
const std::string Html = Leaf("text/html", "<p>html text</p>");
const std::string Pdf = Leaf("application/pdf", "JVBERi0xLjQ=", "Content-Transfer-Encoding: base64\r\n");
const std::string Gif = Leaf("image/gif", "R0lGODlh", "Content-Transfer-Encoding: base64\r\nContent-ID: <img1>\r\n");

// The tree as media types: container(child,child).
std::string Shape(const TMailPart& part) {
  std::string out = part.GetMediaType();
  if (part.SubParts().Count() == 0) return out;
  out += "(";
  bool first = true;
  for (const TMailPart* sub : part.SubParts()) {
    if (!first) out += ",";
    out += Shape(*sub);
    first = false;
  }
  return out + ")";
}

std::unique_ptr<TMailMessage> Load(const std::string& text) {
  auto m = std::make_unique<TMailMessage>();
  m->ParseText("Subject: s\r\nTo: a@x.org\r\n" + text + "\r\n", true);
  return m;
}

TEST(LocateBodies, FirstTakerWinsAndOtherLeavesAreAttachments) {
  const std::string emptyPlain = Leaf("text/plain", "");
  auto m = Load(Multi("multipart/mixed", "b", {emptyPlain, Pdf, Plain, Leaf("text/plain", "second")}));
  m->LocateBodies();
  ASSERT_EQ(m->PlainLines().size(), 1u);
  EXPECT_EQ(m->PlainLines()[0], "plain text");
  EXPECT_EQ(m->PlainBodyPart(), m->SubParts()[2]);
  EXPECT_EQ(m->MixedContainer(), m.get());
  ASSERT_EQ(m->AttachmentParts().Count(), 3);  // the empty text part, the PDF, the second text
  EXPECT_EQ(m->AttachmentParts()[0], m->SubParts()[0]);
  EXPECT_EQ(m->AttachmentParts()[2], m->SubParts()[3]);
}

TEST(LocateBodies, TextAfterAlternativeUnderMixedIsAnAttachment) {
  auto m = Load(Multi("multipart/mixed", "b",
                      {Multi("multipart/alternative", "c", {Plain, Html}), Leaf("text/plain", "late")}));
  m->LocateBodies();
  EXPECT_EQ(m->PlainLines(), TStringList{"plain text"});
  EXPECT_EQ(m->HtmlLines(), TStringList{"<p>html text</p>"});
  ASSERT_EQ(m->AttachmentParts().Count(), 1);
  EXPECT_EQ(m->AttachmentParts()[0]->RawBody().View(), "late\r\n");
}

TEST(LocateBodies, MessageWithoutTypeIsPlainTextAndLinesSplitEverywhere) {
  auto m = Load("\r\nline one\r\nlone\nLF\rCR");
  m->LocateBodies();
  EXPECT_EQ(m->PlainLines(), (TStringList{"line one", "lone", "LF", "CR"}));
  EXPECT_EQ(m->PlainBodyPart(), m.get());
  EXPECT_EQ(m->AttachmentParts().Count(), 0);

  TMailMessage withNul;
  withNul.ParseText(Crlf({"Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable", "",
                          "before=00after", "more"}),
                    true);
  withNul.LocateBodies();
  // The NUL stays in the line: whoever hands it to a C interface replaces it there.
  EXPECT_EQ(withNul.PlainLines(), (TStringList{std::string("before\0after", 12), "more"}));
}

TEST(LocateBodies, EmbeddedPartsAreThoseUnderRelated) {
  auto m = Load(Multi("multipart/related", "r", {Html, Gif}));
  m->LocateBodies();
  ASSERT_EQ(m->AttachmentParts().Count(), 1);
  EXPECT_TRUE(m->AttachmentParts()[0]->Embedded());
  EXPECT_EQ(m->RelatedContainer(), m.get());
}

struct Layout {
  const char* name;
  std::string text;
  std::string shape;
};

// The canonical layouts for the numbers of text bodies (T), attachments (A) and embedded parts (E).
TEST(RestructureParts, LayoutsByCounts) {
  const Layout layouts[] = {
      {"T0 A0 E0", Multi("multipart/mixed", "b", {}), ""},
      {"T1 A0 E0", Plain, "text/plain"},
      {"T2 A0 E0", Multi("multipart/alternative", "b", {Plain, Html}), "multipart/alternative(text/plain,text/html)"},
      {"T0 A1 E0", Pdf, "application/pdf"},
      {"T0 A2 E0", Multi("multipart/mixed", "b", {Pdf, Gif}), "multipart/mixed(application/pdf,image/gif)"},
      {"T1 A1 E0", Multi("multipart/mixed", "b", {Plain, Pdf}), "multipart/mixed(text/plain,application/pdf)"},
      {"T1 A2 E0", Multi("multipart/mixed", "b", {Pdf, Plain, Gif}),
       "multipart/mixed(text/plain,application/pdf,image/gif)"},
      {"T2 A1 E0", Multi("multipart/mixed", "b", {Multi("multipart/alternative", "c", {Plain, Html}), Pdf}),
       "multipart/mixed(multipart/alternative(text/plain,text/html),application/pdf)"},
      {"T1 A0 E1", Multi("multipart/related", "r", {Html, Gif}), "multipart/related(text/html,image/gif)"},
      {"T2 A0 E1", Multi("multipart/alternative", "c", {Plain, Multi("multipart/related", "r", {Html, Gif})}),
       "multipart/related(multipart/alternative(text/plain,text/html),image/gif)"},
      // The old related container sits inside the old alternative one: both go, each exactly once.
      {"T2 A1 E1",
       Multi("multipart/mixed", "b",
             {Multi("multipart/alternative", "c", {Plain, Multi("multipart/related", "r", {Html, Gif})}), Pdf}),
       "multipart/mixed(multipart/related(multipart/alternative(text/plain,text/html),image/gif),application/pdf)"},
  };
  for (const Layout& layout : layouts) {
    auto m = Load(layout.text);
    Normalise(*m);
    EXPECT_EQ(Shape(*m), layout.shape) << layout.name;
    EXPECT_EQ(m->GetHeaderValue("Mime-Version"), "1.0") << layout.name;
    EXPECT_EQ(m->GetHeaderValue("X-Mailer"), MailerName) << layout.name;
    EXPECT_EQ(m->GetHeaderValue("Content-Length"), std::to_string(m->RawBody().Size())) << layout.name;
    EXPECT_EQ(m->LoosePartCount(), 0) << layout.name;  // every part made or moved is in the tree or freed
    // Each new container's boundary carries its kind, and the children are separated by it.
    for (const TMailPart* c : {m->MixedContainer(), m->RelatedContainer(), m->AlternativeContainer()}) {
      if (c == nullptr) continue;
      const std::string kind = c->GetMediaType().substr(10);
      EXPECT_EQ(c->GetPartBoundary().substr(c->GetPartBoundary().size() - kind.size() - 1), "_" + kind);
      for (const TMailPart* sub : c->SubParts()) EXPECT_EQ(sub->ParentBoundary(), c->GetPartBoundary());
    }
  }
}

TEST(RestructureParts, SingleTextBecomesTheMessage) {
  auto m = Load(Leaf("text/plain; charset=koi8-r", "caf\xE9 text", "Content-Transfer-Encoding: 8bit\r\n"));
  Normalise(*m);
  EXPECT_EQ(m->GetHeaderValue("Content-Type"), "text/plain");
  EXPECT_EQ(m->GetHeaderParam("Content-Type", "charset"), "");
  EXPECT_EQ(m->GetHeaderValue("Content-Disposition"), "inline");
  EXPECT_EQ(m->GetHeaderValue("Content-Transfer-Encoding"), "quoted-printable");
  EXPECT_EQ(m->RawBody().View(), "caf=E9 text\r\n");
  EXPECT_EQ(m->GetHeaderValue("Content-Length"), std::to_string(m->RawBody().Size()));
  EXPECT_EQ(m->PlainBodyPart(), m.get());
  EXPECT_EQ(m->GetHeaderValue("Subject"), "s");
}

TEST(RestructureParts, TextEncodingChoosesTheBodiesEncoding) {
  auto m = Load(Multi("multipart/alternative", "b", {Plain, Html}));
  m->SetTextEncoding(etBase64);
  Normalise(*m);
  for (const TMailPart* body : {m->PlainBodyPart(), m->HtmlBodyPart()}) {
    EXPECT_EQ(body->GetHeaderValue("Content-Transfer-Encoding"), "base64");
    EXPECT_EQ(body->GetHeaderValue("Content-Disposition"), "inline");
    EXPECT_EQ(body->GetHeaderValue("Content-Length"), std::to_string(body->RawBody().Size()));
  }
  EXPECT_EQ(m->SubParts()[0], m->PlainBodyPart());
}

TEST(RestructureParts, OnlyAttachmentBecomesTheMessage) {
  auto m = Load(Pdf);
  Normalise(*m);
  ASSERT_EQ(m->AttachmentParts().Count(), 1);
  EXPECT_EQ(m->AttachmentParts()[0], m.get());
  EXPECT_FALSE(m->Embedded());
  EXPECT_EQ(m->GetHeaderValue("Content-Transfer-Encoding"), "base64");
  EXPECT_EQ(m->DecodedBody().View(), "%PDF-1.4");
  EXPECT_EQ(m->RawBody().View(), "JVBERi0xLjQ=\r\n");
  EXPECT_EQ(m->GetAttachmentFileName(), "file_0" + ExtensionOfContentType("application/pdf"));
}

TEST(RestructureParts, AttachmentsGetTypesNamesAndDispositions) {
  const std::string noType = "\r\nraw bytes";  // no header at all
  auto m = Load(Multi("multipart/mixed", "b", {Plain, Pdf, noType, Leaf("image/gif; name=\"pic.gif\"", "R0lG")}));
  Normalise(*m);
  ASSERT_EQ(m->AttachmentParts().Count(), 3);
  const TMailPart* pdf = m->AttachmentParts()[0];
  const TMailPart* unknown = m->AttachmentParts()[1];
  const TMailPart* named = m->AttachmentParts()[2];
  const std::string pdfName = "file_0" + ExtensionOfContentType("application/pdf");
  EXPECT_EQ(pdf->GetHeaderParam("Content-Type", "name"), pdfName);
  EXPECT_NE(pdf->HeaderLines()[0].find("name=\"" + pdfName + "\""), std::string::npos);
  EXPECT_EQ(pdf->GetHeaderParam("Content-Disposition", "filename"), pdfName);
  EXPECT_EQ(pdf->GetHeaderValue("Content-Disposition"), "attachment");
  EXPECT_EQ(unknown->GetMediaType(), "application/octet-stream");
  EXPECT_EQ(unknown->GetHeaderParam("Content-Type", "name"),
            "file_1" + ExtensionOfContentType("application/octet-stream"));
  EXPECT_EQ(named->GetHeaderParam("Content-Disposition", "filename"), "pic.gif");
  EXPECT_EQ(m->NameCounter(), 2);
}

// Only a part without any name gets a generated one: "report.pdf" named in Content-Disposition
// alone, or in an RFC 2231 form, keeps its name through the restructuring.
TEST(RestructureParts, NamesFromDispositionAndRfc2231AreKept) {
  auto m = Load(Multi(
      "multipart/mixed", "b",
      {Plain, Leaf("application/pdf", "JVBERi0xLjQ=", "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"report.pdf\"\r\n"),
       Leaf("application/pdf", "JVBERi0xLjQ=",
            "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename*=utf-8''%D0%B4.pdf\r\n"),
       Leaf("application/pdf; name*0*=utf-8''%D0%B0; name*1=\".pdf\"", "JVBERi0xLjQ=",
            "Content-Transfer-Encoding: base64\r\n"),
       Pdf}));
  Normalise(*m);
  ASSERT_EQ(m->AttachmentParts().Count(), 4);
  EXPECT_EQ(m->AttachmentParts()[0]->GetAttachmentFileName(), "report.pdf");
  EXPECT_EQ(m->AttachmentParts()[1]->GetAttachmentFileName(), "\xD0\xB4.pdf");
  EXPECT_EQ(m->AttachmentParts()[2]->GetAttachmentFileName(), "\xD0\xB0.pdf");
  EXPECT_EQ(m->AttachmentParts()[3]->GetAttachmentFileName(), "file_0" + ExtensionOfContentType("application/pdf"));
  EXPECT_EQ(m->NameCounter(), 1);
  EXPECT_FALSE(m->AttachmentParts()[0]->HasHeaderParam("Content-Type", "name"));
  // Read back from the composed text, every name is still there.
  TMailMessage again;
  again.ParseText(MessageText(*m), true);
  again.LocateBodies();
  ASSERT_EQ(again.AttachmentParts().Count(), 4);
  EXPECT_EQ(again.AttachmentParts()[1]->GetAttachmentFileName(), "\xD0\xB4.pdf");
  EXPECT_EQ(again.AttachmentParts()[2]->GetAttachmentFileName(), "\xD0\xB0.pdf");
}

// The first part of multipart/signed and multipart/report is located like content of the
// message; the signature is neither body nor attachment.
TEST(LocateBodies, SignedAndReportContentIsLocatedLikeMixedContent) {
  const std::string pgp = Leaf("application/pgp-signature; name=\"signature.asc\"", "-----BEGIN PGP SIGNATURE-----");
  const std::string smime = Leaf("application/pkcs7-signature; name=smime.p7s", "MIIG", "Content-Transfer-Encoding: base64\r\n");
  const std::string xsmime = Leaf("application/x-pkcs7-signature", "MIIG", "Content-Transfer-Encoding: base64\r\n");
  const std::string footer = Leaf("text/plain", "list footer");
  const std::string status = Leaf("message/delivery-status", "Action: failed");
  struct Case {
    const char* name;
    std::string text;
    TStringList plain;
    TStringList html;
    std::string shape;          // after restructuring
    std::vector<std::string> attachments;  // media types, in order
  } cases[] = {
      {"mutt: signed(text, pgp)", Multi("multipart/signed; protocol=\"application/pgp-signature\"", "s", {Plain, pgp}),
       {"plain text"}, {}, "text/plain", {}},
      {"outlook: signed(mixed(text, pdf), smime)", Multi("multipart/signed", "s", {Multi("multipart/mixed", "m", {Plain, Pdf}), smime}),
       {"plain text"}, {}, "multipart/mixed(text/plain,application/pdf)", {"application/pdf"}},
      {"thunderbird: signed(alternative(text, html), x-smime)",
       Multi("multipart/signed", "s", {Multi("multipart/alternative", "a", {Plain, Html}), xsmime}), {"plain text"},
       {"<p>html text</p>"}, "multipart/alternative(text/plain,text/html)", {}},
      {"mailing list: mixed(signed(text, pgp), footer)",
       Multi("multipart/mixed", "m", {Multi("multipart/signed", "s", {Plain, pgp}), footer}), {"plain text"}, {},
       "multipart/mixed(text/plain,text/plain)", {"text/plain"}},
      {"bounce: report(text, status, original)",
       Multi("multipart/report; report-type=delivery-status", "r", {Plain, status, Leaf("message/rfc822", "Subject: x\r\n\r\nhi")}),
       {"plain text"}, {}, "multipart/mixed(text/plain,message/delivery-status,message/rfc822)",
       {"message/delivery-status", "message/rfc822"}},
      {"bounce: report(alternative(text, html), status)",
       Multi("multipart/report", "r", {Multi("multipart/alternative", "a", {Plain, Html}), status}), {"plain text"},
       {"<p>html text</p>"}, "multipart/mixed(multipart/alternative(text/plain,text/html),message/delivery-status)",
       {"message/delivery-status"}},
      {"signature alone is never the attachment: signed(pdf, pgp)", Multi("multipart/signed", "s", {Pdf, pgp}), {}, {},
       "application/pdf", {"application/pdf"}},
      // A list server flattens the signed message into mixed: the signature stands among the
      // attachments, first of them, and still is none.
      {"flattened list mail: mixed(text, pgp, footer)", Multi("multipart/mixed", "m", {Plain, pgp, footer}),
       {"plain text"}, {}, "multipart/mixed(text/plain,text/plain)", {"text/plain"}},
      {"mixed(text, smime, pdf)", Multi("multipart/mixed", "m", {Plain, smime, Pdf}), {"plain text"}, {},
       "multipart/mixed(text/plain,application/pdf)", {"application/pdf"}},
      {"alternative(text, x-smime)", Multi("multipart/alternative", "a", {Plain, xsmime}), {"plain text"}, {},
       "text/plain", {}},
      {"a message that is only a signature", "Content-Type: application/pgp-signature\r\n\r\nsig\r\n", {}, {},
       "", {}},
  };
  for (const Case& c : cases) {
    auto m = Load(c.text);
    Normalise(*m);
    EXPECT_EQ(m->PlainLines(), c.plain) << c.name;
    EXPECT_EQ(m->HtmlLines(), c.html) << c.name;
    EXPECT_EQ(Shape(*m), c.shape) << c.name;
    std::vector<std::string> types;
    for (const TMailPart* part : m->AttachmentParts()) types.push_back(part->GetMediaType());
    EXPECT_EQ(types, c.attachments) << c.name;
    EXPECT_EQ(m->LoosePartCount(), 0) << c.name;
    // Every signature left out is reported, with the part it was.
    const bool signed_ = c.text.find("-signature") != std::string::npos;
    EXPECT_EQ(m->Warnings().empty(), !signed_) << c.name;
    for (const TMailWarning& warning : m->Warnings()) {
      EXPECT_NE(warning.Text.find("signature"), std::string::npos) << c.name << ": " << warning.Text;
    }
  }
}

TEST(RestructureParts, EmbeddedPartsGetContentIdAndInline) {
  auto m = Load(Multi("multipart/related", "r", {Html, Gif, Leaf("image/png", "iVBO")}));
  Normalise(*m);
  ASSERT_EQ(m->AttachmentParts().Count(), 2);
  EXPECT_EQ(m->AttachmentParts()[0]->GetHeaderValue("Content-ID"), "<img1>");
  const TMailPart* png = m->AttachmentParts()[1];
  EXPECT_EQ(png->GetHeaderValue("Content-ID"), png->GetHeaderParam("Content-Type", "name"));
  EXPECT_EQ(png->GetHeaderValue("Content-Disposition"), "inline");
  EXPECT_EQ(png->ParentPart(), m.get());
}

TEST(RestructureParts, ModesAddToTheCounts) {
  struct Case {
    TRestructureMode mode;
    std::string shape;
  } cases[] = {
      {rmForce, "text/plain"},
      {rmAddText, "multipart/alternative(text/plain)"},
      {rmAddAttachment, "multipart/mixed(text/plain)"},
      {rmAddEmbedded, "multipart/related(text/plain)"},
      {static_cast<TRestructureMode>(9), "text/plain"},
  };
  for (const Case& c : cases) {
    auto m = Load(Plain);
    m->LocateBodies();
    m->RestructureParts(c.mode);
    m->ComposeBody();
    EXPECT_EQ(Shape(*m), c.shape) << int(c.mode);
  }
  // A container made for a part that is not there stays (empty) and is the recorded one, so a
  // further restructuring discards it rather than something already gone.
  auto m = Load(Multi("multipart/mixed", "b", {Pdf}));
  m->LocateBodies();
  m->RestructureParts(rmAddEmbedded);
  ASSERT_NE(m->RelatedContainer(), nullptr);
  EXPECT_GE(m->SubParts().IndexOf(m->RelatedContainer()), 0);
  EXPECT_EQ(Shape(*m), "multipart/mixed(multipart/related,application/pdf)");
  m->RestructureParts(rmForce);
  m->ComposeBody();
  EXPECT_EQ(m->AttachmentParts().Count(), 1);
}

// Whatever the sequence of modes, the text and the attachment survive each round of composing
// and re-reading, and no part is lost or freed twice (the sanitizer build checks the latter).
TEST(RestructureParts, RepeatedRestructuringKeepsContent) {
  const std::string text =
      Multi("multipart/mixed", "b",
            {Multi("multipart/alternative", "c", {Plain, Multi("multipart/related", "r", {Html, Gif})}), Pdf});
  for (TRestructureMode first : {rmIfPending, rmForce, rmAddText, rmAddAttachment, rmAddEmbedded}) {
    for (TRestructureMode second : {rmForce, rmAddText, rmAddAttachment, rmAddEmbedded}) {
      auto m = Load(text);
      m->RestructureParts(first);
      m->ComposeBody();
      m->RestructureParts(second);
      m->ComposeBody();
      TMailMessage again;
      again.ParseText(MessageText(*m), true);
      again.LocateBodies();
      EXPECT_EQ(again.PlainLines(), TStringList{"plain text"}) << int(first) << " " << int(second);
      EXPECT_EQ(again.HtmlLines(), TStringList{"<p>html text</p>"}) << int(first) << " " << int(second);
      std::string contents;
      for (TMailPart* part : again.AttachmentParts()) {
        part->DecodeBody();
        contents += std::string(part->DecodedBody().View()) + "|";
      }
      EXPECT_NE(contents.find("%PDF-1.4|"), std::string::npos) << int(first) << " " << int(second);
    }
  }
}

TEST(ComposeBody, WritesDelimitedPartsOnce) {
  auto m = Load(Multi("multipart/mixed", "b", {Plain, Pdf}));
  Normalise(*m);
  const std::string boundary = m->GetPartBoundary();
  const std::string expected =
      "This is a multipart message in mime format.\r\n"
      "\r\n--" + boundary + "\r\n" + m->SubParts()[0]->HeaderLines()[0] + "\r\n" +
      m->SubParts()[0]->HeaderLines()[1] + "\r\n" + m->SubParts()[0]->HeaderLines()[2] + "\r\n" +
      m->SubParts()[0]->HeaderLines()[3] + "\r\n\r\nplain text\r\n" +
      "\r\n--" + boundary + "\r\n";
  EXPECT_EQ(m->RawBody().View().substr(0, expected.size()), expected);
  EXPECT_EQ(m->SubParts()[0]->HeaderLines().size(), 4u);
  const std::string ending = "JVBERi0xLjQ=\r\n\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(m->RawBody().View().substr(m->RawBody().Size() - ending.size()), ending);

  // Not pending any more: a second call leaves the body alone.
  m->RawBody().Assign("changed");
  m->ComposeBody();
  EXPECT_EQ(m->RawBody().View(), "changed");
}

TEST(ComposeBody, ClosingDelimiterComesFromTheFirstSubPart) {
  auto m = Load(Multi("multipart/mixed", "b", {Plain, Pdf}));
  m->RestructureParts(rmIfPending);
  m->SubParts()[0]->SetParentBoundary("first");
  m->ComposeBody();
  const std::string_view body = m->RawBody().View();
  EXPECT_EQ(body.substr(body.size() - 13), "\r\n--first--\r\n");
}

// A container the walk does not record stays ahead of the new parts; it must be delimited by the
// message's new boundary, or the re-read message loses its last part. Emptied, it goes.
TEST(ComposeBody, UnrecordedContainerKeepsTheMessageReadable) {
  auto m = Load(Multi("multipart/mixed", "b",
                      {Multi("multipart/digest", "dig", {Leaf("text/x-status", "ds"), Leaf("text/x-other", "xo")}),
                       Multi("multipart/digest", "full", {Leaf("message/rfc822", "Subject: s\r\n\r\nx")}), Pdf}));
  m->LocateBodies();
  m->RestructureParts(rmIfPending);
  // Both digests gave up their leaves: no empty multipart is left to be read as an attachment.
  ASSERT_EQ(m->SubParts().Count(), 4);
  for (const TMailPart* sub : m->SubParts()) {
    EXPECT_NE(sub->GetMediaType().substr(0, 10), "multipart/");
    EXPECT_EQ(sub->ParentBoundary(), m->GetPartBoundary());
  }
  m->ComposeBody();
  TMailMessage again;
  again.ParseText(MessageText(*m), true);
  again.LocateBodies();
  std::string contents;
  for (TMailPart* part : again.AttachmentParts()) {
    part->DecodeBody();
    contents += std::string(part->DecodedBody().View()) + "|";
  }
  EXPECT_EQ(contents, "ds\r\n|xo\r\n|Subject: s\r\n\r\nx\r\n|%PDF-1.4|");
}

// A multipart part without parts of its own is an attachment (a leaf), and stays one.
TEST(RestructureParts, EmptyMultipartLeafStaysAnAttachment) {
  auto m = Load(Multi("multipart/mixed", "b", {Plain, Leaf("multipart/digest", "only preamble"), Pdf}));
  Normalise(*m);
  ASSERT_EQ(m->AttachmentParts().Count(), 2);
  EXPECT_EQ(m->AttachmentParts()[0]->GetMediaType(), "multipart/digest");
}

TEST(ComposeBody, ComposedMessageReadsBackTheSame) {
  const std::string text = Multi(
      "multipart/mixed", "b",
      {Multi("multipart/alternative", "c",
             {Leaf("text/plain; charset=utf-8", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 =3D",
                   "Content-Transfer-Encoding: quoted-printable\r\n"),
              Html}),
       Pdf, Leaf("application/octet-stream; name=\"data.bin\"", "AAECAwQ=", "Content-Transfer-Encoding: base64\r\n")});
  auto m = Load(text);
  Normalise(*m);
  TMailMessage again;
  again.ParseText(MessageText(*m), true);
  Normalise(again);
  EXPECT_EQ(again.PlainLines(), m->PlainLines());
  EXPECT_EQ(again.HtmlLines(), m->HtmlLines());
  ASSERT_EQ(again.AttachmentParts().Count(), m->AttachmentParts().Count());
  for (int i = 0; i < m->AttachmentParts().Count(); ++i) {
    TMailPart* before = m->AttachmentParts()[i];
    TMailPart* after = again.AttachmentParts()[i];
    before->DecodeBody();
    after->DecodeBody();
    EXPECT_EQ(after->DecodedBody().View(), before->DecodedBody().View());
    EXPECT_EQ(after->GetAttachmentFileName(), before->GetAttachmentFileName());
  }
  EXPECT_EQ(again.Subject(), "s");
  EXPECT_EQ(again.ToRecipients().GetAllAddresses(), "a@x.org");
}

}  // namespace
}  // namespace droprelay
