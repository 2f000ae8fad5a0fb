// Worker threads that can be joined with a time-out and given up when they do
// not stop. A thread that misses its deadline cannot be killed safely
// everywhere: on Windows it is terminated, on posix it is detached and left to
// end on its own; in both cases its exit code becomes the one given.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/sync.h"

namespace cvn::platform {

constexpr uint32_t kStillActive = 259;

class Thread {
 public:
  using Body = std::function<uint32_t()>;

  Thread();
  ~Thread();  // a thread still running is given up (see above), never joined
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts body on a new thread; false when the thread could not be created or
  // this object already runs one that has not been joined.
  bool Start(Body body);

  // True from Start until the body has returned (or the thread was given up).
  bool IsRunning() const;

  // Waits for the body to return; true when it did within the time-out (the
  // thread is then joined and this object can start another one).
  bool Join(uint32_t timeout_ms);

  // Gives up a thread that did not stop; its exit code becomes exit_code.
  void Terminate(uint32_t exit_code);

  // The body's return value, or kStillActive while it runs.
  uint32_t ExitCode() const;

  // A manual-reset event, set when the body has returned; usable with WaitAny.
  // Only valid after a successful Start.
  Event* Finished() const;

  struct State;  // shared with the running thread

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvn::platform
