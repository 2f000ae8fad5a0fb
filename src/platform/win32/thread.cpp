// Threads from the C runtime's _beginthreadex, so the runtime's per-thread
// data is set up and freed. A thread that misses its deadline is terminated.
#include "platform/thread.h"

#include <process.h>

#include <atomic>

#include "platform/win32/win.h"

namespace cvn::platform {

struct Thread::State {
  Event finished{Event::Mode::kManualReset};
  std::atomic<uint32_t> exit_code{kStillActive};
};

struct Thread::Impl {
  std::shared_ptr<State> state;
  win32::Handle thread;
};

namespace {

// Owned by the new thread once it runs.
struct StartBlock {
  std::shared_ptr<Thread::State> state;
  Thread::Body body;
};

unsigned __stdcall ThreadMain(void* arg) {
  StartBlock* start = static_cast<StartBlock*>(arg);
  std::shared_ptr<Thread::State> state = std::move(start->state);
  Thread::Body body = std::move(start->body);
  delete start;
  const uint32_t rc = body();
  body = nullptr;  // releases what the body captured before the thread counts as finished
  uint32_t expected = kStillActive;
  state->exit_code.compare_exchange_strong(expected, rc);
  state->finished.Set();
  return rc;
}

}  // namespace

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

// A thread still running keeps running on its own; closing the handle does not
// stop it, and the shared state stays alive until it ends.
Thread::~Thread() = default;

bool Thread::Start(Body body) {
  if (impl_->thread.IsValid()) return false;
  auto state = std::make_shared<State>();
  if (!state->finished.IsValid()) return false;
  auto* start = new StartBlock{state, std::move(body)};
  const uintptr_t h = ::_beginthreadex(nullptr, 0, &ThreadMain, start, 0, nullptr);
  if (h == 0) {
    delete start;
    return false;
  }
  impl_->thread.Reset(reinterpret_cast<HANDLE>(h));
  impl_->state = std::move(state);
  return true;
}

bool Thread::IsRunning() const { return impl_->state && impl_->state->exit_code == kStillActive; }

bool Thread::Join(uint32_t timeout_ms) {
  if (!impl_->thread.IsValid()) return true;
  // Finished is set just before the thread returns, and a caller that saw it
  // may Join(0): wait for the event, then for the last few instructions.
  if (!impl_->state->finished.Wait(timeout_ms)) return false;
  ::WaitForSingleObject(impl_->thread.Get(), INFINITE);
  impl_->thread.Reset();
  return true;
}

void Thread::Terminate(uint32_t exit_code) {
  if (!impl_->thread.IsValid()) return;
  uint32_t expected = kStillActive;
  if (impl_->state->exit_code.compare_exchange_strong(expected, exit_code)) {
    ::TerminateThread(impl_->thread.Get(), exit_code);
    // TerminateThread returns before the thread is gone.
    ::WaitForSingleObject(impl_->thread.Get(), 5000);
  }
  impl_->thread.Reset();
  impl_->state->finished.Set();
}

uint32_t Thread::ExitCode() const {
  return impl_->state ? impl_->state->exit_code.load() : kStillActive;
}

Event* Thread::Finished() const { return impl_->state ? &impl_->state->finished : nullptr; }

}  // namespace cvn::platform
