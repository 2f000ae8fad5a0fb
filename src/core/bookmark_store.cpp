#include "core/bookmark_store.h"

#include <algorithm>
#include <cstdio>

namespace cvn {

namespace {

// More than any bookmark text needs ("-2147483648" four times with blanks).
constexpr uint32_t kMaxBookmarkText = 256;

bool ReadBookmarkFile(platform::File& file, LogBookmark& bookmark) {
  char text[kMaxBookmarkText + 1] = {};
  uint32_t read = 0;
  if (file.Seek(0, platform::SeekFrom::kBegin) != 0) return false;
  if (file.Read(text, kMaxBookmarkText, read) != 0) return false;
  return ParseBookmark(std::string_view(text, read), bookmark);
}

}  // namespace

std::string FormatBookmark(const LogBookmark& bookmark) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%d %d %d %d", bookmark.lastRecord,
                              bookmark.lastTime, bookmark.oldestRecord, bookmark.empty ? 1 : 0);
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

bool ParseBookmark(std::string_view text, LogBookmark& bookmark) {
  const std::string terminated(text);
  int values[4] = {};
  if (std::sscanf(terminated.c_str(), "%d %d %d %d", &values[0], &values[1], &values[2],
                  &values[3]) != 4) {
    return false;
  }
  bookmark.lastRecord = values[0];
  bookmark.lastTime = values[1];
  bookmark.oldestRecord = values[2];
  bookmark.empty = values[3] == 1;
  return true;
}

void CBookmarkStore::SetFolder(std::u16string folder) {
  folder_ = folder.empty() ? folder : platform::WithTrailingSeparator(std::move(folder));
}

std::u16string CBookmarkStore::KeyOf(std::u16string_view log_name) {
  std::u16string key(log_name);
  std::replace(key.begin(), key.end(), u'/', u'_');
  return key;
}

bool CBookmarkStore::GetBookmark(std::u16string_view log_name, LogBookmark& out, bool* unreadable) {
  if (unreadable != nullptr) *unreadable = false;
  if (folder_.empty()) return false;
  const std::u16string key = KeyOf(log_name);
  if (auto it = entries_.find(key); it != entries_.end()) {
    out = it->second.bookmark;
    return true;
  }
  const std::u16string path = PathOf(key);
  if (!platform::FileExists(path)) return false;

  Entry entry;
  if (entry.file.Open(path, platform::FileAccess::kReadWrite, platform::FileShare::kRead,
                      platform::FileCreate::kOpenExisting) != 0 ||
      !ReadBookmarkFile(entry.file, entry.bookmark)) {
    if (unreadable != nullptr) *unreadable = true;
    return false;
  }
  out = entry.bookmark;
  entries_.emplace(key, std::move(entry));
  return true;
}

bool CBookmarkStore::WriteAndSync(platform::File& file, const LogBookmark& bookmark) {
  // Written over the old text from the start, then cut: the file holds
  // exactly the new text. The sync makes it survive a power loss.
  const std::string text = FormatBookmark(bookmark);
  return file.Seek(0, platform::SeekFrom::kBegin) == 0 &&
         file.Write(text.data(), static_cast<uint32_t>(text.size())) == 0 && file.Truncate() == 0 &&
         file.Sync() == 0 && file.Seek(0, platform::SeekFrom::kBegin) == 0;
}

bool CBookmarkStore::SetBookmark(std::u16string_view log_name, const LogBookmark& bookmark) {
  if (folder_.empty()) return false;
  const std::u16string key = KeyOf(log_name);
  if (auto it = entries_.find(key); it != entries_.end()) {
    if (WriteAndSync(it->second.file, bookmark)) {
      it->second.bookmark = bookmark;
      return true;
    }
    entries_.erase(it);  // closes the file; open it afresh below
  }
  Entry entry;
  if (entry.file.Open(PathOf(key), platform::FileAccess::kReadWrite, platform::FileShare::kRead,
                      platform::FileCreate::kCreateAlways) != 0 ||
      !WriteAndSync(entry.file, bookmark)) {
    return false;
  }
  entry.bookmark = bookmark;
  entries_.emplace(key, std::move(entry));
  return true;
}

bool CBookmarkStore::DeleteBookmark(std::u16string_view key) {
  if (auto it = entries_.find(std::u16string(key)); it != entries_.end()) entries_.erase(it);
  return platform::RemoveFile(PathOf(key)) == 0;
}

void CBookmarkStore::PruneBookmarks(const std::vector<std::u16string>& log_names) {
  if (folder_.empty()) return;
  std::vector<std::u16string> keys;
  keys.reserve(log_names.size());
  for (const auto& name : log_names) keys.push_back(KeyOf(name));
  for (const auto& file : platform::FindFiles(folder_, u"*")) {
    if (!platform::FileExists(folder_ + file)) continue;  // a folder
    if (std::find(keys.begin(), keys.end(), file) == keys.end()) DeleteBookmark(file);
  }
}

}  // namespace cvn
