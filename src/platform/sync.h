// Synchronisation: events with Windows semantics, wait for any of up to 64
// events, and recursive locks.
//
// An Event is a handle: copies share the same event (like a duplicated Windows
// handle), so a notifier running on another thread (file, registry or event log
// change watchers) can keep a copy and Set it safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace cvn::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr size_t kMaxWaitObjects = 64;

class Event {
 public:
  enum class Mode { kAutoReset, kManualReset };

  explicit Event(Mode mode = Mode::kAutoReset, bool initially_set = false);
  ~Event();
  Event(const Event&);
  Event& operator=(const Event&);

  // Signals the event. An auto-reset event releases exactly one waiter and is
  // then clear again; a manual-reset event stays set until Reset.
  void Set();
  void Reset();

  // Waits until the event is set (consuming it when auto-reset); false on time-out.
  bool Wait(uint32_t timeout_ms) const;

  // True when the event was created successfully.
  bool IsValid() const;

  struct Impl;  // defined per platform
  Impl* impl() const { return impl_.get(); }

 private:
  std::shared_ptr<Impl> impl_;
};

struct WaitResult {
  enum class Kind { kSignaled, kTimeout, kFailed };
  Kind kind = Kind::kFailed;
  size_t index = 0;    // the event that fired, for kSignaled
  uint32_t error = 0;  // why, for kFailed: a Windows error number

  bool signaled() const { return kind == Kind::kSignaled; }
  bool timed_out() const { return kind == Kind::kTimeout; }
};

// Waits for any of the events (1..64, none null). When several are set the
// lowest index wins, and only the winning auto-reset event is consumed.
// timeout_ms may be kInfinite; 0 only tests.
WaitResult WaitAny(std::span<Event* const> events, uint32_t timeout_ms);

// A recursive lock (a critical section on Windows). Meets the standard
// Lockable requirements, so std::lock_guard and std::unique_lock work with it.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void lock();
  bool try_lock();
  void unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

using LockGuard = std::lock_guard<Lock>;

}  // namespace cvn::platform
