// End to end: a record that the event log tool writes from another process
// into a watched log reaches a connected console as a pop-up. The primary
// server thread is woken by the log's change notification.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/ctrl_protocol.h"
#include "core/core_test_util.h"
#include "core/event_log_monitor.h"
#include "platform/event_log.h"
#include "platform/sync.h"
#include "platform_eventlog/process_helper.h"
#include "tools/cvnconsole/console_session.h"

namespace cvn::core_test {
namespace {

using control::CSTCtrlMessage;
using Clock = std::chrono::steady_clock;

constexpr std::u16string_view kLog = u"CvnPopupLog";
constexpr std::u16string_view kSource = u"CvnPopupSource";

struct Popup {
  uint32_t event_id = 0;
  std::u16string log;
  std::u16string source;
  std::u16string description;
};

// The fields of a pop-up call this test looks at; false for other calls.
bool DecodePopup(CSTCtrlMessage m, Popup& popup) {
  uint8_t kind = 0, id = 0;
  int32_t tag = 0, number = 0, generated = 0, written = 0, event_id = 0;
  uint16_t type = 0, category = 0;
  std::u16string computer, user, category_text;
  if (!m.ValueFromStack(kind) || kind != control::kKindPropertySet || !m.ValueFromStack(id) ||
      id != control::kPropPopup) {
    return false;
  }
  const bool ok =
      m.ValueFromStack(tag) && m.ValueFromStack(number) && m.ValueFromStack(generated) &&
      m.ValueFromStack(written) && m.ValueFromStack(event_id) && m.ValueFromStack(type) &&
      m.ValueFromStack(category) && m.ValueFromStack(popup.source) && m.ValueFromStack(computer) &&
      m.ValueFromStack(user) && m.ValueFromStack(popup.description) &&
      m.ValueFromStack(category_text) && m.ValueFromStack(popup.log);
  popup.event_id = static_cast<uint32_t>(event_id);
  return ok && tag == control::kPopupRecordTag;
}

class PopupArrivalTest : public CoreTest {
 protected:
  void TearDown() override {
    console_.reset();
    CoreTest::TearDown();
  }

  std::unique_ptr<console::ConsoleSession> console_;
  std::mutex mu_;
  std::vector<Popup> popups_;
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
  console_ = std::make_unique<console::ConsoleSession>(
      server_pipe_, console_pipe_, [](const std::string&) {},
      [this](const CSTCtrlMessage& call) {
        Popup popup;
        if (!DecodePopup(call, popup)) return;
        std::lock_guard lk(mu_);
        popups_.push_back(popup);
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
  EXPECT_EQ(popups_[0].event_id, 4242u);
  EXPECT_EQ(popups_[0].log, kLog);
  EXPECT_EQ(popups_[0].source, kSource);
  EXPECT_NE(popups_[0].description.find(u"written by another process"), std::u16string::npos);
  // Measured, not checked: the time from starting the writer to the pop-up.
  RecordProperty(
      "popup_ms",
      static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(arrived_ - started).count()));
}

}  // namespace
}  // namespace cvn::core_test
