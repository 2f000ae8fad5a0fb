// The console's property queries and assignments, and the pop-up record, on a
// started core: a console session on the real pipes asks and listens, and
// what the core sends is decoded here from its bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "control/ctrl_protocol.h"
#include "core/core_test_util.h"
#include "platform/clock.h"
#include "tools/cvnconsole/console_session.h"

namespace cvn::core_test {
namespace {

using control::CSTCtrlMessage;

class ControlOperationsTest : public CoreTest {
 protected:
  void Start() {
    // No event log monitor: the tests set the values it would keep. No
    // secondary thread, whose statistics notifications would mix with the
    // ones counted here.
    core_->SetThreadBody(CoreThread::kPrimary, nullptr);
    core_->SetThreadBody(CoreThread::kSecondary, nullptr);
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
    console_ = std::make_unique<console::ConsoleSession>(
        server_pipe_, console_pipe_, [](const std::string&) {},
        [this](const CSTCtrlMessage& call) {
          {
            std::lock_guard lk(mu_);
            calls_.push_back(call);
          }
          const auto& b = call.Bytes();
          if (b.size() >= 6 && b.back() == control::kKindPropertySet &&
              b[b.size() - 2] == control::kPropPopup) {
            popup_seen_.Set();
            if (hold_popups_) popups_released_.Wait(3 * kWaitMs);  // a console gone silent
          }
        });
    ASSERT_EQ(console_->Open(kWaitMs), console::kExitOk) << console_->Error();
  }

  void TearDown() override {
    popups_released_.Set();
    console_.reset();
    CoreTest::TearDown();
  }

  // The values of a property-query reply, kind popped.
  CSTCtrlMessage Query(uint8_t id) {
    CSTCtrlMessage request;
    request.ValueToStack(id);
    request.ValueToStack(static_cast<uint8_t>(control::kKindPropertyQuery));
    CSTCtrlMessage reply;
    EXPECT_TRUE(console_->Exchange(request, reply, kWaitMs)) << console_->Error();
    uint8_t kind = 0;
    EXPECT_TRUE(reply.ValueFromStack(kind));
    EXPECT_EQ(kind, control::kKindPropertyReply);
    return reply;
  }

  std::vector<int32_t> Status() {
    CSTCtrlMessage reply = Query(control::kPropStatus);
    std::vector<int32_t> pairs;
    EXPECT_TRUE(reply.ValueFromStack(pairs));
    EXPECT_FALSE(reply.HasValues());
    return pairs;
  }

  int32_t StatusValue(int32_t key) {
    const std::vector<int32_t> pairs = Status();
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
      if (pairs[i] == key) return pairs[i + 1];
    }
    ADD_FAILURE() << "no status key " << key;
    return 0;
  }

  std::u16string Text(uint8_t id) {
    CSTCtrlMessage reply = Query(id);
    std::u16string text = u"(none)";
    EXPECT_TRUE(reply.ValueFromStack(text));
    EXPECT_FALSE(reply.HasValues());
    return text;
  }

  // A property assignment with one 32-bit value, or none.
  void Assign(uint8_t id, std::optional<int32_t> value) {
    CSTCtrlMessage request;
    if (value) request.ValueToStack(*value);
    request.ValueToStack(id);
    request.ValueToStack(static_cast<uint8_t>(control::kKindPropertySet));
    CSTCtrlMessage reply;
    ASSERT_TRUE(console_->Exchange(request, reply, kWaitMs)) << console_->Error();
    uint8_t kind = 0;
    ASSERT_TRUE(reply.ValueFromStack(kind));
    EXPECT_EQ(kind, control::kKindPropertySetReply);
    EXPECT_FALSE(reply.HasValues());
  }

  std::vector<CSTCtrlMessage> Calls() {
    std::lock_guard lk(mu_);
    return calls_;
  }

  // Pop-ups reach the console from the core's sender thread: waits until the
  // console has seen count calls in all.
  std::vector<CSTCtrlMessage> WaitForCalls(size_t count) {
    for (uint32_t waited = 0; Calls().size() < count && waited < kWaitMs; waited += 2) {
      platform::SleepMs(2);
    }
    return Calls();
  }

  // Method calls the core made to the console with this number.
  int MethodCalls(uint8_t method) {
    int n = 0;
    for (const CSTCtrlMessage& call : Calls()) {
      const auto& b = call.Bytes();
      if (b.size() == 6 && b[5] == control::kKindMethodCall && b[4] == method) ++n;
    }
    return n;
  }

