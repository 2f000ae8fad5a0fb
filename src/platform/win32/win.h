// The one header of the win32 platform layer that includes the Windows headers,
// with the same configuration for every file, plus the small helpers that every
// win32 source needs: UTF-16 strings as wide strings, the last error as a
// number, and handles that close themselves.
//
// Only files under src/platform/win32/ include this header (and
// platform/odbc_api.h, which puts it in front of the ODBC headers).
#pragma once

#ifndef _WIN32
#error "platform/win32/win.h is for Windows builds only"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
// Windows 7 / Server 2008 R2 is the oldest system the service supports.
#ifdef _WIN32_WINNT
#undef _WIN32_WINNT
#endif
#define _WIN32_WINNT 0x0601
#ifdef WINVER
#undef WINVER
#endif
#define WINVER 0x0601

// winsock2.h must come before windows.h, which would otherwise pull in the old
// winsock.h.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// Left out by WIN32_LEAN_AND_MEAN.
#include <winsvc.h>

// The A/W macros of the Windows headers rename any function of the same name,
// including the portable platform functions a win32 source defines (the
// definition would become ReplaceFileW while callers link against ReplaceFile).
// Undefine each clash here and call the ...W function explicitly.
#undef ClearEventLog
#undef LookupAccountName
#undef LookupAccountSid
#undef ReplaceFile

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace cvn::platform::win32 {

// wchar_t is 16 bits on Windows, so UTF-16 text is a wide string as it is.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be 16 bits");

// The text of s as a null-terminated wide string; valid while s lives unchanged.
inline const wchar_t* WideCStr(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}
// Wide characters of a view (not null-terminated).
inline const wchar_t* WideData(std::u16string_view s) {
  return reinterpret_cast<const wchar_t*>(s.data());
}
// A null-terminated copy of a view, for API calls that need the terminator.
inline std::wstring ToWide(std::u16string_view s) {
  return std::wstring(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

inline std::u16string FromWide(std::wstring_view s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.data()), s.size());
}
inline std::u16string FromWide(const wchar_t* s) {
  return s == nullptr ? std::u16string() : FromWide(std::wstring_view(s));
}
inline std::u16string FromWide(const wchar_t* s, size_t length) {
  return s == nullptr ? std::u16string() : FromWide(std::wstring_view(s, length));
}

// char16_t buffers passed to API calls that fill wide strings.
inline wchar_t* WideBuffer(std::u16string& s) { return reinterpret_cast<wchar_t*>(s.data()); }
inline wchar_t* WideBuffer(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }

// GetLastError as the project's error number type.
inline uint32_t LastError() { return static_cast<uint32_t>(::GetLastError()); }

// A handle that is closed when it goes out of scope. Traits provide:
//   using Type = ...;                 the handle type
//   static Type Invalid();            the value of an empty holder
//   static bool IsValid(Type h);      whether h must be closed
//   static void Close(Type h);        closes a valid h
template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  explicit UniqueHandle(Type h) : h_(h) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Type Get() const { return h_; }
  bool IsValid() const { return Traits::IsValid(h_); }
  explicit operator bool() const { return IsValid(); }

  // Gives up ownership without closing.
  Type Release() { return std::exchange(h_, Traits::Invalid()); }
  // Closes the current handle (if any) and takes h.
  void Reset(Type h = Traits::Invalid()) {
    Type old = std::exchange(h_, h);
    if (Traits::IsValid(old)) Traits::Close(old);
  }
  // For API calls that return a handle through a pointer: closes the current one.
  Type* Receive() {
    Reset();
    return &h_;
  }

 private:
  Type h_ = Traits::Invalid();
};

// Kernel object handles (files, events, threads, processes, pipes). Creation
// calls report failure as null or INVALID_HANDLE_VALUE, depending on the call;
// both count as empty.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
using Handle = UniqueHandle<KernelHandleTraits>;

// Registry keys (not the predefined roots, which are never closed).
struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) {
    // The predefined keys (HKEY_LOCAL_MACHINE ...) have the top bit set.
    return h != nullptr && (reinterpret_cast<uintptr_t>(h) & 0x80000000u) == 0;
  }
  static void Close(Type h) { ::RegCloseKey(h); }
};
using RegKey = UniqueHandle<RegKeyTraits>;

// Service control manager and service handles.
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CloseServiceHandle(h); }
};
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;

// Classic event log handles opened for reading (OpenEventLogW).
struct EventLogHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::CloseEventLog(h); }
};
using EventLogHandle = UniqueHandle<EventLogHandleTraits>;

// Event sources opened for reporting (RegisterEventSourceW).
struct EventSourceHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::DeregisterEventSource(h); }
};
using EventSourceHandle = UniqueHandle<EventSourceHandleTraits>;

// Modules loaded with LoadLibraryExW (message DLLs).
struct ModuleHandleTraits {
  using Type = HMODULE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::FreeLibrary(h); }
};
using Module = UniqueHandle<ModuleHandleTraits>;

// Find handles from FindFirstFileW.
struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
using FindHandle = UniqueHandle<FindHandleTraits>;

// Memory from LocalAlloc (FormatMessageW with ALLOCATE_BUFFER, security APIs).
struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::LocalFree(h); }
};
using LocalMemory = UniqueHandle<LocalMemoryTraits>;

// Winsock sockets.
struct SocketTraits {
  using Type = SOCKET;
  static Type Invalid() { return INVALID_SOCKET; }
  static bool IsValid(Type h) { return h != INVALID_SOCKET; }
  static void Close(Type h) { ::closesocket(h); }
};
using Socket = UniqueHandle<SocketTraits>;

}  // namespace cvn::platform::win32
