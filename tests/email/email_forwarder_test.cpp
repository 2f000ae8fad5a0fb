// The e-mail channel: preparation, the queue's consolidation and bound, what
// the server's replies and a server that cannot be reached make of a
// message, the purge.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "email/smtp_client.h"
#include "email_fixture.h"
#include "scripted_smtp_peer.h"

namespace cvn {
namespace {

using email_test::EmailFixture;
using email_test::Eventually;

using EmailForwarderTest = EmailFixture;

TEST_F(EmailForwarderTest, PreparationFillsAndCutsTheTemplates) {
  SEventRecord record;
  record.source = u"Disk";
  record.description = u"0123456789";
  settings().Email_LimitSubject.value = true;
  settings().Email_LimitSubjectTo.value = 6;
  settings().Email_LimitBody.value = true;
  settings().Email_LimitBodyTo.value = 4;
  settings().Email_Format.value = 1;
  SEmailMessage m = PrepareEmailMessage(settings(), record);
  EXPECT_EQ(m.subject, u"Disk: ");
  EXPECT_EQ(m.body, u"0123");
  EXPECT_EQ(m.content_type, "text/html");
  EXPECT_EQ(m.event_count, 1);

  settings().Email_LimitSubject.value = false;
  settings().Email_LimitBody.value = false;
  settings().Email_Format.value = 0;
  m = PrepareEmailMessage(settings(), record);
  // The count is filled in when the message is sent.
  EXPECT_EQ(m.subject, u"Disk: %NUMBER_OF_EVENTS% event(s)");
  EXPECT_EQ(m.body, u"0123456789\r\n");
  EXPECT_EQ(m.content_type, "text/plain");
}

TEST_F(EmailForwarderTest, ConsolidationMergesIntoTheLastMessageUpToItsSize) {
  settings().Email_Consolidation.value = 0;
  Dispatch(u"A", u"one");
  Dispatch(u"B", u"two");
  EXPECT_EQ(core_->email_queue.Size(), 2u);

  settings().Email_Consolidation.value = 2;
  Dispatch(u"C", u"three");
  ASSERT_EQ(core_->email_queue.Size(), 2u);
  const SEmailMessage& last = core_->email_queue.items.back();
  EXPECT_EQ(last.subject, u"B: %NUMBER_OF_EVENTS% event(s)");
  EXPECT_EQ(last.body, u"two\r\nthree\r\n");
  EXPECT_EQ(last.event_count, 2);
  EXPECT_EQ(last.seq, core_->email_progress.Issued());
  EXPECT_EQ(core_->email_counter, 3u);

  // A message at the size limit takes no more records.
  core_->email_queue.items.back().body.assign(kMaxConsolidatedBodyBytes / 2, u'x');
  Dispatch(u"D", u"four");
  EXPECT_EQ(core_->email_queue.Size(), 3u);
}

TEST_F(EmailForwarderTest, FullQueueAnswersFullAndCountsNothing) {
  settings().Email_Consolidation.value = 0;
  settings().Email_MaxQueue.value = 4;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Dispatch(u"A", u"x"), Offer::kTaken);
  EXPECT_EQ(Dispatch(u"A", u"x"), Offer::kFull);
  EXPECT_EQ(core_->email_queue.Size(), 4u);
  EXPECT_EQ(core_->email_failed, 0);
  EXPECT_EQ(core_->email_counter, 4u);
  EXPECT_EQ(core_->email_progress.Issued(), 4u);  // the refused record gets no number

  // Room again at half the bound, so that a channel behind reads in long runs.
  core_->email_queue.items.pop_front();
  EXPECT_FALSE(CEmailChannel::HasRoom(*core_));
  core_->email_queue.items.pop_front();
  EXPECT_TRUE(CEmailChannel::HasRoom(*core_));

