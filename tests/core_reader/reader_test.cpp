// The reader: which records of a log are new after a restart, what the
// bookmark file holds afterwards, and the limits of a read.
#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/event_log_monitor.h"
#include "core/event_log_reader.h"
#include "platform/event_log.h"
#include "reader_fixture.h"

namespace cvn::reader_test {
namespace {

TEST_F(ReaderTest, FirstSightForwardsNothingThenRestartsResumeAtTheBookmark) {
  const std::u16string log = u"CvnReaderResume";
  REQUIRE_REAL_EVENT_LOG(log);
  WriteRecords(log, 500);

  EXPECT_TRUE(Pass(log).empty());
  EXPECT_EQ(BookmarkText(log), "500 " + std::to_string(RecordTime(log, 500)) + " 1 0");

  // A restart with 20 new records forwards them oldest first and counts them
  // into the newest bucket of every histogram (information: type index 2).
  Restart();
  WriteRecords(log, 20);
  EXPECT_EQ(Pass(log), Ascending(501, 520));
  EXPECT_EQ(BookmarkText(log), "520 " + std::to_string(RecordTime(log, 520)) + " 1 0");
  EXPECT_TRUE(core_->statistics_changed);
  for (const auto& histogram : core_->histograms) EXPECT_EQ(histogram[2 * 90 + 89], 20u);

  // With old records skipped the bookmark still moves to the newest record.
  Restart();
  TraceLogEnabled = true;
  WriteRecords(log, 20);
  EXPECT_TRUE(Pass(log, /*skip_old=*/true).empty());
  EXPECT_NE(Logs().find("Skipping records for Eventlog: CvnReaderResume"), std::string::npos);
  EXPECT_EQ(BookmarkText(log).substr(0, 4), "540 ");

  // Nothing new: nothing read, nothing rewritten.
  EXPECT_TRUE(Pass(log).empty());
  platform::DeleteEventLog(log);
}

TEST_F(ReaderTest, ClearedRefilledOrWrappedLogsAreProcessedWhole) {
  const std::u16string log = u"CvnReaderCleared";
  REQUIRE_REAL_EVENT_LOG(log);
  WriteRecords(log, 40);
  Pass(log);
  // Cleared and refilled with fewer records: the numbering restarted.
  ASSERT_EQ(platform::ClearEventLog(log), 0u);
  WriteRecords(log, 30);
  Restart();
  EXPECT_EQ(Pass(log), Ascending(1, 30));

  // An empty log is bookmarked as empty; its first records are all new.
  ASSERT_EQ(platform::ClearEventLog(log), 0u);
  EXPECT_TRUE(Pass(log).empty());
  EXPECT_EQ(BookmarkText(log), "0 0 0 1");
  WriteRecords(log, 3);
  EXPECT_EQ(Pass(log), Ascending(1, 3));
  platform::DeleteEventLog(log);

  // A full log drops its oldest records, the bookmarked one among them.
  const std::u16string small = u"CvnReaderWrapped";
  ASSERT_TRUE(MakeLog(small, 64 * 1024));
  WriteRecords(small, 5, 1000);
  Pass(small);
  WriteRecords(small, 200, 1000);
  platform::EventLog handle;
  uint32_t oldest = 0;
  ASSERT_EQ(handle.Open(small), 0u);
  ASSERT_EQ(handle.GetOldest(oldest), 0u);
  ASSERT_GT(oldest, 5u);
  EXPECT_EQ(Pass(small), Ascending(oldest, 205));
  EXPECT_NE(Logs().find(std::to_string(oldest - 6) +
                        " records of Eventlog CvnReaderWrapped were overwritten before the syslog "
                        "channel could read them"),
            std::string::npos);
  platform::DeleteEventLog(small);
}

TEST_F(ReaderTest, RangesAboveTheLimitAreReadInSlicesOldestFirst) {
  const std::u16string log = u"CvnReaderLimit";
  REQUIRE_REAL_EVENT_LOG(log);
  Pass(log);  // registered empty: every record written now is new
  WriteRecords(log, 20001);
  EXPECT_EQ(Pass(log), Ascending(1, 20001));
  EXPECT_EQ(BookmarkText(log).substr(0, 6), "20001 ");

  // After a restart the bookmarked record is found however far back it lies.
  max_new_records_ = 5;
  Restart();
  WriteRecords(log, 7);
  EXPECT_EQ(Pass(log), Ascending(20002, 20008));
  EXPECT_EQ(BookmarkText(log).substr(0, 6), "20008 ");
  EXPECT_EQ(Logs().find("dropped"), std::string::npos);
  platform::DeleteEventLog(log);
}

// With syslog messages on their way the bookmark stays at the newest record
// whose message (and every earlier one) is durable; a record the channel
// does not take a message for waits only for the ones before it. A restart
// before the messages are durable reads the records again.
TEST_F(ReaderTest, BookmarksFollowTheDurableSyslogMessages) {
  const std::u16string log = u"CvnReaderAcknowledged";
  REQUIRE_REAL_EVENT_LOG(log);
  const auto queue_all_but_every_third = [this](CCVNCore& core, const SEventRecord& record) {
    forwarded_.push_back(record.recordNumber);
    if (record.recordNumber % 3 != 0) core.syslog_queue.Push("m");
    return Offer::kTaken;
  };
  Pass(log);
  const std::string registered = BookmarkText(log);
  core_->SetChannelHandler(Channel::kSyslog, queue_all_but_every_third);
  WriteRecords(log, 10);  // records 1..10; 3, 6 and 9 produce no message
  EXPECT_EQ(Pass(log), Ascending(1, 10));
  EXPECT_EQ(BookmarkText(log), registered);

  core_->syslog_queue.Acknowledge(4);  // the messages of records 1, 2, 4, 5
  AdvanceBookmarks(*core_, true);
  EXPECT_EQ(BookmarkText(log).substr(0, 2), "6 ");
  EXPECT_TRUE(HasPendingRecords(*core_));

  Restart();
  core_->SetChannelHandler(Channel::kSyslog, queue_all_but_every_third);
  EXPECT_EQ(Pass(log), Ascending(7, 10));
  core_->syslog_queue.Acknowledge(core_->syslog_queue.Issued());
  AdvanceBookmarks(*core_, true);
  EXPECT_EQ(BookmarkText(log).substr(0, 3), "10 ");
  EXPECT_FALSE(HasPendingRecords(*core_));
  platform::DeleteEventLog(log);
}

// A record whose dispatch fails is logged with its number and passed over;
// reading goes on and the bookmark moves past it.
TEST_F(ReaderTest, ARecordThatFailsIsLoggedAndSkipped) {
  const std::u16string log = u"CvnReaderFailing";
  REQUIRE_REAL_EVENT_LOG(log);
  Pass(log);
  core_->SetChannelHandler(Channel::kSyslog, [this](CCVNCore&, const SEventRecord& record) {
    if (record.recordNumber == 2) throw std::runtime_error("no room");
    forwarded_.push_back(record.recordNumber);
    return Offer::kTaken;
  });
  WriteRecords(log, 3);
  EXPECT_EQ(Pass(log), (std::vector<uint32_t>{1, 3}));
  EXPECT_NE(Logs().find("Record 2 of Eventlog CvnReaderFailing was skipped: no room"),
            std::string::npos);
  EXPECT_EQ(BookmarkText(log).substr(0, 2), "3 ");
  platform::DeleteEventLog(log);
}

TEST_F(ReaderTest, LargeRecordsGrowTheBufferUpToItsLimit) {
  const std::u16string log = u"CvnReaderLarge";
  REQUIRE_REAL_EVENT_LOG(log);
  Pass(log);
  WriteRecords(log, 1, 70000);
  EXPECT_EQ(Pass(log), std::vector<uint32_t>{1});
  EXPECT_GT(core_->reading_buffer.size(), 70000u);
  EXPECT_EQ(core_->reading_buffer.size(), core_->reading_buffer_size);

  WriteRecords(log, 1, 600000);
  EXPECT_TRUE(Pass(log).empty());
  EXPECT_NE(Logs().find("Failed to read records form Eventlog, error=122"), std::string::npos);
  EXPECT_LE(core_->reading_buffer.size(), kMaxReadingBufferSize);
  platform::DeleteEventLog(log);
}

TEST_F(ReaderTest, StatisticsRebuildCountsRecentRecordsByType) {
  const std::u16string log = u"CvnReaderStatistics";
  REQUIRE_REAL_EVENT_LOG(log);
  WriteRecords(log, 2, 0, platform::kEventTypeError);
  WriteRecords(log, 1, 0, platform::kEventTypeWarning);
  WriteRecords(log, 3, 0, platform::kEventTypeInformation);
  WriteRecords(log, 1, 0, platform::kEventTypeAuditFailure);
  core_->histograms[6][5] = 7;
  ResetStatistics(*core_);
  platform::EventLog handle;
  ASSERT_EQ(handle.Open(log), 0u);
  RebuildStatistics(*core_, handle);
  for (const auto& histogram : core_->histograms) {
    EXPECT_EQ(histogram[0 * 90 + 89], 2u);
    EXPECT_EQ(histogram[1 * 90 + 89], 1u);
    EXPECT_EQ(histogram[2 * 90 + 89], 3u);
    EXPECT_EQ(histogram[3 * 90 + 89], 1u);
    EXPECT_EQ(std::accumulate(histogram.begin(), histogram.end(), 0u), 7u);
  }
  platform::DeleteEventLog(log);
}

}  // namespace
}  // namespace cvn::reader_test
