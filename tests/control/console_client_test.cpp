// The console tool's session against a channel playing the service: the
// back-connection, requests and replies, the texts of what the service sends,
// and the errors a person sees when the service is not there.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "control/ctrl_protocol.h"
#include "support/temp_dir.h"
#include "test_channel.h"
#include "tools/cvnconsole/console_session.h"
#include "tools/cvnconsole/console_text.h"

namespace cvn::console {
namespace {

using control::CSTCtrlMessage;
using control::test_support::TestChannel;
using control::test_support::UniquePipeName;

constexpr uint32_t kWaitMs = 10000;

class ConsoleClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(channel_.CI_Initialize(), 0);
    ASSERT_EQ(channel_.CI_Activate(), 0);
  }
  ConsoleSession::Printer Collect() {
    return [this](const std::string& text) {
      std::lock_guard lk(mu_);
      printed_.push_back(text);
    };
  }
  std::vector<std::string> Printed() {
    std::lock_guard lk(mu_);
    return printed_;
  }

  cvn::testing::ScopedMachineRoot root_;
  std::u16string server_name_ = UniquePipeName("service");
  std::u16string console_name_ = UniquePipeName("console");
  TestChannel channel_{server_name_, console_name_};
  std::mutex mu_;
  std::vector<std::string> printed_;
};

TEST_F(ConsoleClientTest, TalksBothWaysWithTheService) {
  ConsoleSession session(server_name_, console_name_, Collect());
  ASSERT_EQ(session.Open(kWaitMs), kExitOk) << session.Error();
  ASSERT_TRUE(channel_.client_connected.Wait(kWaitMs));

  CSTCtrlMessage request;
  request.ValueToStack(static_cast<uint8_t>(3));
  request.ValueToStack(static_cast<uint8_t>(control::kKindMethodCall));
  CSTCtrlMessage reply;
  ASSERT_TRUE(session.Exchange(request, reply, kWaitMs)) << session.Error();
  uint8_t kind = 0;
  int32_t result = 0;
  ASSERT_TRUE(reply.ValueFromStack(kind));
  ASSERT_TRUE(reply.ValueFromStack(result));
  EXPECT_EQ(kind, control::kKindMethodReply);
  EXPECT_EQ(result, 31);

  // The service's calls are answered and printed.
  int ignored = 0;
  EXPECT_EQ(channel_.CI_CallMethod(control::kNotifyStatisticsChanged, ignored), 0);
  CSTCtrlMessage popup;
  popup.ValueToStack(std::u16string_view(u"Application"));
  popup.ValueToStack(std::u16string_view(u"Disk"));
  popup.ValueToStack(std::u16string_view(u"The disk is full."));
  popup.ValueToStack(std::u16string_view(u"SYSTEM"));
  popup.ValueToStack(std::u16string_view(u"HOST1"));
  popup.ValueToStack(std::u16string_view(u"Ntfs"));
  popup.ValueToStack(static_cast<uint16_t>(3));
  popup.ValueToStack(static_cast<uint16_t>(1));
  popup.ValueToStack(static_cast<int32_t>(0x40000037));
  popup.ValueToStack(static_cast<int32_t>(86400));
  popup.ValueToStack(static_cast<int32_t>(86399));
  popup.ValueToStack(static_cast<int32_t>(1234));
  popup.ValueToStack(control::kPopupRecordTag);
  EXPECT_EQ(channel_.CI_SetProperty(control::kPropPopup, popup), 0);
  EXPECT_EQ(session.CallsReceived(), 2);

  const auto printed = Printed();
  ASSERT_EQ(printed.size(), 2u);
  EXPECT_EQ(printed[0], "notification 2: event statistics changed");
  EXPECT_EQ(printed[1],
            "pop-up: \"Application\" record 1234, Error, event id 55, source \"Ntfs\"\n"
            "  generated 1970-01-01 23:59:59 UTC, written 1970-01-02 00:00:00 UTC\n"
            "  computer \"HOST1\", user \"SYSTEM\", category 3 \"Disk\"\n"
            "  The disk is full.");
}

