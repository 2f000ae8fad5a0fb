#include "syslog/syslog_pacer.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

TEST(SyslogPacerTest, UnpacedLetsEverythingGo) {
  for (int64_t rate : {0, -5}) {
    CSyslogPacer pacer(rate, 0);
    EXPECT_FALSE(pacer.Paced());
    EXPECT_EQ(pacer.Allowance(512, 0), 512u);
    pacer.Spend(512);
    EXPECT_EQ(pacer.Allowance(512, 0), 512u);
    EXPECT_EQ(pacer.Wait(0), 0u);
  }
}

// A burst of a few milliseconds' worth at once, then the rate: the messages
// let go after t ms are the burst plus t times the rate per millisecond.
TEST(SyslogPacerTest, BurstThenTheRate) {
  const struct {
    int64_t rate;
    size_t burst;       // what goes at once
    uint32_t wait;      // until half a burst (at least one) may go again
    uint32_t after_ms;  // a later moment
    size_t then;        // what may go then
  } cases[] = {
      {5000, 25, 3, 2, 10},   // 5 per ms, burst of 5 ms
      {1, 1, 1000, 999, 0},   // one a second
      {1, 1, 1000, 1000, 1},  //
      {100, 1, 10, 30, 1},    // the burst is at least one, and saving stops there
      {1000000, 5000, 3, 1000, 5000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    const uint32_t start = 0xFFFFFF00u;  // the tick count wraps on the way
    CSyslogPacer pacer(c.rate, start);
    EXPECT_EQ(pacer.Allowance(1, start), 1u);  // no more than wanted
    EXPECT_EQ(pacer.Allowance(100000, start), c.burst);
    pacer.Spend(c.burst);
    EXPECT_EQ(pacer.Allowance(100000, start), 0u);
    EXPECT_EQ(pacer.Wait(start), c.wait);
    EXPECT_EQ(pacer.Allowance(100000, start + c.after_ms), c.then);
  }
}

}  // namespace
}  // namespace cvn
