// The command line of CVNService: an optional "-s" (or "/s") for quiet mode
// and one command word, compared without regard to ASCII case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::service {

// Where the console texts go: standard output in the program, a buffer in
// tests.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(std::u16string_view text) = 0;
};

// Standard output, in the system's ANSI code page.
class StdoutConsole : public Console {
 public:
  void Write(std::u16string_view text) override;
};

// Runs the command line (the arguments after the program name) and returns
// the process exit code: the command's ControlResult, or 0 in quiet mode,
// after printing usage, and for an unknown command.
uint32_t RunCommandLine(const std::vector<std::u16string>& args, Console& console);

// True while the current command line runs in quiet mode.
bool QuietMode();

// Prints the usage text (nothing in quiet mode).
void PrintUsage(Console& console);

// The name the usage line shows for an executable path: the part after the
// last path separator, or "CVNService.exe" when that is shorter than 5 or
// longer than 12 characters.
std::u16string ProgramName(std::u16string_view executable_path);

// The name of a service state (1..7), "UNDEFINED" for any other value.
std::u16string_view StateName(uint32_t state);

// The system's text for an error code; empty when there is none.
std::u16string SystemErrorText(uint32_t code);

}  // namespace cvn::service
