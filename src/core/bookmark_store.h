// Per-log bookmarks: where the reader stopped in each event log, kept in one
// small text file per log in the EventLogs folder so that a restart resumes
// there. Beside them, in the Positions subfolder, one file per log holds the
// position of each forwarding channel ("<channel> %d %d %d %d" per line); the
// bookmark is the slowest of them. An update writes the new text to
// "<file>.cvn~", syncs it and renames it over the file, so a file always
// holds a whole bookmark or a whole set of positions.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace cvn {

struct LogBookmark {
  int32_t lastRecord = 0;    // newest record number at the last pass
  int32_t lastTime = 0;      // TimeGenerated of that record, 0 if unknown
  int32_t oldestRecord = 0;  // oldest record number at the last pass
  bool empty = false;        // the log had no records at the last pass
  bool operator==(const LogBookmark&) const = default;
};

// The text of a bookmark file: "%d %d %d %d", no line end.
std::string FormatBookmark(const LogBookmark& bookmark);
// Reads the four numbers back; false unless all four convert. The flag is
// set only by a fourth number of exactly 1.
bool ParseBookmark(std::string_view text, LogBookmark& bookmark);

// The channels' positions in one log, by channel name.
using ChannelPositions = std::map<std::string, LogBookmark>;

// One "<name> %d %d %d %d" line per position.
std::string FormatPositions(const ChannelPositions& positions);
// False when a line does not hold a name and four numbers.
bool ParsePositions(std::string_view text, ChannelPositions& positions);

class CBookmarkStore {
 public:
  CBookmarkStore() = default;
  CBookmarkStore(const CBookmarkStore&) = delete;
  CBookmarkStore& operator=(const CBookmarkStore&) = delete;

  // The folder of the files (with or without a separator at its end). Files
  // already open stay open under their old folder until deleted.
  void SetFolder(std::u16string folder);
  const std::u16string& Folder() const { return folder_; }

  // The file key of a log: its name with every "/" replaced by "_".
  static std::u16string KeyOf(std::u16string_view log_name);
  std::u16string PathOf(std::u16string_view key) const { return folder_ + std::u16string(key); }

  // Found in the map or read from the log's file. When the file exists but
  // does not hold a bookmark, unreadable (if given) is set; the file is left
  // for SetBookmark to overwrite.
  bool GetBookmark(std::u16string_view log_name, LogBookmark& out, bool* unreadable = nullptr);
  // Writes the bookmark to the log's file (created when missing) and keeps it
  // in the map; false when the file could not be written and synced.
  bool SetBookmark(std::u16string_view log_name, const LogBookmark& bookmark);
  // Forgets the key and deletes its file; true when the file was deleted.
  bool DeleteBookmark(std::u16string_view key);
  // Deletes every file of the folder that belongs to none of the logs named
  // (temporary files left by an interrupted update included), and so for
  // the positions.
  void PruneBookmarks(const std::vector<std::u16string>& log_names);

  // The channels' positions of a log; nullopt when there is no file, or
  // (with unreadable set) when it does not hold positions.
  std::optional<ChannelPositions> GetPositions(std::u16string_view log_name, bool& unreadable);
  // Replaces the log's positions file (the folder is created when missing).
  bool SetPositions(std::u16string_view log_name, const ChannelPositions& positions);
  std::u16string PositionsPathOf(std::u16string_view key) const;

  // The system error of the last failed write (0 when it was not the system's).
  uint32_t LastError() const { return last_error_; }

 private:
  static constexpr std::u16string_view kTemporarySuffix = u".cvn~";
  static constexpr std::u16string_view kPositionsFolder = u"Positions";
  bool WriteAndReplace(const std::u16string& path, const std::string& text);
  uint32_t last_error_ = 0;
  static void PruneFolder(const std::u16string& folder, const std::vector<std::u16string>& keys);

  std::u16string folder_;
  std::map<std::u16string, LogBookmark> entries_;  // by key, case-sensitive
};

}  // namespace cvn
