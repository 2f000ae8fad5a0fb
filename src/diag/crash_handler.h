// The service's crash handler: the platform's crash hook, writing its crash
// file "CVNSvc-<n>" to the crash folder, where n is the millisecond tick
// counter at installation modulo 1000000 (a later run that draws the same
// number replaces the older file). ScopedCrashHandler installs it for the
// life of a static object, so that it is in place before the program's main
// function runs, whichever way the executable is started.
#pragma once

#include <string>

namespace cvn {

// <common application data>\Halvorn\Corvane 3\CrashDumps\, or empty when the
// common application data folder cannot be found.
std::u16string CrashDumpsFolder();

// Installs the hook writing to folder (created when missing); false when no
// crash file can be written there.
bool InstallCrashHandler(const std::u16string& folder);
void UninstallCrashHandler();

class ScopedCrashHandler {
 public:
  ScopedCrashHandler() { InstallCrashHandler(CrashDumpsFolder()); }
  ~ScopedCrashHandler() { UninstallCrashHandler(); }
  ScopedCrashHandler(const ScopedCrashHandler&) = delete;
  ScopedCrashHandler& operator=(const ScopedCrashHandler&) = delete;
};

}  // namespace cvn