TEST_F(ConsoleClientTest, ClearErrorsWhenTheServiceIsNotThere) {
  ConsoleSession nobody(UniquePipeName("service"), UniquePipeName("console"), Collect());
  EXPECT_EQ(nobody.Open(1000), kExitNoService);
  EXPECT_EQ(nobody.Error(), "the Corvane Service is not running (its control pipe is not there)");

  // A second console cannot take the console pipe of the first.
  ConsoleSession first(server_name_, console_name_, Collect());
  ASSERT_EQ(first.Open(kWaitMs), kExitOk) << first.Error();
  ConsoleSession second(server_name_, console_name_, Collect());
  EXPECT_EQ(second.Open(1000), kExitBusy);
  EXPECT_EQ(second.Error(), "another console is already listening on the console pipe");

  // The service going away shows.
  channel_.CI_Disconnect();
  channel_.CI_Deactivate();
  EXPECT_FALSE(first.StillConnected(kWaitMs));
}

TEST(ConsoleTextTest, StatusTableAndStatisticsChart) {
  EXPECT_EQ(StatusTable({13, -1, 7, 0x00020005, 99, 3}),
            "key  name                         value\n"
            " 13  report thread                not enabled\n"
            "  7  reports saved / mailed       5 / 2\n"
            " 99  key 99                       3");

  // Errors: one in the oldest bucket and eight in the newest; audits: four
  // in the middle. Each count shows, the highest at the top level.
  std::vector<int32_t> counters(360, 0);
  counters[0] = 1;
  counters[89] = 8;
  counters[3 * 90 + 45] = 4;
  const std::string chart = HistogramChart(u"System events for the last 2 hours", counters);
  std::vector<std::string> rows;
  for (size_t at = 0, next; at <= chart.size(); at = next + 1) {
    next = std::min(chart.find('\n', at), chart.size());
    rows.push_back(chart.substr(at, next - at));
  }
  ASSERT_EQ(rows.size(), 6u) << chart;
  EXPECT_EQ(rows[0], "System events for the last 2 hours (highest bucket: 8)");
  EXPECT_EQ(rows[1], "errors      |." + std::string(88, ' ') + "#| 9");
  EXPECT_EQ(rows[2], "warnings    |" + std::string(90, ' ') + "| 0");
  EXPECT_EQ(rows[4], "audits      |" + std::string(45, ' ') + "=" + std::string(44, ' ') + "| 4");
  EXPECT_EQ(rows[5].find("-2 h"), 12u);
  EXPECT_NE(rows[5].find("-1 h"), std::string::npos);
  EXPECT_EQ(rows[5].substr(rows[5].size() - 3), "now");
}

TEST(ConsoleTextTest, PropertiesAndTimes) {
  CSTCtrlMessage status;
  status.ValueToStack(std::vector<int32_t>{13, -1, 11, 0, 7, 0x00020005, 17, -1});
  EXPECT_EQ(DescribeProperty(control::kPropStatus, status),
            "report thread:             not enabled\n"
            "syslog thread:             running\n"
            "reports saved / mailed:    5 / 2\n"
            "database channel:          not enabled");

  CSTCtrlMessage text;
  text.ValueToStack(std::u16string_view());
  EXPECT_EQ(DescribeProperty(control::kPropDatabaseError, text), "(empty)");
  CSTCtrlMessage unknown;
  unknown.ValueToStack(static_cast<uint8_t>(0xAB));
  EXPECT_EQ(DescribeProperty(42, unknown), "AB");

  EXPECT_EQ(ParseTime("2026-12-09"), 1796774400);
  EXPECT_EQ(ParseTime("2026-12-09T07:40"), 1796774400 + 7 * 3600 + 40 * 60);
  EXPECT_EQ(ParseTime("1796774400"), 1796774400);
  EXPECT_FALSE(ParseTime("2026-13-01"));
  EXPECT_FALSE(ParseTime("2026-12-09 07:40"));
  EXPECT_EQ(MethodByName("reload"), 3);
  EXPECT_EQ(PropertyByName("logs"), 10);
  EXPECT_EQ(PropertyByName("300"), std::nullopt);
}

}  // namespace
}  // namespace cvn::console
