// The reader: which records of a log are new after a restart, what the
// bookmark file holds afterwards, and the limits of a read.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "core/event_log_monitor.h"
#include "core/event_log_reader.h"
#include "platform/event_log.h"
#include "reader_fixture.h"

namespace cvn::reader_test {
namespace {

std::vector<uint32_t> Descending(uint32_t from, uint32_t to) {
  std::vector<uint32_t> numbers;
  for (uint32_t n = from; n >= to; --n) numbers.push_back(n);
  return numbers;
}

TEST_F(ReaderTest, FirstSightForwardsNothingThenRestartsResumeAtTheBookmark) {
  const std::u16string log = u"CvnReaderResume";
  REQUIRE_REAL_EVENT_LOG(log);
  WriteRecords(log, 500);

  EXPECT_TRUE(Pass(log).empty());
  EXPECT_EQ(BookmarkText(log), "500 " + std::to_string(RecordTime(log, 500)) + " 1 0");

  // A restart with 20 new records forwards them newest first and counts them
  // into the newest bucket of every histogram (information: type index 2).
  Restart();
  WriteRecords(log, 20);
  EXPECT_EQ(Pass(log), Descending(520, 501));
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
  EXPECT_EQ(Pass(log), Descending(30, 1));

  // An empty log is bookmarked as empty; its first records are all new.
  ASSERT_EQ(platform::ClearEventLog(log), 0u);
  EXPECT_TRUE(Pass(log).empty());
  EXPECT_EQ(BookmarkText(log), "0 0 0 1");
  WriteRecords(log, 3);
  EXPECT_EQ(Pass(log), Descending(3, 1));
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
  EXPECT_EQ(Pass(small), Descending(205, oldest));
  platform::DeleteEventLog(small);
}

TEST_F(ReaderTest, RangesAboveTheLimitAreDroppedAndTheBookmarkMovesOn) {
  const std::u16string log = u"CvnReaderLimit";
  REQUIRE_REAL_EVENT_LOG(log);
  Pass(log);  // registered empty: every record written now is new
  WriteRecords(log, 20001);
  EXPECT_TRUE(Pass(log).empty());
  EXPECT_NE(Logs().find("Read request for 20001 records dropped. Max allowed records: 10000"),
            std::string::npos);
  EXPECT_EQ(BookmarkText(log).substr(0, 6), "20001 ");

  // More than limit + 1 records after the bookmarked one: its time cannot be
  // looked up, so nothing is forwarded.
  max_new_records_ = 5;
  WriteRecords(log, 7);
  EXPECT_TRUE(Pass(log).empty());
  EXPECT_NE(Logs().find("Failed to get date of record 20001 from: CvnReaderLimit"),
            std::string::npos);
  EXPECT_EQ(BookmarkText(log).substr(0, 6), "20008 ");
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
