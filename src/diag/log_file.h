// The service's daily log files: one line per call, appended to
// "CVN<yyyymmdd>.log" in the log folder, with a clean-up of old day files on
// the first line of each new file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/sync.h"

namespace cvn {

// Copied from General/TraceLog by the core. Callers test it before composing a
// line of category "Trace"; the writer itself does not.
inline std::atomic<bool> TraceLogEnabled{false};

class CLogFile {
 public:
  CLogFile() = default;

  // Appends one line: "<epoch %010d>,<level>,<MM/dd/yy HH:mm:ss>,<category>,<message>\r\n".
  // category and message are narrow text in the system ANSI code page,
  // written unchanged. Failures lose the line and are never reported.
  void Write(char level, std::string_view category, std::string_view message);

  // Sets the folder and the keep count under the writer's lock, so that a
  // configuration reload can change them while other threads write lines.
  void Configure(std::u16string new_folder, uint32_t new_keep_count);
  // Sets the folder, under the same lock, only when none is set yet.
  void SetFolderIfUnset(const std::u16string& new_folder);

  // The folder of the day files (an empty folder means the current directory)
  // and the number of day files kept (0 keeps all). Write reads them under the
  // writer's lock; assign them directly only while no other thread can write,
  // and use Configure otherwise.
  std::u16string folder;
  uint32_t keep_count = 0;

  // Replaces the clock (seconds since 1970) for tests of day changes.
  void SetClockForTesting(std::function<int64_t()> clock) { clock_ = std::move(clock); }

 private:
  static std::string FormatLine(int64_t now, char level, std::string_view category,
                                std::string_view message);
  void RemoveOldFiles(const std::u16string& folder);

  platform::Lock lock_;
  std::u16string last_file_path_;
  std::function<int64_t()> clock_;
};

}  // namespace cvn
