// Files and folders. Paths are UTF-16. Portable code joins paths with
// kPathSeparator; the posix layer also accepts '\' as a separator, so paths
// written the Windows way work there too.
//
// Functions return 0 or a Windows error number (2 file not found, 3 path not
// found, 5 access denied, 32 sharing violation, 80 file exists, 112 disk full,
// 183 already exists), on both platforms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::platform {

extern const char16_t kPathSeparator;

// folder with a separator at its end (unchanged when empty or already there).
std::u16string WithTrailingSeparator(std::u16string folder);

enum class FileAccess : uint32_t { kRead = 1, kWrite = 2, kReadWrite = 3 };
// Sharing of an open file with other openers (Windows share modes). The posix
// layer does not enforce share modes.
enum class FileShare : uint32_t { kNone = 0, kRead = 1, kWrite = 2, kReadWrite = 3, kAll = 7 };
enum class FileCreate : uint32_t {
  kCreateNew = 1,        // fails with 80 when it exists
  kCreateAlways = 2,     // creates or truncates
  kOpenExisting = 3,     // fails with 2 when missing
  kOpenAlways = 4,       // opens or creates, keeps content
  kTruncateExisting = 5  // fails with 2 when missing
};
enum class SeekFrom : uint32_t { kBegin = 0, kCurrent = 1, kEnd = 2 };

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // A file opened for writing is never reached through a link: a final
  // symbolic link (posix) or reparse point (Windows) fails with 681, so that
  // nobody who may plant a link where the service writes can aim its writes
  // at another file.
  uint32_t Open(std::u16string_view path, FileAccess access, FileShare share, FileCreate create);
  bool IsOpen() const;
  void Close();

  // Reads up to size bytes; read is 0 at the end of the file.
  uint32_t Read(void* buffer, uint32_t size, uint32_t& read);
  // Writes all size bytes or fails (112 when the disk is full).
  uint32_t Write(const void* data, uint32_t size);
  uint32_t Seek(int64_t offset, SeekFrom from, int64_t* position = nullptr);
  uint32_t GetSize(uint64_t& size) const;
  // Cuts the file at the current position.
  uint32_t Truncate();
  // Writes buffers through to the disk (FlushFileBuffers / fsync).
  uint32_t Sync();

 private:
  intptr_t handle_ = -1;
};

// Creates folder and every missing parent; 0, or 183 when it already existed.
uint32_t CreateFolderTree(std::u16string_view folder);

// Names (not paths) of the files in folder that match pattern, where '?' is
// any one character and '*' any run; compared without regard to ASCII case, as
// Windows does. Order is unspecified.
std::vector<std::u16string> FindFiles(std::u16string_view folder, std::u16string_view pattern);

uint32_t RemoveFile(std::u16string_view path);
// Renames, replacing an existing target atomically where the system allows.
uint32_t ReplaceFile(std::u16string_view from, std::u16string_view to);
bool FileExists(std::u16string_view path);
// When the file was last written, in seconds since 1970; false when it is not there.
bool FileWriteTime(std::u16string_view path, int64_t& seconds);
bool FolderExists(std::u16string_view path);
// Whether path names a file without reference to a current folder or drive
// (Windows: "X:\..." or "\\server\..."; posix: "/..." or "\...").
bool IsAbsolutePath(std::u16string_view path);

// Whether a folder the service writes into, or a file it takes configuration
// from, is beyond the reach of other users: 0 when it belongs to the system
// (posix: root; Windows: the local system or the Administrators) or to the
// account the service runs as, and nobody else may write it (posix: no write
// bit for others, nor for a group other than root's, except on a folder with
// the sticky bit; Windows: no access entry lets anyone else write, append,
// delete or change its rights). Otherwise 5 with the reason in words; 2 or 3
// when it does not exist.
uint32_t CheckPrivatePath(std::u16string_view path, std::string& reason);

// Creates folder (and its parents) and closes it to everybody but the system
// and the administrators, for everything below it too: Windows: a protected
// access list granting only them full control, inherited and passed on to
// what is in the folder already; posix: no write or entry for others (the
// folder stays root's and its group's as created). 0 or the error.
uint32_t CloseFolderToOthers(std::u16string_view folder);

// The common application data folder (all users), created when missing; empty
// when it cannot be found. On posix: <machine root>/ProgramData.
std::u16string CommonAppDataFolder();

// True when pattern ('?' and '*') matches name, ASCII case-insensitively.
bool MatchesPattern(std::u16string_view name, std::u16string_view pattern);

}  // namespace cvn::platform
