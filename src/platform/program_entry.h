// The entry point of the executables. Each program defines ProgramMain; the
// platform layer's library cvn_program_entry supplies the system's entry
// function (main, or wmain on Windows), which hands over the arguments after
// the program name as UTF-16 text and returns ProgramMain's result as the
// process exit code.
#pragma once

#include <string>
#include <vector>

int ProgramMain(std::vector<std::u16string> args);
