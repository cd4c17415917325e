// The relay's trace and the loop check over a stored message's header.
#include "app/mail_loop.h"

#include <gtest/gtest.h>

#include <string>

namespace droprelay {
namespace {

const std::string kFolder = "/var/spool/droprelay/drop/";

std::string Received(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += "Received: from hop" + std::to_string(i) + " by mx; date\r\n";
  return lines;
}

TEST(MailLoop, TraceIdNamesHostAndFolder) {
  struct Case {
    std::string host;
    std::string folder;
    std::string id;
  };
  const Case cases[] = {
      {"MailHost.Example.ORG", kFolder, "by mailhost.example.org (droprelay /var/spool/droprelay/drop/)"},
      {"", "/d/", "by localhost (droprelay /d/)"},
      // What a header comment cannot carry as it is.
      {"h", "/srv/my drop (old);100%\\/", "by h (droprelay /srv/my%20drop%20%28old%29%3B100%25%5C/)"},
      {"h", "/srv/\xD0\xBF\xD0\xBE\xD1\x87\xD1\x82\xD0\xB0/", "by h (droprelay /srv/%D0%BF%D0%BE%D1%87%D1%82%D0%B0/)"},
      {"h", "/a\r\nBcc: x/", "by h (droprelay /a%0D%0ABcc:%20x/)"},
  };
  for (const Case& c : cases) EXPECT_EQ(RelayTraceId(c.host, c.folder), c.id) << c.folder;

  // A folder too long to write out is named by a digest: the same for the same folder, another
  // for another, and the line stays short.
  const std::string longFolder = "/" + std::string(600, 'a') + "/";
  const std::string id = RelayTraceId("h", longFolder);
  EXPECT_EQ(id, RelayTraceId("h", longFolder));
  EXPECT_NE(id, RelayTraceId("h", "/" + std::string(600, 'a') + "b/"));
  EXPECT_LT(RelayTraceField(id, "Mon, 7 Dec 2026 10:00:00 +0300").size(), 100u);
}

TEST(MailLoop, FindsOwnTraceAndTooManyHops) {
  const std::string id = RelayTraceId("mailhost", kFolder);
  const std::string own = RelayTraceField(id, "Mon, 7 Dec 2026 10:00:00 +0300") + "\r\n";
  const std::string body = "\r\nbody\r\n";
  struct Case {
    const char* what;
    std::string message;
    MailLoop expected;
  };
  const Case cases[] = {
      {"a first visit", "From: a@example.net\r\nTo: b@example.org\r\n" + body, MailLoop::kNone},
      {"back again", "Received: from mx by mta; date\r\n" + own + "From: a@example.net\r\n" + body,
       MailLoop::kOwnTrace},
      {"back, with LF line ends", "From: a@example.net\nReceived: by mailhost (droprelay " + kFolder + ");\n date\n\nb\n",
       MailLoop::kOwnTrace},
      {"back, folded elsewhere", "received:   by mailhost\r\n  (droprelay " + kFolder + "); date\r\n" + body,
       MailLoop::kOwnTrace},
      {"the same host, another folder", "Received: by mailhost (droprelay /var/spool/droprelay/drop2/); d\r\n" + body,
       MailLoop::kNone},
      {"a folder inside ours", "Received: by mailhost (droprelay " + kFolder + "sub/); d\r\n" + body,
       MailLoop::kNone},
      {"the same folder, another host", "Received: by otherhost (droprelay " + kFolder + "); d\r\n" + body,
       MailLoop::kNone},
      {"the trace in another field", "X-Note: " + id + "\r\n" + body, MailLoop::kNone},
      {"the trace in the body", "From: a@example.net\r\n\r\n" + own, MailLoop::kNone},
      {"25 hops", Received(25) + body, MailLoop::kNone},
      {"26 hops", Received(26) + body, MailLoop::kTooManyHops},
      {"26 hops, own trace among them", Received(25) + own + body, MailLoop::kOwnTrace},
      {"26 hops in the body", "From: a@example.net\r\n\r\n" + Received(26), MailLoop::kNone},
      {"no body at all", Received(26), MailLoop::kTooManyHops},
      {"nothing", "", MailLoop::kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(FindMailLoop(c.message, id), c.expected) << c.what;
}

// What the relayed message carries on of the stored message's trace.
TEST(MailLoop, ReceivedFieldsAreCarriedOnAsPrintableLines) {
  const std::string message =
      "Received: from a.example\r\n\tby b.example;  Mon, 7 Dec 2026 10:00:00 +0000\r\n"
      "From: x@example.net\r\n"
      "RECEIVED:from \xD0\x90\x01 by c \r\n"
      "Received-SPF: pass\r\n"
      "X-Received: by d\r\n"
      "\r\n"
      "Received: in the body\r\n";
  const std::vector<std::string> expected = {"Received: from a.example by b.example; Mon, 7 Dec 2026 10:00:00 +0000",
                                             "Received: from ??? by c"};
  EXPECT_EQ(ReceivedFields(message), expected);
  EXPECT_EQ(ReceivedFields("no header at all"), std::vector<std::string>());
}

}  // namespace
}  // namespace droprelay
