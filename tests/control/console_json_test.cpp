// The status for scripts: the exposition read back, the JSON object and the
// verdict of "cvnconsole status".
#include "tools/cvnconsole/console_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cvn::console {
namespace {

TEST(ConsoleJson, ReadsTheExpositionAndSkipsWhatDoesNotParse) {
  const auto samples = ParseExposition(
      "# HELP a_total A counter.\n"
      "# TYPE a_total counter\n"
      "a_total 3\n"
      "b{x=\"1\",y=\"q\\\"\\\\\\n\"} 2.5\n"
      "broken{x=\"1\" 4\n"
      "c{x=\"1\"} notanumber\n"
      "\n");
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].name, "a_total");
  EXPECT_EQ(samples[0].value, 3);
  EXPECT_EQ(samples[1].labels.at("x"), "1");
  EXPECT_EQ(samples[1].labels.at("y"), "q\"\\\n");
  EXPECT_EQ(samples[1].value, 2.5);
}

// The figures of one channel as the service exposes them.
std::string Channel(const char* name, int enabled, int up) {
  const std::string c = std::string("{channel=\"") + name + "\"";
  return "corvane_channel_enabled" + c + "} " + std::to_string(enabled) + "\n" +
         "corvane_channel_up" + c + "} " + std::to_string(up) + "\n" +
         "corvane_channel_pending_records" + c + "} 4\n" + "corvane_channel_records_total" + c +
         ",outcome=\"delivered\"} 9\n" + "corvane_channel_lag_records" + c +
         ",log=\"Application\"} 2\n";
}

TEST(ConsoleJson, AChannelSwitchedOnIsDownWhenItFailsOrItsThreadDoesNotRun) {
  struct Case {
    int enabled, up;
    int32_t thread_status;  // key 11, the syslog thread
    bool down;
  };
  const Case cases[] = {
      {1, 1, 0, false}, {1, 0, 0, true}, {1, 1, 1460, true}, {0, 0, -1, false}, {0, 1, 1460, false},
  };
  for (const Case& c : cases) {
    const std::vector<int32_t> pairs = {11, c.thread_status, 17, -1};
    const auto down = ChannelsDown(pairs, ParseExposition(Channel("syslog", c.enabled, c.up)));
    EXPECT_EQ(!down.empty(), c.down) << c.enabled << c.up << " " << c.thread_status;
  }
  // A database worker that does not run (65535) is down too.
  EXPECT_EQ(ChannelsDown({17, 65535}, ParseExposition(Channel("database", 1, 1))),
            std::vector<std::string>{"database"});
}

TEST(ConsoleJson, TheObjectNamesTheStatusAndEachChannelsFigures) {
  const std::string json = StatusJson(
      {11, 0, 1, 7, 2, -1}, ParseExposition(Channel("syslog", 1, 0) +
                                            "corvane_records_read_total{log=\"A\\\"pp\\n\"} 21\n"));
  EXPECT_EQ(json,
            "{\"status\": {\"syslog_thread\": 0, \"syslog_messages_sent\": 7, "
            "\"syslog_send_failures\": 4294967295}, \"channels\": {\"syslog\": {\"enabled\": 1, "
            "\"pending_records\": 4, \"up\": 0, \"records\": {\"delivered\": 9}, "
            "\"lag_records\": 2, \"lag_by_log\": {\"Application\": 2}}}, \"records_read\": "
            "{\"A\\\"pp\\u000a\": 21}}");
}

}  // namespace
}  // namespace cvn::console
