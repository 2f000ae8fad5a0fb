// The primary server thread: which logs it watches, a new pass when the list
// of logs changes, and records reaching the channels through notifications.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core_test_util.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "reader_fixture.h"

namespace cvn::reader_test {
namespace {

using core_test::CoreTest;
using core_test::kWaitMs;

// Polls until done() holds or the test's patience ends; whether it held.
bool WaitUntil(const std::function<bool()>& done) {
  for (uint32_t waited = 0; !done() && waited < kWaitMs; waited += 10) platform::SleepMs(10);
  return done();
}

class MonitorTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    DeleteLogs();
  }
  void TearDown() override {
    CoreTest::TearDown();
    DeleteLogs();
  }
  static void DeleteLogs() {
    for (const auto* name : {u"CvnMonAlpha", u"CvnMonBeta", u"CvnMonNew"}) {
      platform::DeleteEventLog(name);
    }
  }

  // Starts the server and waits for its first registration pass.
  void Start(const CCVNSettings& settings) {
    WriteSettings(settings);
    ASSERT_EQ(core_->InitCore(), 0u);
    core_->TableReadyEvent()->Reset();
    ASSERT_EQ(core_->StartServer(), 0u);
    ASSERT_TRUE(core_->TableReadyEvent()->Wait(kWaitMs));
  }

  std::vector<std::u16string> Inspected() {
    platform::LockGuard guard(core_->table_lock);
    return core_->inspected_names;
  }
  bool IsInspected(const std::u16string& name) {
    const auto names = Inspected();
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  bool BookmarkExists(const std::u16string& name) {
    return platform::FileExists(CCVNCore::GetEventLogsFolder() + name);
  }
};

TEST_F(MonitorTest, IncludeAndExcludeListsCompareNamesExactly) {
  ASSERT_EQ(platform::CreateEventLog(u"CvnMonAlpha"), 0u);
  ASSERT_EQ(platform::CreateEventLog(u"CvnMonBeta"), 0u);
  CCVNSettings settings;
  settings.Logs_InspectAll.value = false;
  settings.Logs_IsIncludeList.value = true;
  settings.Logs_List.items = {u"CvnMonAlpha", u"cvnmonbeta"};
  Start(settings);
  EXPECT_TRUE(IsInspected(u"CvnMonAlpha"));
  EXPECT_FALSE(IsInspected(u"CvnMonBeta"));
  EXPECT_TRUE(BookmarkExists(u"CvnMonAlpha"));
  core_->StopServer();

  settings.Logs_IsIncludeList.value = false;
  settings.Logs_List.items = {u"CvnMonAlpha", u"cvnmonbeta"};
  Start(settings);
  EXPECT_FALSE(IsInspected(u"CvnMonAlpha"));
  EXPECT_TRUE(IsInspected(u"CvnMonBeta"));
  // The log no longer watched loses its bookmark.
  EXPECT_FALSE(BookmarkExists(u"CvnMonAlpha"));
  EXPECT_TRUE(BookmarkExists(u"CvnMonBeta"));
}

TEST_F(MonitorTest, NewLogKeyMakesANewPassAndNewRecordsAreForwarded) {
  const bool real_log = MakeLog(u"CvnMonAlpha");
  std::mutex mutex;
  std::vector<uint32_t> forwarded;
  core_->SetChannelHandler(Channel::kSyslog, [&](CCVNCore&, const SEventRecord& record) {
    std::lock_guard<std::mutex> guard(mutex);
    forwarded.push_back(record.recordNumber);
    return Offer::kTaken;
  });
  CCVNSettings settings;
  settings.Syslog_Forward.value = true;
  Start(settings);
  ASSERT_TRUE(IsInspected(u"CvnMonAlpha"));
  ASSERT_FALSE(IsInspected(u"CvnMonNew"));

  ASSERT_EQ(platform::CreateEventLog(u"CvnMonNew"), 0u);
  EXPECT_TRUE(WaitUntil([&] { return IsInspected(u"CvnMonNew"); }));
  EXPECT_TRUE(IsInspected(u"CvnMonAlpha"));

  if (!real_log) {
    GTEST_SKIP() << "written records never show up: this system only stubs the classic event log";
  }
  WriteRecords(u"CvnMonAlpha", 2);
  WaitUntil([&] {
    std::lock_guard<std::mutex> guard(mutex);
    return forwarded.size() >= 2;
  });
  core_->StopServer();
  // The first write may be read before the second lands: either way each
  // record arrives once.
  std::sort(forwarded.begin(), forwarded.end());
  EXPECT_EQ(forwarded, (std::vector<uint32_t>{1, 2}));
}

TEST_F(MonitorTest, AtMost62LogsAreWatchedInEnumerationOrder) {
  std::vector<std::u16string> made;
  for (int i = 0; i < 63; ++i) {
    made.push_back(u"CvnMonMany" + std::u16string(1, char16_t(u'A' + i / 26)) +
                   std::u16string(1, char16_t(u'a' + i % 26)));
    ASSERT_EQ(platform::CreateEventLog(made.back()), 0u);
  }
  std::vector<std::u16string> all;
  ASSERT_EQ(platform::ListEventLogs(all), 0u);
  Start(CCVNSettings());
  const std::vector<std::u16string> watched = Inspected();
  core_->StopServer();
  for (const auto& name : made) platform::DeleteEventLog(name);
  EXPECT_EQ(watched, std::vector<std::u16string>(all.begin(), all.begin() + 62));
}

}  // namespace
}  // namespace cvn::reader_test
