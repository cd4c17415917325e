// The message object: subject, recipients, settings and the pending flags.
#include <gtest/gtest.h>

#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;

TEST(Message, Defaults) {
  TMailMessage m;
  EXPECT_EQ(m.Charset(), "iso-8859-1");
  EXPECT_EQ(m.TextEncoding(), etQuotedPrintable);
  EXPECT_EQ(m.OwnerMessage(), &m);
  EXPECT_FALSE(m.LocatePending() || m.RestructurePending() || m.ComposePending());
  EXPECT_EQ(m.Subject(), "");
  EXPECT_EQ(m.ToRecipients().GetAllAddresses(), "");
  EXPECT_EQ(m.ToRecipients().FieldName(), "To");
  EXPECT_EQ(m.CcRecipients().FieldName(), "Cc");
  EXPECT_EQ(m.BccRecipients().FieldName(), "Bcc");
}

TEST(Message, SubjectIsDecodedAndEndsAtSemicolon) {
  struct Case {
    const char* line;
    const char* subject;
  } cases[] = {
      {"Subject: =?windows-1251?B?0e/g8ejh7g==?=", "\xD1\xEF\xE0\xF1\xE8\xE1\xEE"},
      {"Subject: before; after", "before"},
      {"Subject: \"quoted; whole\"", "quoted; whole"},
      {"subject: lower", "lower"},
  };
  for (const Case& c : cases) {
    TMailMessage m;
    m.ParseText(std::string(c.line) + "\r\n\r\nbody\r\n", true);
    EXPECT_EQ(m.Subject(), c.subject) << c.line;
  }
}

TEST(Message, CharsetNeverChangesOnLoad) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: text/plain; charset=koi8-r", "", "x"}), true);
  EXPECT_EQ(m.Charset(), "iso-8859-1");
}

TEST(Message, PendingFlagsChainTheSteps) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: text/plain", "", "x"}), true);
  EXPECT_TRUE(m.LocatePending() && m.RestructurePending() && m.ComposePending());
  m.LocateBodies();
  EXPECT_FALSE(m.LocatePending());
  EXPECT_TRUE(m.RestructurePending() && m.ComposePending());
  m.ComposeBody();
  EXPECT_FALSE(m.ComposePending());
  m.RestructureParts(rmIfPending);
  EXPECT_FALSE(m.RestructurePending());
  EXPECT_TRUE(m.ComposePending());  // restructuring makes work for composing
  m.ComposeBody();
  m.RestructureParts(rmIfPending);  // nothing pending: no work, nothing for composing either
  EXPECT_FALSE(m.ComposePending());
  // Parsing any part of the tree marks the whole message.
  m.ParseText(Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "x", "--b", "Content-Type: image/gif",
                    "", "G", "--b--"}),
              true);
  testing::Normalise(m);
  ASSERT_EQ(m.SubParts().Count(), 2);
  m.SubParts()[0]->ParseText("A: 1\r\n\r\ny\r\n", true);
  EXPECT_TRUE(m.LocatePending() && m.RestructurePending() && m.ComposePending());
}

struct RecipientCase {
  const char* value;
  std::vector<std::string> names;
  std::vector<std::string> addresses;
  const char* all;
};

TEST(Recipients, FieldIsSplitIntoNamesAndAddresses) {
  const RecipientCase cases[] = {
      {"\"Ivanov, I\" <ivanov@x.org>, petrov@x.org", {"Ivanov, I", ""}, {"ivanov@x.org", "petrov@x.org"},
       "ivanov@x.org,petrov@x.org"},
      {"a@x.org; b@x.org", {""}, {"a@x.org"}, "a@x.org"},  // the value ends at the first ";"
      {"a@x.org,", {"", ""}, {"a@x.org", ""}, "a@x.org,"},
      {"Nobody <>", {"Nobody"}, {""}, "\"\""},
      {"John Smith", {""}, {"John Smith"}, "\"John Smith\""},
      {"=?utf-8?Q?Ann?= <ann@x.org>", {"Ann"}, {"ann@x.org"}, "ann@x.org"},
      {"A <a@x.org> (work)", {"A"}, {"a@x.org(work)"}, "a@x.org(work)"},
      {"A <a\"quoted\"@x.org>", {"A"}, {"a@x.org"}, "a@x.org"},
      {"\"open <a@x.org>, b@x.org", {""}, {"open <a@x.org>, b@x.org"}, "\"open <a@x.org>, b@x.org\""},
      {"x <a,b@x.org>", {"x", ""}, {"a", "b@x.org"}, "a,b@x.org"},
  };
  for (const RecipientCase& c : cases) {
    TMailMessage m;
    // Set directly: parsing would already drop an unclosed quoted text from the value.
    m.HeaderLines() = {"To: " + std::string(c.value)};
    EXPECT_EQ(m.ToRecipients().GetAllAddresses(), c.all) << c.value;
    EXPECT_EQ(m.ToRecipients().DisplayNames(), c.names) << c.value;
    EXPECT_EQ(m.ToRecipients().Addresses(), c.addresses) << c.value;
  }
}

TEST(Recipients, QuotingOfAddressesInCommaText) {
  TMailMessage m;
  m.ParseText("To: <a\tb@x>, <plain@x>\r\n\r\n", true);
  EXPECT_EQ(m.ToRecipients().GetAllAddresses(), "\"a\tb@x\",plain@x");
}

TEST(Recipients, ReparsedOnlyWhenHeaderLengthChanges) {
  TMailMessage m;
  m.ParseText("To: a@x.org\r\nCc: c@x.org\r\n\r\n", true);
  EXPECT_EQ(m.ToRecipients().GetAllAddresses(), "a@x.org");
  EXPECT_EQ(m.CcRecipients().GetAllAddresses(), "c@x.org");
  m.SetHeaderValue("To", "b@x.org");  // same total length: the lists stay
  EXPECT_EQ(m.ToRecipients().GetAllAddresses(), "a@x.org");
  m.SetHeaderValue("To", "bb@x.org");
  EXPECT_EQ(m.ToRecipients().GetAllAddresses(), "bb@x.org");
  m.SetHeaderValue("To", "");
  EXPECT_EQ(m.ToRecipients().GetAllAddresses(), "");
  EXPECT_TRUE(m.ToRecipients().Addresses().empty());
}

}  // namespace
}  // namespace droprelay
