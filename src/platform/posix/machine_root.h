// The folder that holds all emulated Windows state of this "machine": the
// common application data folder, the registry, event logs, service database
// and pipes. CORVANE_ROOT names it; otherwise /var/lib/corvane for root and
// $HOME/.local/state/corvane for other users.
#pragma once

#include <string>
#include <string_view>

namespace cvn::platform::posix {

// The machine root, without a trailing '/'. Read from the environment on
// every call, so tests can switch roots.
std::string MachineRoot();

// A UTF-16 path as a native UTF-8 path, with '\' turned into '/'.
std::string NativePath(std::u16string_view path);

// Creates a native folder and its parents; 0 or a Windows error number.
uint32_t MakeNativeFolders(const std::string& path);

// The Windows error number for an errno value.
uint32_t ErrnoToWin32(int error);

}  // namespace cvn::platform::posix