  std::unique_ptr<console::ConsoleSession> console_;
  std::mutex mu_;
  std::vector<CSTCtrlMessage> calls_;
  std::atomic<bool> hold_popups_{false};
  platform::Event popup_seen_{platform::Event::Mode::kAutoReset};
  platform::Event popups_released_{platform::Event::Mode::kManualReset};
};

TEST_F(ControlOperationsTest, FreshCoreReportsItsChannelsOffAndEmptyTexts) {
  Start();
  const std::vector<int32_t> pairs = Status();
  ASSERT_EQ(pairs.size(), 52u);
  const int32_t keys[] = {13, 11, 12, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,
                          10, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25};
  for (size_t i = 0; i < 26; ++i) {
    EXPECT_EQ(pairs[2 * i], keys[i]) << "pair " << i;
    const bool channel = keys[i] == 11 || keys[i] == 12 || keys[i] == 13 || keys[i] == 17;
    EXPECT_EQ(pairs[2 * i + 1], channel ? -1 : 0) << "key " << keys[i];
  }

  CSTCtrlMessage start = Query(control::kPropStartTime);
  int32_t started = 0;
  ASSERT_TRUE(start.ValueFromStack(started));
  EXPECT_NE(started, 0);

  for (uint8_t id : {control::kPropSyslogError, control::kPropEmailError, control::kPropReportError,
                     control::kPropDatabaseError}) {
    EXPECT_EQ(Text(id), u"") << "property " << int(id);
  }
  EXPECT_EQ(Text(control::kPropPeriodName), u"System events for the last 14 days");

  // Unknown ids answer with no values; the channel keeps serving.
  EXPECT_FALSE(Query(99).HasValues());
  Assign(99, 5);
  EXPECT_EQ(Status().size(), 52u);
}

TEST_F(ControlOperationsTest, ResetsClearTheirOwnCountersAndTexts) {
  Start();
  core_->syslog_sent = 50;
  core_->syslog_failed = 3;
  core_->syslog_cached = 4;
  core_->syslog_queue.Push("<14>waiting");
  core_->email_sent = 9;
  core_->reports_saved = 3;
  core_->reports_mailed = 2;
  core_->db_exported = (uint64_t{1} << 32) + 7;  // only the low 32 bits are shown
  core_->db_failed = 2;
  core_->syslog_last_error = u"connection refused";

  EXPECT_EQ(StatusValue(0), 5);  // queue plus cache file
  EXPECT_EQ(StatusValue(7), 2 * 65536 + 3);
  EXPECT_EQ(StatusValue(15), 9);
  EXPECT_EQ(StatusValue(19), 53);

  // 15 clears the exported count only: the handled count is the failed one.
  Assign(control::kPropResetCounter, 15);
  EXPECT_EQ(StatusValue(15), 2);
  EXPECT_EQ(StatusValue(16), 2);
  EXPECT_EQ(StatusValue(18), 0);

  // 2 clears the failures and the syslog text, not the sent count.
  Assign(control::kPropResetCounter, 2);
  EXPECT_EQ(StatusValue(2), 0);
  EXPECT_EQ(StatusValue(1), 50);
  EXPECT_EQ(Text(control::kPropSyslogError), u"");

  // A missing value and an unknown code change nothing.
  Assign(control::kPropResetCounter, std::nullopt);
  Assign(control::kPropResetCounter, 3);
  EXPECT_EQ(StatusValue(1), 50);
  EXPECT_EQ(StatusValue(5), 9);
}

TEST_F(ControlOperationsTest, EachResetCodeClearsExactlyWhatItNames) {
  Start();
  struct Counters {
    int32_t syslog_sent, syslog_failed, email_queued, email_sent, email_failed, saved, mailed,
        save_failed, mail_failed;
    uint64_t exported, db_failed;
    bool operator==(const Counters&) const = default;
  };
  auto read = [this] {
    return Counters{core_->syslog_sent,    core_->syslog_failed,      int32_t(core_->email_counter),
                    core_->email_sent,     core_->email_failed,       core_->reports_saved,
                    core_->reports_mailed, core_->report_save_failed, core_->report_mail_failed,
                    core_->db_exported,    core_->db_failed};
  };
  const Counters full{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  auto fill = [this, &full] {
    core_->syslog_sent = full.syslog_sent;
    core_->syslog_failed = full.syslog_failed;
    core_->email_counter = uint32_t(full.email_queued);
    core_->email_sent = full.email_sent;
    core_->email_failed = full.email_failed;
    core_->reports_saved = full.saved;
    core_->reports_mailed = full.mailed;
    core_->report_save_failed = full.save_failed;
    core_->report_mail_failed = full.mail_failed;
    core_->db_exported = full.exported;
    core_->db_failed = full.db_failed;
    platform::LockGuard guard(core_->status_lock);
    core_->syslog_last_error = core_->email_last_error = core_->report_last_error = u"x";
  };
  const struct {
    int32_t code;
    Counters after;
    const char* texts;  // which last-error texts are empty afterwards
  } cases[] = {
      {1, {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, ""},
      {2, {1, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11}, "syslog"},
      {4, {1, 2, 0, 4, 5, 6, 7, 8, 9, 10, 11}, ""},
      {5, {1, 2, 3, 0, 5, 6, 7, 8, 9, 10, 11}, ""},
      {6, {1, 2, 3, 4, 0, 6, 7, 8, 9, 10, 11}, "email"},
      {7, {1, 2, 3, 4, 5, 0, 0, 8, 9, 10, 11}, ""},
      {8, {1, 2, 3, 4, 5, 6, 7, 0, 0, 10, 11}, "report"},
      {15, {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 11}, ""},
      {16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}, ""},
      {18, {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 11}, ""},
      {19, {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, ""},
      {3, full, ""},
  };
  for (const auto& c : cases) {
    fill();
    Assign(control::kPropResetCounter, c.code);
    EXPECT_TRUE(read() == c.after) << "code " << c.code;
    const std::string texts = c.texts;
    EXPECT_EQ(Text(control::kPropSyslogError).empty(), texts == "syslog") << "code " << c.code;
    EXPECT_EQ(Text(control::kPropEmailError).empty(), texts == "email") << "code " << c.code;
    EXPECT_EQ(Text(control::kPropReportError).empty(), texts == "report") << "code " << c.code;
  }
}

TEST_F(ControlOperationsTest, PeriodSelectionIsClampedWhenReadAndNotifiedOnChange) {
  Start();
  {
    platform::LockGuard guard(core_->statistics_lock);
    core_->histograms[6][0] = 11;
    core_->histograms[6][359] = 12;
    core_->histograms[0][0] = 99;
  }

  Assign(control::kPropSelectPeriod, 9);
  EXPECT_EQ(core_->statistics_period, 9);
  EXPECT_EQ(MethodCalls(control::kNotifyStatisticsChanged), 1);
  EXPECT_EQ(Text(control::kPropPeriodName), u"System events for the last 30 minutes");
  CSTCtrlMessage reply = Query(control::kPropHistogram);
  std::vector<int32_t> counters;
  ASSERT_TRUE(reply.ValueFromStack(counters));
  ASSERT_EQ(counters.size(), 360u);
  EXPECT_EQ(counters[0], 11);
  EXPECT_EQ(counters[359], 12);

  // The same period again, or no value at all: no notification.
  Assign(control::kPropSelectPeriod, 9);
  Assign(control::kPropSelectPeriod, std::nullopt);
  EXPECT_EQ(MethodCalls(control::kNotifyStatisticsChanged), 1);

  // Below the range reads as the first period.
  Assign(control::kPropSelectPeriod, -7);
  EXPECT_EQ(MethodCalls(control::kNotifyStatisticsChanged), 2);
  EXPECT_EQ(Text(control::kPropPeriodName), u"System events for the last 14 days");
  reply = Query(control::kPropHistogram);
  ASSERT_TRUE(reply.ValueFromStack(counters));
  EXPECT_EQ(counters[0], 99);
}

TEST_F(ControlOperationsTest, LogNamesComeFirstToLast) {
  Start();
  EXPECT_EQ(Query(control::kPropLogNames).Bytes().size(), 8u);  // a count of 0
  {
    platform::LockGuard guard(core_->table_lock);
    core_->inspected_names = {u"Application", u"Directory Service", u"Säkerhet/Ops"};
  }
  CSTCtrlMessage reply = Query(control::kPropLogNames);
  std::vector<std::u16string> names;
  ASSERT_TRUE(reply.ValueFromStack(names));
  EXPECT_FALSE(reply.HasValues());
  EXPECT_EQ(names,
            (std::vector<std::u16string>{u"Application", u"Directory Service", u"Säkerhet/Ops"}));
}

TEST_F(ControlOperationsTest, PopupRecordCarriesTheFieldsInOrder) {
  // No console: nothing is sent and nothing waits.
  SEventRecord record;
  record.recordNumber = 0x01020304;
  record.timeGenerated = 1700000000;
  record.timeWritten = 1700000005;
  record.eventId = 0xC0000203;
  record.eventType = kEventTypeWarning;
  record.category = 0x0506;
  record.source = u"Disk";
  record.computer = u"HOST1";
  record.user = u"SYSTEM";
  record.description = u"The disk is full.";
  record.categoryText = u"Storage";
  record.logName = u"System";
  core_->ProcessRecordForPopups(record);

  Start();
  Query(control::kPropStartTime);  // the back-connection is open once a request is served
  core_->ProcessRecordForPopups(record);

  // A deny rule that matches keeps the record from the console.
  core_->Settings().Popup_Filter.value = true;
  FilterRule deny;
  deny.Active = true;
  deny.Source = {true, 0, u"disk"};
  core_->Settings().Popup_DenyFilterList.rules = {deny};
  core_->ProcessRecordForPopups(record);

  const std::vector<CSTCtrlMessage> calls = WaitForCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  CSTCtrlMessage m = calls[0];
  EXPECT_EQ(m.LengthField(), m.Size());
  uint8_t kind = 0, id = 0;
  int32_t tag = 0, number = 0, generated = 0, written = 0, event_id = 0;
  uint16_t type = 0, category = 0;
  std::u16string source, computer, user, description, category_text, log;
  ASSERT_TRUE(
      m.ValueFromStack(kind) && m.ValueFromStack(id) && m.ValueFromStack(tag) &&
      m.ValueFromStack(number) && m.ValueFromStack(generated) && m.ValueFromStack(written) &&
      m.ValueFromStack(event_id) && m.ValueFromStack(type) && m.ValueFromStack(category) &&
      m.ValueFromStack(source) && m.ValueFromStack(computer) && m.ValueFromStack(user) &&
      m.ValueFromStack(description) && m.ValueFromStack(category_text) && m.ValueFromStack(log));
  EXPECT_FALSE(m.HasValues());
  EXPECT_EQ(kind, control::kKindPropertySet);
  EXPECT_EQ(id, control::kPropPopup);
  EXPECT_EQ(tag, 44);
  EXPECT_EQ(number, 0x01020304);
  EXPECT_EQ(generated, 1700000000);
  EXPECT_EQ(written, 1700000005);
  EXPECT_EQ(static_cast<uint32_t>(event_id), 0xC0000203u);
  EXPECT_EQ(type, kEventTypeWarning);
  EXPECT_EQ(category, 0x0506);
  EXPECT_EQ(source, u"Disk");
  EXPECT_EQ(computer, u"HOST1");
  EXPECT_EQ(user, u"SYSTEM");
  EXPECT_EQ(description, u"The disk is full.");
  EXPECT_EQ(category_text, u"Storage");
  EXPECT_EQ(log, u"System");
}

// A console takes a pop-up and never answers: the records behind it are queued
// up to the sender's capacity, the rest dropped with one line, and the caller
// (the reading thread) never waits for the console.
TEST_F(ControlOperationsTest, ASilentConsoleCostsPopupsNotReading) {
  Start();
  Query(control::kPropStartTime);  // the back-connection is open once a request is served
  hold_popups_ = true;
  SEventRecord record;
  record.source = u"Disk";
  core_->ProcessRecordForPopups(record);
  ASSERT_TRUE(popup_seen_.Wait(kWaitMs));

  constexpr size_t kMore = 40;
  for (size_t i = 0; i < kMore; ++i) core_->ProcessRecordForPopups(record);
  EXPECT_EQ(core_->PopupsDropped(), kMore - CPopupSender::kCapacity);
  const std::string logs = Logs();
  const std::string dropped =
      "Pop-ups are dropped: the console does not take them as fast as "
      "they come (1 dropped since the start).";
  EXPECT_NE(logs.find(dropped), std::string::npos) << logs;
  EXPECT_EQ(logs.find("Pop-ups are dropped", logs.find(dropped) + 1), std::string::npos);

  // Once the console answers again, the queued pop-ups follow.
  hold_popups_ = false;
  popups_released_.Set();
  EXPECT_EQ(WaitForCalls(1 + CPopupSender::kCapacity).size(), 1 + CPopupSender::kCapacity);
}

}  // namespace
}  // namespace cvn::core_test
