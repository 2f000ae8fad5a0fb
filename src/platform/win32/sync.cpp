// Events are Windows event objects: WaitForMultipleObjects already gives the
// lowest signalled index and consumes only that auto-reset event. Copies of an
// Event share one handle, closed when the last copy goes.
#include "platform/sync.h"

#include "platform/win32/win.h"

namespace cvn::platform {

using win32::Handle;

struct Event::Impl {
  Handle handle;
};

Event::Event(Mode mode, bool initially_set) : impl_(std::make_shared<Impl>()) {
  impl_->handle.Reset(::CreateEventW(nullptr, mode == Mode::kManualReset ? TRUE : FALSE,
                                     initially_set ? TRUE : FALSE, nullptr));
}
Event::~Event() = default;
Event::Event(const Event&) = default;
Event& Event::operator=(const Event&) = default;

void Event::Set() {
  if (IsValid()) ::SetEvent(impl_->handle.Get());
}

void Event::Reset() {
  if (IsValid()) ::ResetEvent(impl_->handle.Get());
}

bool Event::Wait(uint32_t timeout_ms) const {
  if (!IsValid()) return false;
  return ::WaitForSingleObject(impl_->handle.Get(), timeout_ms) == WAIT_OBJECT_0;
}

bool Event::IsValid() const { return impl_ != nullptr && impl_->handle.IsValid(); }

WaitResult WaitAny(std::span<Event* const> events, uint32_t timeout_ms) {
  static_assert(kMaxWaitObjects == MAXIMUM_WAIT_OBJECTS);
  if (events.empty() || events.size() > kMaxWaitObjects) {
    return {WaitResult::Kind::kFailed, 0, 87};  // ERROR_INVALID_PARAMETER
  }
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i] == nullptr || !events[i]->IsValid()) {
      return {WaitResult::Kind::kFailed, 0, ERROR_INVALID_HANDLE};
    }
    handles[i] = events[i]->impl()->handle.Get();
  }
  const DWORD rc =
      ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), handles, FALSE, timeout_ms);
  if (rc < WAIT_OBJECT_0 + events.size()) {
    return {WaitResult::Kind::kSignaled, static_cast<size_t>(rc - WAIT_OBJECT_0)};
  }
  if (rc == WAIT_TIMEOUT) return {WaitResult::Kind::kTimeout, 0};
  return {WaitResult::Kind::kFailed, 0, static_cast<uint32_t>(::GetLastError())};
}

struct Lock::Impl {
  CRITICAL_SECTION cs;
};

Lock::Lock() : impl_(std::make_unique<Impl>()) {
  // A short spin avoids a kernel wait for the brief holds the service makes.
  ::InitializeCriticalSectionAndSpinCount(&impl_->cs, 4000);
}
Lock::~Lock() { ::DeleteCriticalSection(&impl_->cs); }
void Lock::lock() { ::EnterCriticalSection(&impl_->cs); }
bool Lock::try_lock() { return ::TryEnterCriticalSection(&impl_->cs) != FALSE; }
void Lock::unlock() { ::LeaveCriticalSection(&impl_->cs); }

}  // namespace cvn::platform
