// The e-mail channel without a mail server: preparation, the queue's
// consolidation and bound, a server that cannot be reached, the purge.
#include <gtest/gtest.h>

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

TEST_F(EmailForwarderTest, FullQueueDropsAndCountsWithOneLinePerRun) {
  settings().Email_Consolidation.value = 0;
  settings().Email_MaxQueue.value = 2;
  for (int i = 0; i < 4; ++i) Dispatch(u"A", u"x");
  EXPECT_EQ(core_->email_queue.Size(), 2u);
  EXPECT_EQ(core_->email_failed, 2);
  EXPECT_EQ(core_->email_counter, 4u);
  EXPECT_EQ(core_->email_progress.Issued(), 2u);  // dropped records get no number
  core_->email_queue.Clear();
  Dispatch(u"A", u"x");
  core_->email_queue.Clear();
  Dispatch(u"A", u"x");
  Dispatch(u"A", u"x");
  Dispatch(u"A", u"x");
  const std::string logs = ServiceLogs();
  size_t lines = 0;
  for (size_t at = logs.find("The e-mail queue is full"); at != std::string::npos;
       at = logs.find("The e-mail queue is full", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u) << logs;

  // With consolidation a full queue still takes records into its last message.
  settings().Email_Consolidation.value = 2;
  Dispatch(u"A", u"merged");
  EXPECT_EQ(core_->email_failed, 3);
  EXPECT_EQ(core_->email_queue.items.back().event_count, 2);
}

TEST_F(EmailForwarderTest, UnreachableServerGivesUpEachMessageAfterItsAttempts) {
  settings().Email_Port.value = email_test::FreePort();
  settings().Email_Consolidation.value = 0;
  Dispatch(u"A", u"one");
  Dispatch(u"B", u"two");
  StartThread();
  // Each message given up releases its records.
  ASSERT_TRUE(Eventually([&] { return core_->email_progress.Acknowledged() == 2; }));
  EXPECT_EQ(core_->email_failed, 2);
  EXPECT_EQ(core_->email_queue.Size(), 0u);
  EXPECT_EQ(core_->email_sent, 0);
  {
    platform::LockGuard guard(core_->status_lock);
    EXPECT_EQ(core_->email_last_error, u"Failed to connect to the e-mail server.");
  }
  const std::string logs = ServiceLogs();
  const std::string line =
      "Failed to send e-mail. [Forwarding to ops@example.test, server: 127.0.0.1] Reason: Failed "
      "to connect to the e-mail server.";
  const size_t first = logs.find(line);
  ASSERT_NE(first, std::string::npos) << logs;
  EXPECT_NE(logs.find(line, first + 1), std::string::npos) << logs;
  EXPECT_EQ(logs.find(line, logs.find(line, first + 1) + 1), std::string::npos) << logs;
}

TEST_F(EmailForwarderTest, ConnectionClosedByTheServerIsNotUsedForTheNextMessage) {
  email_test::ScriptedSmtpPeer peer(
      {"220 mail.test\r\n"},
      [](const std::string& command) -> std::string {
        if (command.find("first") != std::string::npos) return "";  // closes
        if (command == "DATA") return "354 go ahead\r\n";
        return "250 ok\r\n";
      },
      2);
  settings().Email_Port.value = peer.port();
  settings().Email_Consolidation.value = 0;
  Dispatch(u"A", u"first");
  Dispatch(u"B", u"second");
  StartThread();
  ASSERT_TRUE(Eventually([&] { return core_->email_sent + core_->email_failed == 2; }));
  EXPECT_EQ(core_->email_failed, 1);
  EXPECT_EQ(core_->email_sent, 1);
  {
    platform::LockGuard guard(core_->status_lock);
    EXPECT_EQ(core_->email_last_error, u"Failed to send e-mail to the server.");
  }
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
