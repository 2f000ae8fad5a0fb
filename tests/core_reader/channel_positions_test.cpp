// Each channel's own place in a log: a full channel falls behind while the
// others read on, every channel resumes from its own durable position after a
// restart, and a damaged bookmark is rebuilt from the positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/event_log_reader.h"
#include "platform/event_log.h"
#include "reader_fixture.h"

namespace cvn::reader_test {
namespace {

class ChannelPositionsTest : public ReaderTest {
 protected:
  // Syslog takes every record; e-mail only while it holds fewer than
  // email_room_ records it was offered since the last restart.
  void UseTwoChannels() {
    core_->Settings().Email_Forward.value = true;
    core_->SetChannelHandler(Channel::kSyslog, [this](CCVNCore& core, const SEventRecord& r) {
      forwarded_.push_back(r.recordNumber);
      core.syslog_queue.Push("m");
      return Offer::kTaken;
    });
    core_->SetChannelHandler(
        Channel::kEmail,
        [this](CCVNCore& core, const SEventRecord& r) {
          if (emailed_.size() >= email_room_) return Offer::kFull;
          emailed_.push_back(r.recordNumber);
          core.email_progress.Issue();
          return Offer::kTaken;
        },
        [this](CCVNCore&) { return emailed_.size() < email_room_; });
  }
  // A service restart with both channels, nothing offered to e-mail yet.
  void RestartWithTwoChannels() {
    Restart();
    UseTwoChannels();
    emailed_.clear();
  }
  // Every output so far is durable; the positions are stored.
  void AcknowledgeAll() {
    core_->syslog_queue.Acknowledge(core_->syslog_queue.Issued());
    core_->email_progress.AcknowledgeAll();
    AdvanceBookmarks(*core_, true);
  }
  std::string PositionsText(const std::u16string& log) {
    return cvn::testing::ReadFileBytes(
        std::filesystem::path(core_->bookmarks.PositionsPathOf(log)));
  }

  std::vector<uint32_t> emailed_;
  size_t email_room_ = 1000;
};

TEST_F(ChannelPositionsTest, AFullChannelFallsBehindAloneAndResumesFromItsOwnPosition) {
  const std::u16string log = u"CvnPositionsLagging";
  REQUIRE_REAL_EVENT_LOG(log);
  UseTwoChannels();
  Pass(log);
  email_room_ = 4;
  WriteRecords(log, 10);
  EXPECT_EQ(Pass(log), Ascending(1, 10));
  EXPECT_EQ(emailed_, Ascending(1, 4));
  AcknowledgeAll();
  // The bookmark is the slowest channel's position.
  EXPECT_EQ(BookmarkText(log).substr(0, 2), "4 ");
  EXPECT_NE(PositionsText(log).find("email 4 "), std::string::npos);
  EXPECT_NE(PositionsText(log).find("syslog 10 "), std::string::npos);
  EXPECT_EQ(core_->channel_figures[static_cast<size_t>(Channel::kEmail)].lag, 6u);

  // After a restart syslog gets nothing again, e-mail reads its own range.
  RestartWithTwoChannels();
  email_room_ = 1000;
  WriteRecords(log, 2);
  EXPECT_EQ(Pass(log), Ascending(11, 12));
  EXPECT_EQ(emailed_, Ascending(5, 12));
  AcknowledgeAll();
  EXPECT_EQ(BookmarkText(log).substr(0, 3), "12 ");
  platform::DeleteEventLog(log);
}

// Whatever happened to the bookmark file, the positions beside it tell
// where each channel stands: nothing is skipped and nothing read again.
TEST_F(ChannelPositionsTest, ADamagedBookmarkIsRebuiltFromThePositions) {
  const std::u16string log = u"CvnPositionsDamaged";
  REQUIRE_REAL_EVENT_LOG(log);
  const std::vector<std::string> damages = {"garbage", "", "5 17", "1005 1 1 0"};
  UseTwoChannels();
  Pass(log);
  WriteRecords(log, 5);
  Pass(log);
  AcknowledgeAll();
  uint32_t written = 5;
  for (const std::string& damage : damages) {
    cvn::testing::WriteFileBytes(std::filesystem::path(CCVNCore::GetEventLogsFolder() + log),
                                 damage);
    WriteRecords(log, 3);
    RestartWithTwoChannels();
    EXPECT_EQ(Pass(log), Ascending(written + 1, written + 3)) << "bookmark \"" << damage << '"';
    EXPECT_EQ(emailed_, Ascending(written + 1, written + 3)) << "bookmark \"" << damage << '"';
    EXPECT_NE(Logs().find("it is rebuilt from"), std::string::npos);
    written += 3;
    AcknowledgeAll();
    const std::string expected = std::to_string(written) + " ";
    EXPECT_EQ(BookmarkText(log).substr(0, expected.size()), expected);
  }
  platform::DeleteEventLog(log);
}

}  // namespace
}  // namespace cvn::reader_test
