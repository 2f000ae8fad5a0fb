#include "core/bookmark_store.h"

#include <algorithm>
#include <cstdio>

namespace cvn {

namespace {

// More than any bookmark text needs ("-2147483648" four times with blanks).
constexpr uint32_t kMaxBookmarkText = 256;

// Enough for a few channels' lines; a larger file is not one of ours.
constexpr uint32_t kMaxPositionsText = 4096;

bool ReadSmallFile(const std::u16string& path, uint32_t limit, std::string& text) {
  platform::File file;
  if (file.Open(path, platform::FileAccess::kRead, platform::FileShare::kReadWrite,
                platform::FileCreate::kOpenExisting) != 0) {
    return false;
  }
  text.assign(limit, '\0');
  uint32_t read = 0;
  if (file.Read(text.data(), limit, read) != 0) return false;
  text.resize(read);
  return true;
}

}  // namespace

std::string FormatBookmark(const LogBookmark& bookmark) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%d %d %d %d", bookmark.lastRecord,
                              bookmark.lastTime, bookmark.oldestRecord, bookmark.empty ? 1 : 0);
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string FormatPositions(const ChannelPositions& positions) {
  std::string text;
  for (const auto& [name, position] : positions) {
    text += name + " " + FormatBookmark(position) + "\n";
  }
  return text;
}

bool ParsePositions(std::string_view text, ChannelPositions& positions) {
  positions.clear();
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const size_t blank = line.find(' ');
    LogBookmark position;
    if (blank == 0 || blank == std::string_view::npos ||
        !ParseBookmark(line.substr(blank + 1), position)) {
      return false;
    }
    positions[std::string(line.substr(0, blank))] = position;
  }
  return !positions.empty();
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
    out = it->second;
    return true;
  }
  const std::u16string path = PathOf(key);
  if (!platform::FileExists(path)) return false;

  std::string text;
  LogBookmark bookmark;
  if (!ReadSmallFile(path, kMaxBookmarkText, text) || !ParseBookmark(text, bookmark)) {
    if (unreadable != nullptr) *unreadable = true;
    return false;
  }
  out = bookmark;
  entries_.emplace(key, bookmark);
  return true;
}

bool CBookmarkStore::WriteAndReplace(const std::u16string& path, const std::string& text) {
  // The new text goes to a file of its own, reaches the disk, and only then
  // takes the bookmark's name in one rename: a crash at any point leaves the
  // old bookmark or the new one, never a mix. A temporary file left behind by
  // a crash is overwritten by the next update or deleted by a prune.
  std::u16string temporary = path;
  temporary += kTemporarySuffix;
  platform::File file;
  last_error_ = file.Open(temporary, platform::FileAccess::kWrite, platform::FileShare::kNone,
                          platform::FileCreate::kCreateAlways);
  if (last_error_ == 0) last_error_ = file.Write(text.data(), static_cast<uint32_t>(text.size()));
  if (last_error_ == 0) last_error_ = file.Sync();
  file.Close();
  if (last_error_ == 0) last_error_ = platform::ReplaceFile(temporary, path);
  if (last_error_ != 0) platform::RemoveFile(temporary);
  return last_error_ == 0;
}

bool CBookmarkStore::SetBookmark(std::u16string_view log_name, const LogBookmark& bookmark) {
  if (folder_.empty()) return false;
  const std::u16string key = KeyOf(log_name);
  if (!WriteAndReplace(PathOf(key), FormatBookmark(bookmark))) {
    entries_.erase(key);  // read afresh from the file next time
    return false;
  }
  entries_.insert_or_assign(key, bookmark);
  return true;
}

bool CBookmarkStore::DeleteBookmark(std::u16string_view key) {
  entries_.erase(std::u16string(key));
  return platform::RemoveFile(PathOf(key)) == 0;
}

void CBookmarkStore::PruneFolder(const std::u16string& folder,
                                 const std::vector<std::u16string>& keys) {
  for (const auto& file : platform::FindFiles(folder, u"*")) {
    if (!platform::FileExists(folder + file)) continue;  // a folder
    // A temporary file left by a crash belongs to no log's key either, so it
    // goes too; the bookmark of the log it was written for stays.
    if (std::find(keys.begin(), keys.end(), file) == keys.end()) {
      platform::RemoveFile(folder + file);
    }
  }
}

void CBookmarkStore::PruneBookmarks(const std::vector<std::u16string>& log_names) {
  if (folder_.empty()) return;
  std::vector<std::u16string> keys;
  keys.reserve(log_names.size());
  for (const auto& name : log_names) keys.push_back(KeyOf(name));
  std::erase_if(entries_, [&keys](const auto& entry) {
    return std::find(keys.begin(), keys.end(), entry.first) == keys.end();
  });
  PruneFolder(folder_, keys);
  PruneFolder(PositionsPathOf(u""), keys);
}

std::u16string CBookmarkStore::PositionsPathOf(std::u16string_view key) const {
  return platform::WithTrailingSeparator(folder_ + std::u16string(kPositionsFolder)) +
         std::u16string(key);
}

std::optional<ChannelPositions> CBookmarkStore::GetPositions(std::u16string_view log_name,
                                                             bool& unreadable) {
  unreadable = false;
  if (folder_.empty()) return std::nullopt;
  const std::u16string path = PositionsPathOf(KeyOf(log_name));
  if (!platform::FileExists(path)) return std::nullopt;
  std::string text;
  ChannelPositions positions;
  if (!ReadSmallFile(path, kMaxPositionsText, text) || !ParsePositions(text, positions)) {
    unreadable = true;
    return std::nullopt;
  }
  return positions;
}

bool CBookmarkStore::SetPositions(std::u16string_view log_name, const ChannelPositions& positions) {
  if (folder_.empty()) return false;
  const std::u16string path = PositionsPathOf(KeyOf(log_name));
  // With no channel on, the bookmark alone tells where the log stands.
  if (positions.empty()) return !platform::FileExists(path) || platform::RemoveFile(path) == 0;
  const std::u16string folder = PositionsPathOf(u"");
  if (!platform::FolderExists(folder)) platform::CreateFolderTree(folder);
  return WriteAndReplace(path, FormatPositions(positions));
}

}  // namespace cvn
