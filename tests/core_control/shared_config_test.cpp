// The secondary server thread's work on a core: the histograms moving on with
// the clock, the shared file's check period, and its merge (what is merged,
// what is not, a settings file that cannot be written, and a merge against a
// stop in progress), with a console that counts the service's notifications.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "base/text.h"
#include "config/xml_document.h"
#include "core/core_test_util.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "tools/cvnconsole/console_session.h"

namespace cvn::core_test {
namespace {

using Merge = CCVNCore::MergeResult;

constexpr int64_t kStep = 20;            // seconds per step of the finest histogram
constexpr int64_t kT0 = 20 * 672 * 150;  // on a bucket boundary of every histogram

TEST_F(CoreTest, HistogramsMoveOnWithTheirSlots) {
  auto& h = core_->histograms;
  for (auto& histogram : h) {
    for (size_t type = 0; type < 4; ++type) {
      for (size_t b = 0; b < 90; ++b) histogram[type * 90 + b] = static_cast<uint32_t>(b + 1);
    }
  }
  core_->SetStatisticsSlots(kT0);
  EXPECT_FALSE(core_->ShiftStatistics(kT0 + kStep - 1));  // still the same slot

  // One step moves the 30-minute histogram only: bucket b takes b + 1's count.
  EXPECT_TRUE(core_->ShiftStatistics(kT0 + kStep));
  EXPECT_EQ(h[6][0], 2u);
  EXPECT_EQ(h[6][88], 90u);
  EXPECT_EQ(h[6][89], 0u);
  EXPECT_EQ(h[6][3 * 90 + 88], 90u);  // every type row
  EXPECT_EQ(h[5][0], 1u);

  // Five steps later: 4 more places in the 2-hour one (4 steps per bucket,
  // now 6 steps from the start: one bucket), five in the finest.
  EXPECT_TRUE(core_->ShiftStatistics(kT0 + 6 * kStep));
  EXPECT_EQ(h[6][0], 7u);
  EXPECT_EQ(h[6][83], 90u);
  EXPECT_EQ(h[6][84], 0u);
  EXPECT_EQ(h[5][0], 2u);
  EXPECT_EQ(h[5][89], 0u);

  // A clock set back moves nothing; 90 steps or more empty a histogram.
  EXPECT_FALSE(core_->ShiftStatistics(kT0));
  EXPECT_TRUE(core_->ShiftStatistics(kT0 + 200 * kStep));
  EXPECT_EQ(h[6], std::vector<uint32_t>(360, 0u));
  EXPECT_EQ(h[0][0], 1u);  // the 14-day buckets are 672 steps wide
}

TEST_F(CoreTest, SharedFileIsCheckedOncePerPeriod) {
  core_->Settings().Settings_TrackChangesPeriod.value = 1;
  EXPECT_TRUE(core_->IsTimeToCheckSharedFile(kT0));
  EXPECT_FALSE(core_->IsTimeToCheckSharedFile(kT0 + 59));
  EXPECT_TRUE(core_->IsTimeToCheckSharedFile(kT0 + 60));
  EXPECT_FALSE(core_->IsTimeToCheckSharedFile(kT0 + 100));
}

class SharedConfigTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    shared_ = dir_.u16() + u"/shared.cvncfg";
    CCVNSettings settings;
    settings.Settings_SharedFilePath.value = shared_;
    WriteSettings(settings);
    core_->SetThreadBody(CoreThread::kPrimary, nullptr);
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
    console_ = std::make_unique<console::ConsoleSession>(server_pipe_, console_pipe_,
                                                         [this](const std::string& text) {
                                                           std::lock_guard lk(mu_);
                                                           if (text.rfind("notification 4", 0) == 0)
                                                             ++shared_notes_;
                                                         });
    ASSERT_EQ(console_->Open(kWaitMs), console::kExitOk) << console_->Error();
  }
  void TearDown() override {
    console_.reset();
    CoreTest::TearDown();
  }

  void WriteShared(int32_t keep_logs) {
    // A whole configuration, as a console saves it: its own path included.
    CCVNSettings shared;
    shared.Settings_SharedFilePath.value = shared_;
    shared.General_KeepLogs.value = keep_logs;
    ASSERT_EQ(shared.SaveFile(shared_), 0);
  }
  int32_t SavedKeepLogs() {
    CCVNSettings saved;
    EXPECT_EQ(saved.LoadFile(CCVNCore::GetSettingsFilePath(), true), 0);
    return saved.General_KeepLogs.value;
  }
  int SharedNotes() {
    std::lock_guard lk(mu_);
    return shared_notes_;
  }

  cvn::testing::TempDir dir_;
  std::u16string shared_;
  std::unique_ptr<console::ConsoleSession> console_;
  std::mutex mu_;
  int shared_notes_ = 0;
};

