// Events on one process-wide mutex: a waiter registers a condition variable
// with every event it waits for and rescans all of them in index order when
// woken, so the lowest set index wins and only the winner consumes an
// auto-reset event. The service has a handful of threads; one mutex is plenty.
#include "platform/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace cvn::platform {
namespace {

std::mutex& GlobalMutex() {
  static std::mutex mu;
  return mu;
}

struct Waiter {
  std::condition_variable cv;
};

}  // namespace

struct Event::Impl {
  bool manual = false;
  bool signaled = false;
  std::vector<Waiter*> waiters;
};

Event::Event(Mode mode, bool initially_set) : impl_(std::make_shared<Impl>()) {
  impl_->manual = mode == Mode::kManualReset;
  impl_->signaled = initially_set;
}
Event::~Event() = default;
Event::Event(const Event&) = default;
Event& Event::operator=(const Event&) = default;

void Event::Set() {
  std::lock_guard lk(GlobalMutex());
  impl_->signaled = true;
  for (Waiter* w : impl_->waiters) w->cv.notify_one();
}

void Event::Reset() {
  std::lock_guard lk(GlobalMutex());
  impl_->signaled = false;
}

bool Event::Wait(uint32_t timeout_ms) const {
  Event* self = const_cast<Event*>(this);
  return WaitAny(std::span<Event* const>(&self, 1), timeout_ms).signaled();
}

bool Event::IsValid() const { return impl_ != nullptr; }

namespace {

// Scans in index order; consumes an auto-reset winner. Caller holds the mutex.
bool TakeSignaled(std::span<Event* const> events, size_t& index) {
  for (size_t i = 0; i < events.size(); ++i) {
    Event::Impl* e = events[i]->impl();
    if (e->signaled) {
      if (!e->manual) e->signaled = false;
      index = i;
      return true;
    }
  }
  return false;
}

void Register(std::span<Event* const> events, Waiter* w) {
  for (Event* e : events) e->impl()->waiters.push_back(w);
}

void Unregister(std::span<Event* const> events, Waiter* w) {
  for (Event* e : events) std::erase(e->impl()->waiters, w);
}

}  // namespace

WaitResult WaitAny(std::span<Event* const> events, uint32_t timeout_ms) {
  if (events.empty() || events.size() > kMaxWaitObjects) {
    return {WaitResult::Kind::kFailed, 0, 87};  // ERROR_INVALID_PARAMETER
  }
  for (Event* e : events) {
    if (e == nullptr || !e->IsValid())
      return {WaitResult::Kind::kFailed, 0, 6};  // ERROR_INVALID_HANDLE
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock lk(GlobalMutex());
  Waiter waiter;
  bool registered = false;
  WaitResult result{WaitResult::Kind::kTimeout, 0};
  for (;;) {
    size_t index = 0;
    if (TakeSignaled(events, index)) {
      result = {WaitResult::Kind::kSignaled, index};
      break;
    }
    if (timeout_ms == 0) break;
    if (!registered) {
      Register(events, &waiter);
      registered = true;
    }
    if (timeout_ms == kInfinite) {
      waiter.cv.wait(lk);
    } else if (waiter.cv.wait_until(lk, deadline) == std::cv_status::timeout) {
      if (TakeSignaled(events, index)) result = {WaitResult::Kind::kSignaled, index};
      break;
    }
  }
  if (registered) Unregister(events, &waiter);
  return result;
}

struct Lock::Impl {
  std::recursive_mutex mu;
};

Lock::Lock() : impl_(std::make_unique<Impl>()) {}
Lock::~Lock() = default;
void Lock::lock() { impl_->mu.lock(); }
bool Lock::try_lock() { return impl_->mu.try_lock(); }
void Lock::unlock() { impl_->mu.unlock(); }

}  // namespace cvn::platform
