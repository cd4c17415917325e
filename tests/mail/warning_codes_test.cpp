// Every kind of repair the library reports carries its code and the byte offset of the damage in
// the stored file, counted in the file as it was read: the same with LF line breaks as with CR LF.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

std::string WithCrLf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string Nested(int levels) {
  std::string text;
  std::string closing;
  for (int i = 0; i < levels; ++i) {
    const std::string b = "b" + std::to_string(i) + "x";
    text += "Content-Type: multipart/mixed; boundary=" + b + "\n\n--" + b + "\n";
    closing.insert(0, "\n--" + b + "--\n");
  }
  return text + "Content-Type: text/plain\n\ninnermost" + closing;
}

TEST(MailWarnings, EachRepairHasItsCodeAndTheOffsetOfTheDamage) {
  const std::string mixed = "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nbody\n--b\n";
  const auto attachment = [&](const std::string& encoding, const std::string& body) {
    return mixed + "Content-Type: application/octet-stream\nContent-Transfer-Encoding: " + encoding + "\n\n" + body +
           "\n--b--\n";
  };
  const std::string nul(1, '\0');
  struct Case {
    std::string text;  // LF line breaks
    const char* code;
    std::string at;  // the damage begins at the first occurrence of this ("": at the end of the file)
    const char* says;  // part of the warning's text
  };
  const std::vector<Case> cases = {
      {mixed + "Content-Type: text/plain\n\nlast part\n", "missing-closing-delimiter",
       "Content-Type: text/plain\n\nlast", "missing closing delimiter \"--b--\""},
      {Nested(TMailPart::MaxNestingDepth + 2), "nesting-cut",
       "Content-Type: multipart/mixed; boundary=b" + std::to_string(TMailPart::MaxNestingDepth) + "x", "nesting cut"},
      {"Subject: x\n\nab" + nul + "c\n", "nul-bytes", nul, "NUL bytes"},
      {"Subject: x\n\nHi\nbegin 644 a.txt\nnot uu\nend\n", "uuencode-kept-as-text", "not uu", "kept as text"},
      {"Subject: x\n\nHi\nbegin 644 a.txt\n#0V%T\n#0V%t\nend\n", "uuencode-damaged", "#0V%t", "damaged at line 6"},
      {"Subject: x\n\nHi\nbegin 644 a.txt\n#0V%T\n", "uuencode-no-end-line", "", "has no end line"},
      {attachment("x-uuencode", "not uuencoded"), "uuencode-content-malformed", "not uuencoded",
       "uuencoded content is malformed"},
      {attachment("x-foo", "FOO body"), "unknown-transfer-encoding", "FOO body", "unknown transfer encoding \"x-foo\""},
      {attachment("base64", "QUJD*REVG"), "base64-stray-characters", "QUJD*", "1 characters outside the alphabet"},
      {attachment("base64", "QUJDR"), "base64-incomplete-group", "QUJDR", "incomplete group of 1 characters"},
      {mixed + "Content-Type: application/pgp-signature\n\n-----BEGIN PGP SIGNATURE-----\n--b--\n", "detached-signature",
       "Content-Type: application/pgp-signature", "detached signature application/pgp-signature"},
  };
  for (const Case& c : cases) {
    for (const bool crlf : {false, true}) {
      const std::string file = crlf ? WithCrLf(c.text) : c.text;
      const std::string at = crlf ? WithCrLf(c.at) : c.at;
      SCOPED_TRACE(std::string(c.code) + (crlf ? ", CR LF" : ", LF"));
      TMailMessage m;
      m.LoadFromBytes(std::string_view(file));
      testing::Normalise(m);
      for (TMailPart* part : m.AttachmentParts()) part->DecodeBody();
      ASSERT_EQ(m.Warnings().size(), 1u) << m.Warnings().back().Text;
      const TMailWarning& warning = m.Warnings()[0];
      EXPECT_EQ(WarningCodeToken(warning.Code), c.code);
      const std::size_t expected = at.empty() ? file.size() : file.find(at);
      ASSERT_NE(expected, std::string::npos);
      EXPECT_EQ(warning.Offset, static_cast<std::int64_t>(expected)) << warning.Text;
      EXPECT_NE(warning.Text.find(c.says), std::string::npos) << warning.Text;
    }
  }
}

TEST(MailWarnings, CodesHaveDistinctTokens) {
  std::set<std::string_view> tokens;
  const int kinds = static_cast<int>(TMailWarningCode::kDetachedSignature) + 1;
  for (int i = 0; i < kinds; ++i) {
    const std::string_view token = WarningCodeToken(static_cast<TMailWarningCode>(i));
    EXPECT_NE(token, "unknown") << i;
    EXPECT_TRUE(tokens.insert(token).second) << token;
  }
}

}  // namespace
}  // namespace droprelay
