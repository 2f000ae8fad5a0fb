// End to end: a record that the event log tool writes from another process
// into a watched log reaches a connected console as a pop-up. The primary
// server thread is woken by the log's change notification.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/core_test_util.h"
#include "core/event_log_monitor.h"
#include "platform/event_log.h"
#include "platform/sync.h"
#include "platform_eventlog/process_helper.h"
#include "tools/cvnconsole/console_session.h"

namespace cvn::core_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::u16string_view kLog = u"CvnPopupLog";
constexpr std::u16string_view kSource = u"CvnPopupSource";

class PopupArrivalTest : public CoreTest {
 protected:
  void TearDown() override {
    console_.reset();
    CoreTest::TearDown();
  }

  std::unique_ptr<console::ConsoleSession> console_;
  std::mutex mu_;
  std::vector<std::string> popups_;  // as the console tool prints them
  Clock::time_point arrived_;
  platform::Event popup_arrived_{platform::Event::Mode::kAutoReset};
};

TEST_F(PopupArrivalTest, RecordWrittenByAnotherProcessReachesTheConsole) {
  ASSERT_EQ(platform::CreateEventLog(kLog), 0u);
  ASSERT_EQ(platform::AddEventSource(kLog, kSource, {}), 0u);
  // One older record, so the log is not empty when the monitor first sees it.
  platform::EventSource source;
  ASSERT_EQ(source.Register(kSource), 0u);
  const std::vector<std::u16string> strings = {u"older"};
  ASSERT_EQ(source.Report(platform::kEventTypeInformation, 0, 1, {}, strings, {}), 0u);
  platform::EventLog probe;
  uint32_t count = 0;
  if (probe.Open(kLog) != 0 || probe.GetCount(count) != 0 || count == 0) {
    GTEST_SKIP() << "reported events never show up: this system only stubs the classic event "
                    "log (Wine)";
  }

  CCVNSettings settings;
  settings.Popup_Show.value = true;
  WriteSettings(settings);
  core_->SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  console_ = std::make_unique<console::ConsoleSession>(server_pipe_, console_pipe_,
                                                       [this](const std::string& text) {
                                                         if (text.rfind("pop-up: ", 0) != 0) return;
                                                         std::lock_guard lk(mu_);
                                                         popups_.push_back(text);
                                                         arrived_ = Clock::now();
                                                         popup_arrived_.Set();
                                                       });
  ASSERT_EQ(console_->Open(kWaitMs), console::kExitOk) << console_->Error();
  ASSERT_TRUE(core_->TableReadyEvent()->Wait(kWaitMs));

  const Clock::time_point started = Clock::now();
  ASSERT_EQ(testing::RunChild("write CvnPopupLog CvnPopupSource --id 4242 --type warning -- "
                              "\"written by another process\""),
            0);
  ASSERT_TRUE(popup_arrived_.Wait(kWaitMs)) << "no pop-up arrived";

  std::lock_guard lk(mu_);
  ASSERT_EQ(popups_.size(), 1u);
  const std::string& text = popups_[0];
  EXPECT_NE(
      text.find("\"CvnPopupLog\" record 2, Warning, event id 4242, source \"CvnPopupSource\""),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("written by another process"), std::string::npos) << text;
  // Measured, not checked: the time from starting the writer to the pop-up.
  RecordProperty(
      "popup_ms",
      static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(arrived_ - started).count()));
}

}  // namespace
}  // namespace cvn::core_test
