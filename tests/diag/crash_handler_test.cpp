// The crash handler, seen from outside: a program that writes to address 0
// leaves one crash file whose report lists its lines in order, names the
// program as the faulting module and walks the program's frames.
#include "crash_handler_test.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "base/text.h"
#include "platform/crash_hook.h"
#include "platform/file.h"
#include "platform/service_manager.h"

namespace cvn::testing {

std::filesystem::path CrashProgramPath() {
  std::u16string self;
  platform::ExecutablePath(self, 4096);
  return std::filesystem::path(Utf16ToUtf8(self)).parent_path() / CVN_CRASH_PROGRAM_FILE;
}

CrashRun RunCrashProgram(const std::filesystem::path& folder, const std::string& mode) {
  CrashRun run;
  // Unquoted: the shell and the Windows command processor quote differently,
  // and neither path has a space.
  std::string command = CrashProgramPath().string() + " " + folder.string();
  if (!mode.empty()) command += " " + mode;
  run.status = std::system(command.c_str());
  for (const auto& name : platform::FindFiles(Utf8ToUtf16(folder.string()), u"CVNSvc-*")) {
    run.files.push_back(folder / Utf16ToUtf8(name));
  }
  if (run.files.size() != 1) return run;
  const std::string bytes = ReadFileBytes(run.files[0]);
  // The report follows the dump, if any: it begins with the system line
  // before the program version.
  const size_t version = bytes.rfind("\nFile Version:  ");
  if (version == std::string::npos) return run;
  size_t begin = bytes.rfind("Windows:  ", version);
  if (begin == std::string::npos) begin = bytes.rfind("Linux:  ", version);
  if (begin == std::string::npos) begin = bytes.rfind('\n', version - 1) + 1;
  run.dump_bytes = begin;
  run.report = bytes.substr(begin);
  while (!run.report.empty() && run.report.back() == '\0') run.report.pop_back();
  std::istringstream lines(run.report);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    run.lines.push_back(line);
  }
  return run;
}

namespace {

bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// A crash without a fault of the processor leaves its file too.
TEST(CrashHandler, AbortAndTerminateLeaveACrashFile) {
  for (const char* mode : {"abort", "terminate"}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    const CrashRun run = RunCrashProgram(dir.path(), mode);
    EXPECT_NE(run.status, 0);
    ASSERT_EQ(run.files.size(), 1u) << "no crash file";
    EXPECT_NE(run.report.find("Call Stack:"), std::string::npos) << run.report;
  }
}

TEST(CrashHandler, ReportOfAWriteToAddressZero) {
  TempDir dir;
  const CrashRun run = RunCrashProgram(dir.path());
  EXPECT_NE(run.status, 0);
  ASSERT_EQ(run.files.size(), 1u) << "no crash file";
  ASSERT_GE(run.lines.size(), 12u) << run.report;
  if (run.dump_bytes > 0) {
    // Windows with DbgHelp: the minidump comes first.
    EXPECT_EQ(ReadFileBytes(run.files[0]).substr(0, 4), "MDMP");
  }

  // The lines in order, each found after the one before.
  const std::string program = CrashProgramPath().filename().string();
  const std::vector<std::string_view> expected = {"File Version:  3.2.3",
                                                  "Process:  ",
                                                  "Module:  ",
                                                  "Date Modified:  ",
                                                  "File Size:  ",
                                                  "Exception Code:  ",
                                                  "Write Address:  0000000000000000",
                                                  "Instruction:  ",
                                                  "Registers:",
                                                  "Call Stack:"};
  EXPECT_TRUE(StartsWith(run.lines[0], "Linux:  ") || StartsWith(run.lines[0], "Windows:  "))
      << run.lines[0];
  size_t at = 1;
  for (std::string_view prefix : expected) {
    while (at < run.lines.size() && !StartsWith(run.lines[at], prefix)) ++at;
    ASSERT_LT(at, run.lines.size()) << "missing or out of order: " << prefix << "\n" << run.report;
    if (prefix == "Process:  " || prefix == "Module:  ") {
      EXPECT_NE(run.lines[at].find(program), std::string::npos) << run.lines[at];
    }
  }

  // The stack: the program's module, then the faulting frame and its callers.
  ASSERT_LT(at + 2, run.lines.size());
  EXPECT_NE(run.lines[at + 1].find(program), std::string::npos) << run.report;
  EXPECT_TRUE(StartsWith(run.lines[at + 2], "  +")) << run.report;
  EXPECT_NE(run.lines[at + 2].find("Exception Offset"), std::string::npos);
  size_t frames_in_program = 0;
  for (size_t i = at + 2; i < run.lines.size() && StartsWith(run.lines[i], "  +"); ++i) {
    ++frames_in_program;
  }
  // WriteToNull and its callers up to ProgramMain (the compiler may fold one).
  EXPECT_GE(frames_in_program, 3u) << run.report;
}

TEST(CrashHandler, TimeLineHasTwoDigitDayHourMinuteAndSecond) {
  char buffer[64];
  platform::CrashText text(buffer, sizeof buffer);
  text.LongDateTime(2016, 12, 8, 4, 1, 2, 3);
  EXPECT_STREQ(text.data(), "Thursday, December 08, 2016 01:02:03");
}

}  // namespace
}  // namespace cvn::testing
