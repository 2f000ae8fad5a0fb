#include "base/repeated_failure.h"

#include <gtest/gtest.h>

namespace cvn {
namespace {

TEST(RepeatedFailure, FirstFailureThenOneLineAMinuteWithTheCountThenTheRecovery) {
  RepeatedFailure failure;
  uint32_t count = 0;
  ASSERT_TRUE(failure.Fail(1000, &count));
  EXPECT_EQ(count, 1u);
  for (uint32_t t = 1001; t < 1000 + RepeatedFailure::kIntervalMs; t += 1000) {
    EXPECT_FALSE(failure.Fail(t, &count));
  }
  ASSERT_TRUE(failure.Fail(1000 + RepeatedFailure::kIntervalMs, &count));
  EXPECT_EQ(count, 61u);  // the 60 held back and this one
  EXPECT_TRUE(failure.Succeed());
  EXPECT_FALSE(failure.Succeed());
  // A new run of failures is reported at once, across the tick counter's wrap.
  ASSERT_TRUE(failure.Fail(0xFFFFFFF0u, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(failure.Fail(0x10u, &count));
}

}  // namespace
}  // namespace cvn
