// The arguments of "cvnconsole report".
#include <gtest/gtest.h>

#include "tools/cvnconsole/console_text.h"

namespace cvn::console {
namespace {

constexpr int64_t kNow = 1481205909;

std::optional<ReportArgs> Parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string problem;
  auto r = ParseReportArgs(args, kNow, problem);
  if (error != nullptr) *error = problem;
  return r;
}

TEST(ConsoleReportArgs, DefaultsToTheLastDayOfTheWatchedLogs) {
  const auto r = Parse({"out.html"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->file, "out.html");
  EXPECT_EQ(r->to, kNow);
  EXPECT_EQ(r->from, kNow - 86400);
  EXPECT_EQ(r->watched, 1);
  EXPECT_EQ(r->all_logs, 0);
}

TEST(ConsoleReportArgs, PeriodAndLogSelections) {
  auto r = Parse({"--from", "2016-12-07", "/tmp/r.html", "--to", "2016-12-08T12:00", "--logs",
                  "Application,,System"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->from, 1481068800);
  EXPECT_EQ(r->to, 1481068800 + 86400 + 12 * 3600);
  EXPECT_EQ(r->logs, (std::vector<std::string>{"Application", "System"}));
  EXPECT_EQ(r->watched, 0);
  r = Parse({"/tmp/r.html", "--all-logs"});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->all_logs, 1);
  EXPECT_EQ(r->watched, 0);
}

TEST(ConsoleReportArgs, Refusals) {
  std::string error;
  EXPECT_FALSE(Parse({}, &error));
  EXPECT_EQ(error, "report needs a file");
  EXPECT_FALSE(Parse({"f", "--all-logs", "--watched"}, &error));
  EXPECT_FALSE(Parse({"f", "--from"}, &error));
  EXPECT_EQ(error, "--from needs a value");
  EXPECT_FALSE(Parse({"f", "--from", "yesterday"}));
  EXPECT_FALSE(Parse({"f", "--from", "2016-12-08", "--to", "2016-12-08"}));
  EXPECT_FALSE(Parse({"f", "g"}));
}

}  // namespace
}  // namespace cvn::console
