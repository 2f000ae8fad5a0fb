// Runs the crash test program and reads what it left behind.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace cvn::testing {

struct CrashRun {
  int status = 0;                            // what std::system returned
  std::vector<std::filesystem::path> files;  // files named CVNSvc-* in the folder
  size_t dump_bytes = 0;                     // bytes before the report
  std::string report;
  std::vector<std::string> lines;
};

std::filesystem::path CrashProgramPath();
// Runs the program with folder as its crash folder (and mode as its second
// argument when given).
CrashRun RunCrashProgram(const std::filesystem::path& folder, const std::string& mode = "");

}  // namespace cvn::testing