TEST_F(SharedConfigTest, MergesChangedContentOnlyAndNotifiesTheConsole) {
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kUnreadable);
  WriteShared(21);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kMerged);
  EXPECT_EQ(core_->Settings().General_KeepLogs.value, 21);
  EXPECT_EQ(SavedKeepLogs(), 21);
  // The same bytes again: nothing happens.
  WriteShared(21);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kUnchanged);
  // Same size, other content: merged.
  WriteShared(22);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kMerged);
  EXPECT_EQ(SavedKeepLogs(), 22);
  EXPECT_TRUE(core_->ThreadExists(CoreThread::kSecondary));
  EXPECT_EQ(SharedNotes(), 2);

  // Not a configuration: not merged, and not tried again until it changes.
  cvn::testing::WriteFileBytes(dir_.path() / "shared.cvncfg", "<Corvane><General>");
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kRejected);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kUnchanged);
  EXPECT_EQ(core_->Settings().General_KeepLogs.value, 22);
  EXPECT_EQ(SharedNotes(), 2);
}

// A file with only some keys changes only those; whether and where the file
// is shared stays this machine's decision, and the merge names what changed.
TEST_F(SharedConfigTest, OnlyTheFilesKeysOutsideItsOwnSectionAreTaken) {
  core_->Settings().Syslog_Server.value = u"local.test";
  XmlDocument document(u"Corvane");
  document.AddChild(u"General").AddChild(u"KeepLogs").SetTextInt(30);
  const bool tracking = core_->Settings().Settings_TrackChanges.value;
  document.AddChild(u"Settings").AddChild(u"TrackChanges").SetTextBool(!tracking);
  ASSERT_EQ(document.Save(shared_), 0);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kMerged);
  EXPECT_EQ(core_->Settings().General_KeepLogs.value, 30);
  EXPECT_EQ(core_->Settings().Syslog_Server.value, u"local.test");
  EXPECT_EQ(core_->Settings().Settings_TrackChanges.value, tracking);
  EXPECT_NE(Logs().find("The shared configuration file changed 1 settings: General/KeepLogs."),
            std::string::npos)
      << Logs();
}

// Whoever may write the file would decide what the service runs on.
TEST_F(SharedConfigTest, AFileOthersMayWriteOrTooLargeIsRefusedAndLoggedOnce) {
  if (platform::kPathSeparator == u'\\') GTEST_SKIP() << "mode bits are posix's";
  WriteShared(25);
  const std::filesystem::path file = Utf16ToUtf8(shared_);
  std::filesystem::permissions(file, std::filesystem::perms::others_write,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kRefused);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kRefused);
  EXPECT_EQ(core_->Settings().General_KeepLogs.value, 14);
  const std::string refused = "is not merged: every user may write it";
  const std::string logs = Logs();
  EXPECT_EQ(logs.find(refused), logs.rfind(refused)) << logs;
  EXPECT_NE(logs.find(refused), std::string::npos) << logs;
  // Closed again, it is merged without a change of content.
  std::filesystem::permissions(file, std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kMerged);
  cvn::testing::WriteFileBytes(file, std::string(4 * 1024 * 1024 + 1, ' '));
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kRefused);
  EXPECT_NE(Logs().find("more than 4194304"), std::string::npos);
}

TEST_F(SharedConfigTest, SettingsFileThatCannotBeWrittenKeepsItsValues) {
  // A folder where the temporary copy goes makes every write fail, also for
  // root.
  // On Windows the folder is the machine's own: it goes again at the end.
  struct Blocker {
    std::filesystem::path path{Utf16ToUtf8(CCVNCore::GetSettingsFilePath() + u".tmp")};
    Blocker() { std::filesystem::create_directory(path); }
    ~Blocker() { std::filesystem::remove(path); }
  } blocker;
  ASSERT_TRUE(std::filesystem::is_directory(blocker.path));
  WriteShared(23);
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kMerged);
  EXPECT_EQ(core_->Settings().General_KeepLogs.value, 14);
  EXPECT_EQ(SavedKeepLogs(), 14);
  EXPECT_NE(Logs().find("Shared config ignored: Failed to write merged settings to main file: "),
            std::string::npos)
      << Logs();
  EXPECT_EQ(SharedNotes(), 1);
  EXPECT_TRUE(core_->ThreadExists(CoreThread::kSecondary));
}

TEST_F(SharedConfigTest, MergeNeverRestartsWhatAStopEnds) {
  // A primary thread that takes its time to stop keeps the stop (and its
  // start/stop lock) busy.
  core_->StopServer();
  platform::Event stopping(platform::Event::Mode::kManualReset);
  core_->SetThreadBody(CoreThread::kPrimary, [&stopping](CCVNCore& core) {
    core.ThreadStopEvent(CoreThread::kPrimary)->Wait(platform::Deadline::kNoLimit);
    stopping.Set();
    platform::SleepMs(500);
    return 0u;
  });
  ASSERT_EQ(core_->StartServer(), 0u);
  WriteShared(24);
  std::thread stop([this] { core_->StopServer(); });
  ASSERT_TRUE(stopping.Wait(kWaitMs));
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kDeferred);
  stop.join();
  // Once stopped, a merge is deferred too, and nothing runs again.
  EXPECT_EQ(core_->MergeSharedConfig(), Merge::kDeferred);
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kPrimary));
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kSecondary));
  EXPECT_EQ(core_->Settings().General_KeepLogs.value, 14);
}

}  // namespace
}  // namespace cvn::core_test
