#include "platform/thread.h"

#include <atomic>
#include <thread>

#include "platform/crash_hook.h"

namespace cvn::platform {

struct Thread::State {
  Event finished{Event::Mode::kManualReset};
  std::atomic<uint32_t> exit_code{kStillActive};
};

struct Thread::Impl {
  std::shared_ptr<State> state;
  std::thread thread;
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}

Thread::~Thread() {
  if (impl_->thread.joinable()) impl_->thread.detach();
}

bool Thread::Start(Body body) {
  if (impl_->thread.joinable()) return false;
  auto state = std::make_shared<State>();
  try {
    impl_->thread = std::thread([state, body = std::move(body)] {
      const uint32_t rc = [&body] {
        const CrashHookThreadStack crash_stack;
        return body();
      }();
      uint32_t expected = kStillActive;
      state->exit_code.compare_exchange_strong(expected, rc);
      state->finished.Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  impl_->state = std::move(state);
  return true;
}

bool Thread::IsRunning() const { return impl_->state && impl_->state->exit_code == kStillActive; }

bool Thread::Join(uint32_t timeout_ms) {
  if (!impl_->thread.joinable()) return true;
  if (!impl_->state->finished.Wait(timeout_ms)) return false;
  impl_->thread.join();
  return true;
}

void Thread::Terminate(uint32_t exit_code) {
  if (!impl_->thread.joinable()) return;
  uint32_t expected = kStillActive;
  impl_->state->exit_code.compare_exchange_strong(expected, exit_code);
  impl_->thread.detach();
  impl_->state->finished.Set();
}

uint32_t Thread::ExitCode() const {
  return impl_->state ? impl_->state->exit_code.load() : kStillActive;
}

Event* Thread::Finished() const { return impl_->state ? &impl_->state->finished : nullptr; }

}  // namespace cvn::platform
