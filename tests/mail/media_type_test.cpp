// Media types on their way out: the shortest well-formed type ("a/b") is as good as any other and
// keeps its name, in the composed outgoing message and in a normalised stored one; only what is not
// a type/subtype becomes application/octet-stream.
#include <gtest/gtest.h>

#include <string>

#include "mail/mime_types.h"
#include "mail/mail_message.h"
#include "mail_test_util.h"

namespace droprelay {
namespace {

using testing::Crlf;

TEST(MailMediaTypes, OnlyWhatIsNotTypeSlashSubtypeBecomesOctetStream) {
  const std::string octet = "application/octet-stream";
  const struct {
    std::string type;
    std::string written;
  } cases[] = {
      {"a/b", "a/b"},
      {"x/y.z", "x/y.z"},
      {"text/plain", "text/plain"},
      {"application/vnd.openxmlformats-officedocument.wordprocessingml.document",
       "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"image/svg+xml", "image/svg+xml"},
      {"a/", octet},
      {"/b", octet},
      {"/", octet},
      {"ab", octet},
      {"", octet},
      {"a/b/c", octet},
      {"a b/c", octet},
      {"text/plain; charset=x", octet},
      {"text/plain\r\nBcc: x@example.org", octet},
  };
  for (const auto& c : cases) EXPECT_EQ(SafeMediaType(c.type), c.written) << c.type;
}

TEST(MailMediaTypes, OneCharacterTypeSurvivesNormalisation) {
  TMailMessage m;
  m.ParseText(Crlf({"Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: text/plain", "", "body",
                    "--b", "Content-Type: a/b", "", "data", "--b--"}),
              true);
  testing::Normalise(m);
  ASSERT_EQ(m.AttachmentParts().Count(), 1);
  EXPECT_EQ(m.AttachmentParts()[0]->GetMediaType(), "a/b");
  const std::string composed = testing::MessageText(m);
  EXPECT_NE(composed.find("\r\nContent-Type: a/b"), std::string::npos) << composed;
  EXPECT_EQ(composed.find("octet-stream"), std::string::npos) << composed;
}

}  // namespace
}  // namespace droprelay
