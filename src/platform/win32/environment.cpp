// The process environment lives twice on Windows: in the system block
// (GetEnvironmentVariableW, inherited by child processes) and in the C
// runtime's copy (getenv). Setting writes both so every reader agrees.
#include "platform/environment.h"

#include <stdlib.h>

#include "platform/win32/win.h"

namespace cvn::platform {

std::u16string GetEnvironmentValue(std::u16string_view name) {
  const std::wstring key = win32::ToWide(name);
  std::wstring value(64, L'\0');
  for (;;) {
    const DWORD n =
        ::GetEnvironmentVariableW(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};
    if (n < value.size()) {
      value.resize(n);
      return win32::FromWide(value);
    }
    value.assign(n, L'\0');  // n counts the terminator when the buffer was too small
  }
}

bool SetEnvironmentValue(std::u16string_view name, std::u16string_view value) {
  const std::wstring key = win32::ToWide(name);
  const std::wstring text = win32::ToWide(value);
  // Removing a variable that is not set is no failure.
  const bool ok =
      ::SetEnvironmentVariableW(key.c_str(), value.empty() ? nullptr : text.c_str()) != FALSE ||
      (value.empty() && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND);
  // An empty value removes the variable from the C runtime's copy too.
  const bool crt_ok = _wputenv_s(key.c_str(), text.c_str()) == 0;
  return ok && crt_ok;
}

std::u16string LocalComputerName() {
  wchar_t name[16] = {};
  DWORD size = 16;
  if (!::GetComputerNameW(name, &size)) return {};
  return win32::FromWide(std::wstring(name, size));
}

}  // namespace cvn::platform
