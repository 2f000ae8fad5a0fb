#include "diag/log_file.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/text.h"
#include "base/time_format.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace cvn {

using platform::FileAccess;
using platform::FileCreate;
using platform::FileShare;

std::string CLogFile::FormatLine(int64_t now, char level, std::string_view category,
                                 std::string_view message) {
  std::tm local{};
  std::string when;
  if (platform::LocalCalendarTime(now, local)) when = FormatCTime("%c", local).value_or("");
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%010d", static_cast<int32_t>(now));
  std::string line;
  line.reserve(32 + when.size() + category.size() + message.size());
  line.append(stamp).append(1, ',').append(1, level).append(1, ',');
  // One entry, one line: no text from outside can start a line of its own.
  line.append(when).append(1, ',').append(category).append(1, ',');
  line.append(EscapeControlCharacters(message));
  line.append("\r\n");
  return line;
}

void CLogFile::Configure(std::u16string new_folder, uint32_t new_keep_count) {
  platform::LockGuard guard(lock_);
  folder = std::move(new_folder);
  keep_count = new_keep_count;
}

void CLogFile::SetFolderIfUnset(const std::u16string& new_folder) {
  platform::LockGuard guard(lock_);
  if (folder.empty()) folder = new_folder;
}

void CLogFile::Write(char level, std::string_view category, std::string_view message) {
  platform::LockGuard guard(lock_);
  const std::u16string dir = platform::WithTrailingSeparator(folder);
  if (!dir.empty()) platform::CreateFolderTree(dir);

  const int64_t now = clock_ ? clock_() : platform::NowSeconds();
  std::tm local{};
  if (!platform::LocalCalendarTime(now, local)) return;
  const std::u16string path = dir + Utf8ToUtf16(FormatCTime("CVN%Y%m%d.log", local).value_or(""));

  platform::File file;
  if (file.Open(path, FileAccess::kWrite, FileShare::kRead, FileCreate::kOpenAlways) == 0) {
    const std::string line = FormatLine(now, level, category, message);
    if (file.Seek(0, platform::SeekFrom::kEnd) == 0) {
      file.Write(line.data(), static_cast<uint32_t>(line.size()));
    }
    file.Close();
  }

  if (path != last_file_path_ && keep_count != 0) {
    last_file_path_ = path;
    RemoveOldFiles(dir);
  }
}

void CLogFile::RemoveOldFiles(const std::u16string& dir) {
  std::vector<std::u16string> names = platform::FindFiles(dir, u"CVN????????.log");
  if (names.size() <= keep_count) return;
  std::sort(names.begin(), names.end());
  for (size_t i = 0; i + keep_count < names.size(); ++i) platform::RemoveFile(dir + names[i]);
}

}  // namespace cvn
