// A connection that broke during a message is dropped without RSET or QUIT, and the next message
// opens a new one; the data counts as sent only once its final dot went out; and the end of a
// session waits briefly for the answer to QUIT, and not at all after a stop. Each against a real
// SMTP server on loopback that records what happened on each of its connections.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/compose.h"
#include "platform/file.h"
#include "platform/termination_signal.h"
#include "smtp_sink_process.h"
#include "submit/delivery.h"
#include "submit/submission.h"
#include "text/outcome.h"

namespace droprelay {
namespace {

using testing::SmtpSink;
using testing::TempFolder;
using Events = std::vector<std::string>;
using std::chrono::seconds;

const MessageStamp kStamp{"Mon, 7 Dec 2026 10:00:00 +0300", "<id@example.org>", "=_droprelay_test"};

// What a connection sees up to the envelope of its first message.
const Events kEnvelope = {"connected", "EHLO", "NOOP", "MAIL", "RCPT"};

// A message with an attachment of `size` bytes; `dotted`: its text has lines that begin with a
// dot, which libcurl doubles on the wire.
OutgoingMessage Message(std::size_t size, bool dotted = false) {
  OutgoingMessage message;
  message.from = "relay@example.org";
  message.to = {"to@example.org"};
  message.subject = "report";
  message.body = "body\r\n";
  if (dotted) {
    for (int i = 0; i < 500; ++i) message.body += ".\r\n..line " + std::to_string(i) + "\r\n";
  }
  if (size > 0) message.attachments.push_back({"data.bin", std::string(size, 'x')});
  return message;
}

submit::MailProfile ProfileOf(const SmtpSink& sink) {
  submit::MailProfile profile;
  profile.url = sink.url();
  profile.from = "relay@example.org";
  return profile;
}

// What connection `n` saw, in order, without its number.
Events EventsOf(const SmtpSink& sink, int n) {
  Events events;
  const std::string prefix = std::to_string(n) + " ";
  for (const std::string& event : sink.Events()) {
    if (event.rfind(prefix, 0) == 0) events.push_back(event.substr(prefix.size()));
  }
  return events;
}

Events Join(Events first, const Events& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

class BrokenConnection : public ::testing::Test {
 protected:
  void TearDown() override { submit::SetSmtpTimeouts(submit::SmtpTimeouts{}); }
  TempFolder folder_;
};

// Each fault strikes the first message only (--once); the second goes out on a new connection,
// and the broken one got nothing more: no RSET, no QUIT, no line left inside its data.
TEST_F(BrokenConnection, IsDroppedAndTheNextMessageOpensANewOne) {
  submit::SetSmtpTimeouts(submit::SmtpTimeouts{seconds(1), seconds(1), seconds(1)});
  struct Fault {
    const char* what;
    std::vector<std::string> sink;
    std::size_t size;  // the failing message's attachment
    bool dotted;
    bool shrunk;  // its attachment file is shorter than when it was opened: the upload is abandoned
    Outcome outcome;
    SmtpStep step;
    bool dataSent;
    Events after;  // what the broken connection saw after the envelope
  };
  const Fault faults[] = {
      // More data than the buffers on the way hold, so the cut comes before the end.
      {"connection lost in the middle of the data", {"--drop-data"}, 16 << 20, false, false, Outcome::kSendFailed,
       SmtpStep::kData, false, {"DATA", "closed"}},
      {"connection lost after the final dot, unanswered", {"--drop-after-data"}, 0, false, false,
       Outcome::kUncertain, SmtpStep::kData, true, {"DATA", "end-of-data", "closed"}},
      {"the same, with dots libcurl doubles", {"--drop-after-data"}, 0, true, false, Outcome::kUncertain,
       SmtpStep::kData, true, {"DATA", "end-of-data", "closed"}},
      {"no answer to RCPT", {"--stall-rcpt", "3"}, 0, false, false, Outcome::kNoConnection, SmtpStep::kRcptTo,
       false, {"closed"}},
      {"the server stops taking the data", {"--stall-in-data", "3"}, 8 << 20, false, false, Outcome::kNoConnection,
       SmtpStep::kData, false, {"DATA", "closed"}},
      {"no answer to the end of the data", {"--stall-data", "3"}, 0, false, false, Outcome::kUncertain,
       SmtpStep::kData, true, {"DATA", "end-of-data", "closed"}},
      {"upload abandoned", {}, 1 << 20, false, true, Outcome::kAttachmentMissing, SmtpStep::kData, false,
       {"DATA", "closed"}},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.what);
    std::vector<std::string> options = {"--log-events", "--notify-ending", "--once"};
    options.insert(options.end(), fault.sink.begin(), fault.sink.end());
    SmtpSink sink(options);
    submit::SmtpSession session(ProfileOf(sink), "");
    ASSERT_TRUE(session.Logon().Delivered());

    OutgoingMessage failing = Message(fault.shrunk ? 0 : fault.size, fault.dotted);
    if (fault.shrunk) {
      const std::string path = folder_ / "shrunk.bin";
      testing::WriteFile(path, std::string(fault.size / 2, 'y'));
      failing.attachments.push_back(
          {"shrunk.bin", "", std::make_shared<const AttachmentFile>(
                                 AttachmentFile{platform::OpenFile(path, {}), fault.size, path})});
    }
    ComposedMessage first(failing, kStamp);
    const SubmissionResult broken = session.Send({"to@example.org"}, first);
    EXPECT_EQ(OutcomeToken(broken.outcome), OutcomeToken(fault.outcome)) << broken.reply;
    EXPECT_EQ(broken.dataSent, fault.dataSent);
    EXPECT_EQ(static_cast<int>(broken.step), static_cast<int>(fault.step));
    EXPECT_EQ(broken.replyCode, 0) << "no answer of the server explains it";

    // The next logon's take-over and the next message.
    ASSERT_TRUE(session.Reset().Delivered());
    OutgoingMessage next = Message(0);
    ComposedMessage second(next, kStamp);
    const SubmissionResult sent = session.Send({"to@example.org"}, second);
    ASSERT_EQ(sent.outcome, Outcome::kDelivered) << sent.reply;
    EXPECT_EQ(session.Connections(), 2);
    EXPECT_EQ(EventsOf(sink, 2), Events({"connected", "EHLO", "RSET", "MAIL", "RCPT", "DATA", "end-of-data"}));

    ASSERT_TRUE(sink.WaitFor("CLOSED 1"));
    EXPECT_EQ(EventsOf(sink, 1), Join(kEnvelope, fault.after));
    EXPECT_EQ(sink.MessageCount(), 1) << "only the second message";
  }
}

// The answer to QUIT is awaited briefly; the session ends all the same, and never opens a
// connection just to say QUIT.
TEST_F(BrokenConnection, TheEndWaitsBrieflyForTheAnswerToQuit) {
  // Only the QUIT bound is short: a wait for any other reply would outlast the sink's stall.
  submit::SetSmtpTimeouts(submit::SmtpTimeouts{seconds(300), seconds(600), seconds(1)});
  struct Ending {
    const char* what;
    std::vector<std::string> sink;
    Events after;  // what the connection saw after the message
  };
  const Ending endings[] = {
      {"answered", {}, {"QUIT", "replied QUIT", "closed"}},
      {"never answered", {"--no-quit-reply"}, {"QUIT", "closed"}},
      {"answered only after a minute", {"--quit-reply-after", "60"}, {"QUIT", "closed"}},
      {"the server closed the connection before", {"--close-after", "1"}, {"closed"}},
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.what);
    std::vector<std::string> options = {"--log-events", "--notify-ending"};
    options.insert(options.end(), ending.sink.begin(), ending.sink.end());
    SmtpSink sink(options);
    {
      submit::SmtpSession session(ProfileOf(sink), "");
      ASSERT_TRUE(session.Logon().Delivered());
      OutgoingMessage message = Message(0);
      ComposedMessage source(message, kStamp);
      ASSERT_TRUE(session.Send({"to@example.org"}, source).Delivered());
    }
    ASSERT_TRUE(sink.WaitFor("CLOSED 1"));
    EXPECT_EQ(EventsOf(sink, 1), Join(kEnvelope, Join({"DATA", "end-of-data"}, ending.after)));
    EXPECT_EQ(sink.Connections(), 1);
  }
}

// Once a stop was asked, the session closes its connection without QUIT; a stop that comes while
// it waits for the answer to QUIT ends the wait. In a child process: the stop stays seen.
TEST_F(BrokenConnection, AStopClosesTheConnectionWithoutWaitingForQuit) {
  struct Stop {
    const char* what;
    bool duringQuit;
    Events after;
  };
  const Stop stops[] = {
      {"stop before the end", false, {"closed"}},
      {"stop while the answer to QUIT is awaited", true, {"QUIT", "closed"}},
  };
  for (const Stop& stop : stops) {
    SCOPED_TRACE(stop.what);
    // The server would answer QUIT after half a minute; the client's own bound is longer still.
    SmtpSink sink({"--log-events", "--notify-ending", "--quit-reply-after", "30"});
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      submit::SetSmtpTimeouts(submit::SmtpTimeouts{seconds(300), seconds(600), seconds(120)});
      if (platform::TerminationSignalDescriptor() < 0) ::_exit(2);
      {
        submit::SmtpSession session(ProfileOf(sink), "");
        if (!session.Logon().Delivered()) ::_exit(3);
        OutgoingMessage message = Message(0);
        ComposedMessage source(message, kStamp);
        if (!session.Send({"to@example.org"}, source).Delivered()) ::_exit(4);
        if (!stop.duringQuit) {
          ::raise(SIGTERM);
        } else {
          std::thread([&sink] {
            if (sink.WaitFor("QUIT 1")) ::kill(::getpid(), SIGTERM);
          }).detach();
        }
      }
      ::_exit(platform::TerminationRequested() ? 0 : 5);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(sink.WaitFor("CLOSED 1"));
    EXPECT_EQ(EventsOf(sink, 1), Join(kEnvelope, Join({"DATA", "end-of-data"}, stop.after)));
  }
}

}  // namespace
}  // namespace droprelay
