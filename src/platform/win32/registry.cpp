// The registry through the Windows calls. Notifications arrive on a private
// Windows event that a thread-pool wait turns into a Set of the caller's
// Event, so callers wait on platform Events only.
#include "platform/registry.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "base/win_errors.h"
#include "platform/win32/win.h"

namespace cvn::platform {

using win32::Handle;
using win32::RegKey;
using win32::ToWide;

namespace {

constexpr uint32_t kUnsupportedType = 1630;

HKEY RootKey(RegistryRoot) { return HKEY_LOCAL_MACHINE; }

// One asked-for notification: the Windows event the registry signals and the
// pool wait that passes it on.
struct PendingNotify {
  Handle native;
  HANDLE wait = nullptr;
  Event target;
  std::atomic<bool> fired{false};

  ~PendingNotify() {
    // Waits for a running callback to finish before the event goes away.
    if (wait != nullptr) ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
  }

  static void CALLBACK Fired(void* context, BOOLEAN) {
    auto* self = static_cast<PendingNotify*>(context);
    self->fired = true;
    self->target.Set();
  }
};

}  // namespace

struct RegistryKey::Impl {
  RegKey key;
  std::vector<std::unique_ptr<PendingNotify>> notifies;
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&& other) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept = default;

namespace {

uint32_t OpenKey(HKEY parent, std::u16string_view path, bool create, bool* created,
                 std::unique_ptr<RegistryKey::Impl>& out) {
  auto impl = std::make_unique<RegistryKey::Impl>();
  const std::wstring wide = ToWide(path);
  const REGSAM access = KEY_READ | KEY_WRITE;
  LONG result = 0;
  if (create) {
    DWORD disposition = 0;
    result = ::RegCreateKeyExW(parent, wide.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                               nullptr, impl->key.Receive(), &disposition);
    if (result == ERROR_SUCCESS && created != nullptr)
      *created = disposition == REG_CREATED_NEW_KEY;
  } else {
    result = ::RegOpenKeyExW(parent, wide.c_str(), 0, access, impl->key.Receive());
    if (result == ERROR_ACCESS_DENIED) {
      result = ::RegOpenKeyExW(parent, wide.c_str(), 0, KEY_READ, impl->key.Receive());
    }
  }
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  out = std::move(impl);
  return err::kSuccess;
}

}  // namespace

uint32_t RegistryKey::Open(RegistryRoot root, std::u16string_view path) {
  Close();
  return OpenKey(RootKey(root), path, false, nullptr, impl_);
}

uint32_t RegistryKey::Open(const RegistryKey& parent, std::u16string_view path) {
  if (!parent.IsOpen()) return err::kInvalidHandle;
  std::unique_ptr<Impl> impl;
  const uint32_t result = OpenKey(parent.impl_->key.Get(), path, false, nullptr, impl);
  if (result == err::kSuccess) impl_ = std::move(impl);
  return result;
}

uint32_t RegistryKey::Create(RegistryRoot root, std::u16string_view path, bool* created) {
  Close();
  return OpenKey(RootKey(root), path, true, created, impl_);
}

uint32_t RegistryKey::Create(const RegistryKey& parent, std::u16string_view path, bool* created) {
  if (!parent.IsOpen()) return err::kInvalidHandle;
  std::unique_ptr<Impl> impl;
  const uint32_t result = OpenKey(parent.impl_->key.Get(), path, true, created, impl);
  if (result == err::kSuccess) impl_ = std::move(impl);
  return result;
}

bool RegistryKey::IsOpen() const { return impl_ != nullptr; }

void RegistryKey::Close() { impl_.reset(); }

uint32_t RegistryKey::QueryValue(std::u16string_view name, RegistryValue& value) const {
  if (!IsOpen()) return err::kInvalidHandle;
  const std::wstring wide = ToWide(name);
  DWORD type = 0;
  DWORD size = 0;
  LONG result = ::RegQueryValueExW(impl_->key.Get(), wide.c_str(), nullptr, &type, nullptr, &size);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  std::vector<BYTE> data;
  for (int attempt = 0; attempt < 3; ++attempt) {
    data.assign(size + 2, 0);  // room for a missing terminator
    DWORD got = size;
    result = ::RegQueryValueExW(impl_->key.Get(), wide.c_str(), nullptr, &type, data.data(), &got);
    if (result == ERROR_MORE_DATA) {
      size = got;
      continue;
    }
    size = got;
    break;
  }
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::u16string text(reinterpret_cast<const char16_t*>(data.data()), size / 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    value.type = type == REG_SZ ? RegistryType::kString : RegistryType::kExpandString;
    value.text = std::move(text);
    value.dword = 0;
    return err::kSuccess;
  }
  if (type == REG_DWORD && size == 4) {
    value.type = RegistryType::kDword;
    value.text.clear();
    std::memcpy(&value.dword, data.data(), 4);
    return err::kSuccess;
  }
  return kUnsupportedType;
}

uint32_t RegistryKey::QueryString(std::u16string_view name, std::u16string& text) const {
  RegistryValue value;
  const uint32_t result = QueryValue(name, value);
  if (result != err::kSuccess) return result;
  if (value.type != RegistryType::kString && value.type != RegistryType::kExpandString) {
    return kUnsupportedType;
  }
  text = std::move(value.text);
  return err::kSuccess;
}

uint32_t RegistryKey::QueryExpandedString(std::u16string_view name, std::u16string& text) const {
  RegistryValue value;
  const uint32_t result = QueryValue(name, value);
  if (result != err::kSuccess) return result;
  if (value.type == RegistryType::kString) {
    text = std::move(value.text);
  } else if (value.type == RegistryType::kExpandString) {
    text = ExpandEnvironmentText(value.text);
  } else {
    return kUnsupportedType;
  }
  return err::kSuccess;
}

uint32_t RegistryKey::QueryDword(std::u16string_view name, uint32_t& out) const {
  RegistryValue value;
  const uint32_t result = QueryValue(name, value);
  if (result != err::kSuccess) return result;
  if (value.type != RegistryType::kDword) return kUnsupportedType;
  out = value.dword;
  return err::kSuccess;
}

namespace {

// Text values are stored with their terminator, as the size Windows expects.
uint32_t SetText(HKEY key, std::u16string_view name, std::u16string_view text, DWORD type) {
  const std::wstring wide_name = ToWide(name);
  const std::wstring wide_text = ToWide(text);
  const DWORD size = static_cast<DWORD>((wide_text.size() + 1) * sizeof(wchar_t));
  return static_cast<uint32_t>(::RegSetValueExW(
      key, wide_name.c_str(), 0, type, reinterpret_cast<const BYTE*>(wide_text.c_str()), size));
}

}  // namespace

uint32_t RegistryKey::SetString(std::u16string_view name, std::u16string_view text) {
  if (!IsOpen()) return err::kInvalidHandle;
  return SetText(impl_->key.Get(), name, text, REG_SZ);
}

uint32_t RegistryKey::SetExpandString(std::u16string_view name, std::u16string_view text) {
  if (!IsOpen()) return err::kInvalidHandle;
  return SetText(impl_->key.Get(), name, text, REG_EXPAND_SZ);
}

uint32_t RegistryKey::SetDword(std::u16string_view name, uint32_t value) {
  if (!IsOpen()) return err::kInvalidHandle;
  const std::wstring wide = ToWide(name);
  const DWORD data = value;
  return static_cast<uint32_t>(::RegSetValueExW(impl_->key.Get(), wide.c_str(), 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&data), 4));
}

