// The registry: keys below HKEY_LOCAL_MACHINE, REG_SZ, REG_EXPAND_SZ and
// REG_DWORD values, enumeration of subkeys, and change notification.
//
// Every operation returns 0 or a Windows error number, on both platforms:
// 2 key or value not found, 5 access denied (a key with subkeys cannot be
// deleted with DeleteSubkey), 6 the key is not open, 87 bad argument,
// 259 no more subkeys, 1018 the open key was deleted, 1630 the value has
// another type.
//
// Names of keys and values compare without regard to case and keep the case
// they were created with. Key paths use '\' between names.
//
// posix: the registry is one file per root below <machine root>/Registry/
// (HKLM.reg), rewritten whole and renamed into place on every change under
// an exclusive lock on HKLM.lock, so readers in any process always see a
// complete store and writers in several processes do not lose each other's
// changes. Subkeys enumerate in the order of their upper-cased names, as on
// Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"

namespace cvn::platform {

enum class RegistryRoot : uint32_t { kLocalMachine = 0 };

// The value types, with their Windows numbers.
enum class RegistryType : uint32_t { kNone = 0, kString = 1, kExpandString = 2, kDword = 4 };

// Notification filters (REG_NOTIFY_CHANGE_NAME, REG_NOTIFY_CHANGE_LAST_SET).
constexpr uint32_t kRegNotifyName = 0x1;     // a subkey was added or deleted
constexpr uint32_t kRegNotifyLastSet = 0x4;  // a value was set or deleted

struct RegistryValue {
  RegistryType type = RegistryType::kNone;
  std::u16string text;  // kString, kExpandString (unexpanded)
  uint32_t dword = 0;   // kDword
};

class RegistryKey {
 public:
  RegistryKey();
  ~RegistryKey();
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens an existing key (2 when it does not exist). An empty path opens the root.
  uint32_t Open(RegistryRoot root, std::u16string_view path);
  // Opens a key below this one.
  uint32_t Open(const RegistryKey& parent, std::u16string_view path);
  // Opens the key, creating it and its missing parents; created tells which.
  uint32_t Create(RegistryRoot root, std::u16string_view path, bool* created = nullptr);
  uint32_t Create(const RegistryKey& parent, std::u16string_view path, bool* created = nullptr);

  bool IsOpen() const;
  // Closes the key; a pending notification on it is dropped.
  void Close();

  // Value access. QueryString accepts REG_SZ and REG_EXPAND_SZ and returns the
  // text as stored; QueryExpandedString also expands REG_EXPAND_SZ text.
  uint32_t QueryValue(std::u16string_view name, RegistryValue& value) const;
  uint32_t QueryString(std::u16string_view name, std::u16string& text) const;
  uint32_t QueryExpandedString(std::u16string_view name, std::u16string& text) const;
  uint32_t QueryDword(std::u16string_view name, uint32_t& value) const;

  uint32_t SetString(std::u16string_view name, std::u16string_view text);
  uint32_t SetExpandString(std::u16string_view name, std::u16string_view text);
  uint32_t SetDword(std::u16string_view name, uint32_t value);
  uint32_t DeleteValue(std::u16string_view name);

  // The name of the subkey at index (0, 1, ...); 259 after the last one.
  uint32_t EnumSubkey(uint32_t index, std::u16string& name) const;
  // All subkey names, in enumeration order.
  uint32_t EnumSubkeys(std::vector<std::u16string>& names) const;
  // Names of the values, in the order they were first set.
  uint32_t EnumValues(std::vector<std::u16string>& names) const;

  // Deletes a direct subkey that has no subkeys of its own (5 otherwise).
  uint32_t DeleteSubkey(std::u16string_view name);
  // Deletes a subkey with everything below it.
  uint32_t DeleteTree(std::u16string_view name);

  // Asks for one notification: event is set once when a change matching
  // filter (kRegNotify...) happens to this key, or below it with
  // watch_subtree, made by this or any other process. Ask again after each
  // notification. Deleting the watched key also sets the event.
  uint32_t Notify(const Event& event, bool watch_subtree, uint32_t filter);

  struct Impl;  // defined per platform

 private:
  std::unique_ptr<Impl> impl_;
};

// Expands %NAME% references to environment variables; unknown names stay as
// they are. On posix, SystemRoot and windir mean <machine root>/Windows,
// ProgramData and ALLUSERSPROFILE the common application data folder
// (<machine root>/ProgramData), ProgramFiles <machine root>/Program Files;
// a variable of the same name in the process environment takes precedence.
std::u16string ExpandEnvironmentText(std::u16string_view text);

}  // namespace cvn::platform
