#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace cvn::platform {
namespace {

using Kind = WaitResult::Kind;

WaitResult Wait(std::vector<Event*> events, uint32_t timeout) { return WaitAny(events, timeout); }

TEST(WaitAny, AutoResetEventIsConsumedByTheWaitItWakes) {
  Event e(Event::Mode::kAutoReset);
  e.Set();
  const WaitResult r = Wait({&e}, 0);
  EXPECT_EQ(r.kind, Kind::kSignaled);
  EXPECT_EQ(r.index, 0u);
  EXPECT_EQ(Wait({&e}, 0).kind, Kind::kTimeout);
}

TEST(WaitAny, ManualResetEventStaysSetUntilReset) {
  Event e(Event::Mode::kManualReset);
  e.Set();
  EXPECT_TRUE(Wait({&e}, 0).signaled());
  EXPECT_TRUE(Wait({&e}, 0).signaled());
  e.Reset();
  EXPECT_TRUE(Wait({&e}, 0).timed_out());
}

TEST(WaitAny, InitiallySetEvent) {
  Event e(Event::Mode::kAutoReset, true);
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));
}

TEST(WaitAny, TimesOutAfterRoughlyTheTimeout) {
  Event a, b;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Wait({&a, &b}, 50).kind, Kind::kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
}

TEST(WaitAny, LowestIndexWinsAndOnlyTheWinnerIsConsumed) {
  Event a, b, c;
  b.Set();
  c.Set();
  WaitResult r = Wait({&a, &b, &c}, 0);
  EXPECT_EQ(r.index, 1u);
  r = Wait({&a, &b, &c}, 0);
  EXPECT_EQ(r.index, 2u);
  EXPECT_TRUE(Wait({&a, &b, &c}, 0).timed_out());
}

TEST(WaitAny, RejectsEmptyAndOversizedArrays) {
  EXPECT_EQ(Wait({}, 0).kind, Kind::kFailed);
  std::vector<Event> many(kMaxWaitObjects + 1);
  std::vector<Event*> ptrs;
  for (auto& e : many) ptrs.push_back(&e);
  EXPECT_EQ(Wait(ptrs, 0).kind, Kind::kFailed);
  ptrs.pop_back();
  ptrs.back()->Set();
  const WaitResult r = Wait(ptrs, 0);
  EXPECT_EQ(r.kind, Kind::kSignaled);
  EXPECT_EQ(r.index, kMaxWaitObjects - 1);
}

TEST(WaitAny, WokenBySetFromAnotherThread) {
  Event stop, work;
  std::thread setter([copy = work]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    copy.Set();  // a copy shares the event, as a notifier thread holds it
  });
  const WaitResult r = Wait({&stop, &work}, 5000);
  setter.join();
  EXPECT_EQ(r.kind, Kind::kSignaled);
  EXPECT_EQ(r.index, 1u);
}

TEST(WaitAny, AutoResetSetReleasesExactlyOneOfSeveralWaiters) {
  Event e;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (e.Wait(300)) ++woken;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 1);
}

TEST(WaitAny, ManualResetSetReleasesEveryWaiter) {
  Event e(Event::Mode::kManualReset);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (e.Wait(5000)) ++woken;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
}

TEST(Lock, IsRecursiveAndTryLockFailsWhileAnotherThreadHoldsIt) {
  Lock lock;
  lock.lock();
  EXPECT_TRUE(lock.try_lock());  // same thread: recursive, like a critical section
  lock.unlock();
  bool other_got_it = true;
  std::thread([&] { other_got_it = lock.try_lock(); }).join();
  EXPECT_FALSE(other_got_it);
  lock.unlock();
  std::thread([&] {
    other_got_it = lock.try_lock();
    if (other_got_it) lock.unlock();
  }).join();
  EXPECT_TRUE(other_got_it);
}

}  // namespace
}  // namespace cvn::platform