uint32_t RegistryKey::DeleteValue(std::u16string_view name) {
  if (!IsOpen()) return err::kInvalidHandle;
  const std::wstring wide = ToWide(name);
  return static_cast<uint32_t>(::RegDeleteValueW(impl_->key.Get(), wide.c_str()));
}

uint32_t RegistryKey::EnumSubkey(uint32_t index, std::u16string& name) const {
  if (!IsOpen()) return err::kInvalidHandle;
  wchar_t buffer[256];
  DWORD length = 256;
  const LONG result =
      ::RegEnumKeyExW(impl_->key.Get(), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  name = win32::FromWide(buffer, length);
  return err::kSuccess;
}

uint32_t RegistryKey::EnumSubkeys(std::vector<std::u16string>& names) const {
  names.clear();
  for (uint32_t index = 0;; ++index) {
    std::u16string name;
    const uint32_t result = EnumSubkey(index, name);
    if (result == err::kNoMoreItems) return err::kSuccess;
    if (result != err::kSuccess) return result;
    names.push_back(std::move(name));
  }
}

uint32_t RegistryKey::EnumValues(std::vector<std::u16string>& names) const {
  names.clear();
  if (!IsOpen()) return err::kInvalidHandle;
  for (DWORD index = 0;; ++index) {
    wchar_t buffer[16384];
    DWORD length = 16384;
    const LONG result = ::RegEnumValueW(impl_->key.Get(), index, buffer, &length, nullptr, nullptr,
                                        nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return err::kSuccess;
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    names.push_back(win32::FromWide(buffer, length));
  }
}

uint32_t RegistryKey::DeleteSubkey(std::u16string_view name) {
  if (!IsOpen()) return err::kInvalidHandle;
  // RegDeleteKeyW refuses a key with subkeys (5), as the contract says.
  const std::wstring wide = ToWide(name);
  return static_cast<uint32_t>(::RegDeleteKeyW(impl_->key.Get(), wide.c_str()));
}

uint32_t RegistryKey::DeleteTree(std::u16string_view name) {
  if (!IsOpen()) return err::kInvalidHandle;
  if (name.empty()) return err::kInvalidParameter;
  // Depth first with RegDeleteKeyW, which every supported system has.
  RegistryKey child;
  uint32_t result = child.Open(*this, name);
  if (result != err::kSuccess) return result;
  std::vector<std::u16string> names;
  result = child.EnumSubkeys(names);
  if (result != err::kSuccess) return result;
  for (const std::u16string& sub : names) {
    result = child.DeleteTree(sub);
    if (result != err::kSuccess && result != err::kFileNotFound) return result;
  }
  child.Close();
  return DeleteSubkey(name);
}

uint32_t RegistryKey::Notify(const Event& event, bool watch_subtree, uint32_t filter) {
  if (!IsOpen()) return err::kInvalidHandle;
  if (!event.IsValid() || (filter & (kRegNotifyName | kRegNotifyLastSet)) == 0) {
    return err::kInvalidParameter;
  }
  std::erase_if(impl_->notifies,
                [](const std::unique_ptr<PendingNotify>& p) { return p->fired.load(); });
  auto pending = std::make_unique<PendingNotify>();
  pending->target = event;
  pending->native.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!pending->native) return win32::LastError();
  DWORD native_filter = 0;
  if ((filter & kRegNotifyName) != 0) native_filter |= REG_NOTIFY_CHANGE_NAME;
  if ((filter & kRegNotifyLastSet) != 0) native_filter |= REG_NOTIFY_CHANGE_LAST_SET;
  const LONG result = ::RegNotifyChangeKeyValue(impl_->key.Get(), watch_subtree ? TRUE : FALSE,
                                                native_filter, pending->native.Get(), TRUE);
  if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
  if (!::RegisterWaitForSingleObject(&pending->wait, pending->native.Get(), &PendingNotify::Fired,
                                     pending.get(), INFINITE, WT_EXECUTEONLYONCE)) {
    pending->wait = nullptr;
    return win32::LastError();
  }
  impl_->notifies.push_back(std::move(pending));
  return err::kSuccess;
}

std::u16string ExpandEnvironmentText(std::u16string_view text) {
  const std::wstring wide = ToWide(text);
  DWORD size = ::ExpandEnvironmentStringsW(wide.c_str(), nullptr, 0);
  for (int attempt = 0; attempt < 3 && size != 0; ++attempt) {
    std::wstring out(size, L'\0');
    const DWORD got = ::ExpandEnvironmentStringsW(wide.c_str(), out.data(), size);
    if (got == 0) break;
    if (got <= size) {
      out.resize(got - 1);  // without the terminator
      return win32::FromWide(out);
    }
    size = got;
  }
  return std::u16string(text);
}

}  // namespace cvn::platform
