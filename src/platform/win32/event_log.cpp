// The classic event log through the Windows calls. Change notifications
// arrive on a private Windows event that a thread-pool wait passes on to the
// caller's Event.
#include "platform/event_log.h"

#include <vector>

#include "base/win_errors.h"
#include "platform/registry.h"
#include "platform/win32/win.h"

namespace cvn::platform {

using win32::EventLogHandle;
using win32::EventSourceHandle;
using win32::Handle;
using win32::ToWide;

namespace {

// Passes every signal of a Windows event on to an Event until destroyed.
struct NotifyRelay {
  Handle native;
  HANDLE wait = nullptr;
  Event target;

  ~NotifyRelay() {
    if (wait != nullptr) ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  }

  static void CALLBACK Fired(void* context, BOOLEAN) {
    static_cast<NotifyRelay*>(context)->target.Set();
  }
};

}  // namespace

struct EventLog::Impl {
  // Members go in reverse order: the relays stop before the log closes.
  EventLogHandle log;
  std::vector<std::unique_ptr<NotifyRelay>> relays;
  std::u16string name;
};

EventLog::EventLog() = default;
EventLog::~EventLog() = default;
EventLog::EventLog(EventLog&& other) noexcept = default;
EventLog& EventLog::operator=(EventLog&& other) noexcept = default;

uint32_t EventLog::Open(std::u16string_view log_name) {
  Close();
  auto impl = std::make_unique<Impl>();
  const std::wstring wide = ToWide(log_name);
  impl->log.Reset(::OpenEventLogW(nullptr, wide.c_str()));
  if (!impl->log) return win32::LastError();
  impl->name = std::u16string(log_name);
  impl_ = std::move(impl);
  return err::kSuccess;
}

uint32_t EventLog::OpenFile(std::u16string_view path) {
  Close();
  auto impl = std::make_unique<Impl>();
  const std::wstring wide = ToWide(path);
  impl->log.Reset(::OpenBackupEventLogW(nullptr, wide.c_str()));
  if (!impl->log) return win32::LastError();
  impl_ = std::move(impl);
  return err::kSuccess;
}

bool EventLog::IsOpen() const { return impl_ != nullptr; }

void EventLog::Close() {
  if (impl_) impl_->relays.clear();
  impl_.reset();
}

uint32_t EventLog::GetCount(uint32_t& count) const {
  count = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  DWORD value = 0;
  if (!::GetNumberOfEventLogRecords(impl_->log.Get(), &value)) return win32::LastError();
  count = value;
  return err::kSuccess;
}

uint32_t EventLog::GetOldest(uint32_t& oldest) const {
  oldest = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  DWORD value = 0;
  if (!::GetOldestEventLogRecord(impl_->log.Get(), &value)) return win32::LastError();
  oldest = value;
  return err::kSuccess;
}

uint32_t EventLog::Read(uint32_t flags, uint32_t record_number, void* buffer, uint32_t size,
                        uint32_t& bytes_read, uint32_t& needed) {
  bytes_read = 0;
  needed = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  DWORD read = 0;
  DWORD min_needed = 0;
  if (!::ReadEventLogW(impl_->log.Get(), flags, record_number, buffer, size, &read, &min_needed)) {
    const uint32_t error = win32::LastError();
    if (error == err::kInsufficientBuffer) needed = min_needed;
    return error;
  }
  bytes_read = read;
  return err::kSuccess;
}

uint32_t EventLog::NotifyChange(const Event& event) {
  if (!IsOpen()) return err::kInvalidHandle;
  if (!event.IsValid()) return err::kInvalidParameter;
  auto relay = std::make_unique<NotifyRelay>();
  relay->target = event;
  relay->native.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!relay->native) return win32::LastError();
  if (!::NotifyChangeEventLog(impl_->log.Get(), relay->native.Get())) return win32::LastError();
  if (!::RegisterWaitForSingleObject(&relay->wait, relay->native.Get(), &NotifyRelay::Fired,
                                     relay.get(), INFINITE, WT_EXECUTEDEFAULT)) {
    relay->wait = nullptr;
    return win32::LastError();
  }
  impl_->relays.push_back(std::move(relay));
  return err::kSuccess;
}

uint32_t EventLog::Clear(std::u16string_view backup_path) {
  if (!IsOpen()) return err::kInvalidHandle;
  const std::wstring backup = ToWide(backup_path);
  if (!::ClearEventLogW(impl_->log.Get(), backup_path.empty() ? nullptr : backup.c_str())) {
    return win32::LastError();
  }
  return err::kSuccess;
}

struct EventSource::Impl {
  EventSourceHandle source;
};

EventSource::EventSource() = default;
EventSource::~EventSource() = default;
EventSource::EventSource(EventSource&& other) noexcept = default;
EventSource& EventSource::operator=(EventSource&& other) noexcept = default;

uint32_t EventSource::Register(std::u16string_view source_name) {
  Deregister();
  if (source_name.empty()) return err::kInvalidParameter;
  auto impl = std::make_unique<Impl>();
  const std::wstring wide = ToWide(source_name);
  impl->source.Reset(::RegisterEventSourceW(nullptr, wide.c_str()));
  if (!impl->source) return win32::LastError();
  impl_ = std::move(impl);
  return err::kSuccess;
}

bool EventSource::IsRegistered() const { return impl_ != nullptr; }

void EventSource::Deregister() { impl_.reset(); }

uint32_t EventSource::Report(uint16_t type, uint16_t category, uint32_t event_id,
                             std::span<const uint8_t> user_sid,
                             std::span<const std::u16string> strings,
                             std::span<const uint8_t> data) {
  if (!IsRegistered()) return err::kInvalidHandle;
  if (strings.size() > 0xFFFF) return err::kInvalidParameter;
  std::vector<LPCWSTR> texts;
  texts.reserve(strings.size());
  for (const std::u16string& s : strings) texts.push_back(win32::WideCStr(s));
  std::vector<uint8_t> sid(user_sid.begin(), user_sid.end());
  if (!::ReportEventW(impl_->source.Get(), type, category, event_id,
                      sid.empty() ? nullptr : sid.data(), static_cast<WORD>(texts.size()),
                      static_cast<DWORD>(data.size()), texts.empty() ? nullptr : texts.data(),
                      data.empty() ? nullptr : const_cast<uint8_t*>(data.data()))) {
    return win32::LastError();
  }
  return err::kSuccess;
}

uint32_t DeleteEventLog(std::u16string_view log_name) {
  RegistryKey logs;
  uint32_t result = logs.Open(RegistryRoot::kLocalMachine, kEventLogKey);
  if (result == err::kSuccess) result = logs.DeleteTree(log_name);
  return result;
}

}  // namespace cvn::platform