  // With consolidation a full queue still takes records into its last message.
  core_->email_queue.items.resize(4);
  settings().Email_Consolidation.value = 2;
  EXPECT_EQ(Dispatch(u"A", u"merged"), Offer::kTaken);
  EXPECT_EQ(core_->email_queue.items.back().body, u"merged\r\n");
}

// A server that answers the commands beginning with step with reply (only
// the first time when once; an empty reply closes the connection) and
// accepts everything else.
email_test::ScriptedSmtpPeer::Responder Answering(std::string step, std::string reply, bool once) {
  auto used = std::make_shared<bool>(false);
  return [=](const std::string& command) -> std::string {
    if (command.rfind(step, 0) == 0 && !(once && *used)) {
      *used = true;
      return reply;
    }
    if (command == "DATA") return "354 go ahead\r\n";
    return command == "QUIT" ? "221 bye\r\n" : "250 ok\r\n";
  };
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

struct OutcomeCase {
  const char* what;
  const char* step;  // "From:" is the message itself
  std::string reply;
  int connections;
  int failed;
  std::string logged;                 // one line holds this
  std::vector<std::string> messages;  // what the server received, in order
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.what; }

class EmailOutcomeTest : public EmailFixture, public ::testing::WithParamInterface<OutcomeCase> {};

// Two messages, "first" and "second"; the server's word about the first
// decides whether it is tried again, given up or sent to part of the list.
TEST_P(EmailOutcomeTest, ServerReplyDecidesTheMessage) {
  const OutcomeCase& c = GetParam();
  email_test::ScriptedSmtpPeer peer({"220 mail.test\r\n"}, Answering(c.step, c.reply, true),
                                    c.connections);
  settings().Email_Port.value = peer.port();
  settings().Email_Consolidation.value = 0;
  settings().Email_To.value = u"a@example.test, ops@example.test";
  Dispatch(u"A", u"first");
  Dispatch(u"B", u"second");
  StartThread();
  ASSERT_TRUE(Eventually([&] { return core_->email_progress.Acknowledged() == 2; }))
      << ServiceLogs();
  EXPECT_EQ(core_->email_failed, c.failed);
  EXPECT_EQ(core_->email_sent, 2 - c.failed);
  const std::string logs = ServiceLogs();
  EXPECT_EQ(Count(logs, c.logged), 1u) << logs;
  std::vector<std::string> messages;
  for (const std::string& command : peer.Commands()) {
    if (command.rfind("From:", 0) == 0) {
      messages.push_back(command.find("first") != std::string::npos ? "first" : "second");
    }
  }
  EXPECT_EQ(messages, c.messages);
}

constexpr char kTryLater[] = "451 4.3.0 try later\r\n";
constexpr char kPostponed[] =
    "E-mail postponed, tried again in 1 s. [Forwarding to a@example.test, ops@example.test, "
    "server: 127.0.0.1] Reason: 451 4.3.0 try later\r\n";
constexpr char kFailed[] =
    "Failed to send e-mail. [Forwarding to a@example.test, ops@example.test, server: 127.0.0.1] "
    "Reason: ";
// A reply in two lines with control bytes and more text than a log line takes.
const std::string kNoisy = "550-5.7.1 spam\r\n550 5.7.1 \x1b[2J\xff" + std::string(300, 'x');
const std::string kNoisyLogged = [] {
  std::string text = "550-5.7.1 spam 550 5.7.1 ?[2J?";
  text.resize(kMaxSmtpReplyText, 'x');
  return kFailed + text + "\r\n";
}();
const std::vector<std::string> kOnce = {"first", "second"};
const std::vector<std::string> kTwice = {"first", "first", "second"};

INSTANTIATE_TEST_SUITE_P(
    Replies, EmailOutcomeTest,
    ::testing::Values(
        // Nothing goes to the accepted recipient until the other one is.
        OutcomeCase{"451 to RCPT", "RCPT TO:<ops", kTryLater, 2, 0, kPostponed, kOnce},
        OutcomeCase{"451 to DATA", "DATA", kTryLater, 2, 0, kPostponed, kOnce},
        OutcomeCase{"451 after the data", "From:", kTryLater, 2, 0, kPostponed, kTwice},
        OutcomeCase{"closed before the final reply", "From:", "", 2, 0,
                    "Reason: The server closed the connection.\r\n", kTwice},
        OutcomeCase{"550 after the data", "From:", "550 5.7.1 rejected\r\n", 1, 1,
                    std::string(kFailed) + "550 5.7.1 rejected\r\n", kOnce},
        OutcomeCase{"long 550", "From:", kNoisy + "\r\n", 1, 1, kNoisyLogged, kOnce},
        OutcomeCase{"one recipient of two 550", "RCPT TO:<a@", "550 5.1.1 no such user\r\n", 1, 0,
                    "[Recipient a@example.test, server: 127.0.0.1] Reason: 550 5.1.1 no such "
                    "user\r\n",
                    kOnce}));

TEST_F(EmailForwarderTest, UnreachableServerIsTriedUntilItComesUp) {
  SetEmailConnectRetryForTesting(10, 10000);
  const uint16_t port = email_test::FreePort();
  settings().Email_Port.value = port;
  settings().Email_Consolidation.value = 0;
  Dispatch(u"A", u"first");
  Dispatch(u"B", u"second");
  StartThread();
  const auto last_error = [&] {
    platform::LockGuard guard(core_->status_lock);
    return core_->email_last_error;
  };
  ASSERT_TRUE(Eventually([&] { return !last_error().empty(); }));
  platform::SleepMs(200);  // pauses of 10, 20, 40, 80 ms
  EXPECT_EQ(core_->email_failed, 0);
  EXPECT_EQ(core_->email_progress.Acknowledged(), 0u);
  EXPECT_EQ(last_error().rfind(u"Failed to connect to the e-mail server: error 10061", 0), 0u);

  email_test::ScriptedSmtpPeer peer({"220 mail.test\r\n"}, Answering("NOOP", "250 ok\r\n", false),
                                    1, port);
  ASSERT_TRUE(Eventually([&] { return core_->email_progress.Acknowledged() == 2; }))
      << ServiceLogs();
  EXPECT_EQ(core_->email_sent, 2);
  EXPECT_EQ(core_->email_failed, 0);
  // One line for the whole outage, whose reason stayed the same.
  const std::string logs = ServiceLogs();
  EXPECT_EQ(Count(logs, "E-mail postponed"), 1u) << logs;
  EXPECT_EQ(Count(logs, "The e-mail server answers again after"), 1u) << logs;
}

TEST_F(EmailForwarderTest, PurgeEmptiesTheQueueAndReleasesTheBookmarks) {
  settings().Email_Consolidation.value = 0;
  Dispatch(u"A", u"one");
  Dispatch(u"B", u"two");
  EXPECT_EQ(core_->email_progress.Acknowledged(), 0u);
  EXPECT_EQ(core_->OnNotify(1), 0);
  EXPECT_EQ(core_->email_queue.Size(), 0u);
  EXPECT_EQ(core_->email_progress.Acknowledged(), 2u);
}

}  // namespace
}  // namespace cvn
