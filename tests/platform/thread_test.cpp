#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace cvn::platform {
namespace {

TEST(Thread, JoinsAndReportsTheExitCode) {
  Thread t;
  ASSERT_TRUE(t.Start([] { return 7u; }));
  EXPECT_TRUE(t.Join(5000));
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.ExitCode(), 7u);
  // A joined thread object can start again.
  ASSERT_TRUE(t.Start([] { return 8u; }));
  EXPECT_TRUE(t.Join(5000));
  EXPECT_EQ(t.ExitCode(), 8u);
}

TEST(Thread, JoinTimesOutWhileTheBodyRunsThenSucceeds) {
  Event stop(Event::Mode::kManualReset);
  Thread t;
  ASSERT_TRUE(t.Start([stop] { return stop.Wait(kInfinite) ? 0u : 1u; }));
  EXPECT_FALSE(t.Join(30));
  EXPECT_TRUE(t.IsRunning());
  EXPECT_EQ(t.ExitCode(), kStillActive);
  stop.Set();
  EXPECT_TRUE(t.Join(5000));
  EXPECT_EQ(t.ExitCode(), 0u);
}

TEST(Thread, FinishedEventWorksWithWaitAny) {
  Event other;
  Thread t;
  ASSERT_TRUE(t.Start([] { return 0u; }));
  Event* events[] = {&other, t.Finished()};
  const WaitResult r = WaitAny(events, 5000);
  EXPECT_TRUE(r.signaled());
  EXPECT_EQ(r.index, 1u);
  EXPECT_TRUE(t.Join(0));
}

TEST(Thread, TerminateGivesUpAThreadThatDoesNotStop) {
  Event release(Event::Mode::kManualReset);
  Thread t;
  ASSERT_TRUE(t.Start([release] {
    release.Wait(kInfinite);
    return 0u;
  }));
  EXPECT_FALSE(t.Join(20));
  t.Terminate(0xFFFFFFFEu);
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.ExitCode(), 0xFFFFFFFEu);
  release.Set();  // lets a detached posix thread end
}

}  // namespace
}  // namespace cvn::platform
