#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/posix/machine_root.h"

namespace cvn::platform {

const char16_t kPathSeparator = u'/';

namespace {

int OpenFlags(FileAccess access, FileCreate create) {
  int flags = O_CLOEXEC;
  switch (access) {
    case FileAccess::kRead: flags |= O_RDONLY; break;
    case FileAccess::kWrite: flags |= O_WRONLY | O_NOFOLLOW; break;
    case FileAccess::kReadWrite: flags |= O_RDWR | O_NOFOLLOW; break;
  }
  switch (create) {
    case FileCreate::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case FileCreate::kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case FileCreate::kOpenExisting: break;
    case FileCreate::kOpenAlways: flags |= O_CREAT; break;
    case FileCreate::kTruncateExisting: flags |= O_TRUNC; break;
  }
  return flags;
}

// Windows tells a missing file (2) from a missing folder on the way (3).
uint32_t OpenError(int error, const std::string& path) {
  if (error == ELOOP) return err::kStoppedOnSymlink;
  if (error != ENOENT) return posix::ErrnoToWin32(error);
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return err::kFileNotFound;
  struct stat st {};
  return stat(path.substr(0, slash).c_str(), &st) == 0 ? err::kFileNotFound : err::kPathNotFound;
}

int Fd(intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

uint32_t File::Open(std::u16string_view path, FileAccess access, FileShare /*share*/,
                    FileCreate create) {
  Close();
  const std::string native = posix::NativePath(path);
  struct stat st {};
  if (stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return err::kAccessDenied;
  const int fd =
      posix::OpenDataFile(native, OpenFlags(access, create), posix::DataFileMode(native));
  if (fd < 0) return OpenError(errno, native);
  handle_ = fd;
  return err::kSuccess;
}

bool File::IsOpen() const { return handle_ >= 0; }

void File::Close() {
  if (handle_ >= 0) ::close(Fd(handle_));
  handle_ = -1;
}

uint32_t File::Read(void* buffer, uint32_t size, uint32_t& read) {
  read = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  auto* p = static_cast<char*>(buffer);
  while (read < size) {
    const ssize_t n = ::read(Fd(handle_), p + read, size - read);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return posix::ErrnoToWin32(errno);
    if (n == 0) break;
    read += static_cast<uint32_t>(n);
  }
  return err::kSuccess;
}

uint32_t File::Write(const void* data, uint32_t size) {
  if (!IsOpen()) return err::kInvalidHandle;
  const auto* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(Fd(handle_), p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return posix::ErrnoToWin32(errno);
    if (n == 0) return err::kDiskFull;
    done += static_cast<uint32_t>(n);
  }
  return err::kSuccess;
}

uint32_t File::Seek(int64_t offset, SeekFrom from, int64_t* position) {
  if (!IsOpen()) return err::kInvalidHandle;
  const int whence = from == SeekFrom::kBegin ? SEEK_SET
                     : from == SeekFrom::kEnd ? SEEK_END
                                              : SEEK_CUR;
  const off_t pos = ::lseek(Fd(handle_), static_cast<off_t>(offset), whence);
  if (pos < 0) return posix::ErrnoToWin32(errno);
  if (position != nullptr) *position = pos;
  return err::kSuccess;
}

uint32_t File::GetSize(uint64_t& size) const {
  struct stat st {};
  if (!IsOpen()) return err::kInvalidHandle;
  if (::fstat(Fd(handle_), &st) != 0) return posix::ErrnoToWin32(errno);
  size = static_cast<uint64_t>(st.st_size);
  return err::kSuccess;
}

uint32_t File::Truncate() {
  if (!IsOpen()) return err::kInvalidHandle;
  const off_t pos = ::lseek(Fd(handle_), 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(Fd(handle_), pos) != 0) return posix::ErrnoToWin32(errno);
  return err::kSuccess;
}

uint32_t File::Sync() {
  if (!IsOpen()) return err::kInvalidHandle;
  return ::fsync(Fd(handle_)) == 0 ? err::kSuccess : posix::ErrnoToWin32(errno);
}

uint32_t CreateFolderTree(std::u16string_view folder) {
  std::string native = posix::NativePath(folder);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  if (native.empty()) return err::kPathNotFound;
  return posix::MakeNativeFolders(native);
}

std::vector<std::u16string> FindFiles(std::u16string_view folder, std::u16string_view pattern) {
  std::vector<std::u16string> names;
  const std::string native = folder.empty() ? std::string(".") : posix::NativePath(folder);
  DIR* dir = ::opendir(native.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::u16string wide = Utf8ToUtf16(name);
    if (MatchesPattern(wide, pattern)) names.push_back(wide);
  }
  ::closedir(dir);
  return names;
}

uint32_t RemoveFile(std::u16string_view path) {
  return ::unlink(posix::NativePath(path).c_str()) == 0 ? err::kSuccess
                                                        : posix::ErrnoToWin32(errno);
}

uint32_t ReplaceFile(std::u16string_view from, std::u16string_view to) {
  return ::rename(posix::NativePath(from).c_str(), posix::NativePath(to).c_str()) == 0
             ? err::kSuccess
             : posix::ErrnoToWin32(errno);
}

bool FileExists(std::u16string_view path) {
  struct stat st {};
  return ::stat(posix::NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FileWriteTime(std::u16string_view path, int64_t& seconds) {
  struct stat st {};
  if (::stat(posix::NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  seconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool IsAbsolutePath(std::u16string_view path) {
  return !path.empty() && (path[0] == u'/' || path[0] == u'\\');
}

bool FolderExists(std::u16string_view path) {
  struct stat st {};
  return ::stat(posix::NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t CheckPrivatePath(std::u16string_view path, std::string& reason) {
  reason.clear();
  struct stat st {};
  const std::string native = posix::NativePath(path);
  if (::stat(native.c_str(), &st) != 0) return OpenError(errno, native);
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    reason = "it belongs to uid " + std::to_string(st.st_uid);
    return err::kAccessDenied;
  }
  const bool sticky_folder = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
  const bool others_write = (st.st_mode & S_IWOTH) != 0;
  const bool group_write = (st.st_mode & S_IWGRP) != 0 && st.st_gid != 0;
  if ((others_write || group_write) && !sticky_folder) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    reason =
        std::string(others_write ? "every user" : "the group gid " + std::to_string(st.st_gid)) +
        " may write it (mode " + mode + ")";
    return err::kAccessDenied;
  }
  return err::kSuccess;
}

uint32_t CloseFolderToOthers(std::u16string_view folder) {
  const uint32_t made = CreateFolderTree(folder);
  if (made != err::kSuccess && made != err::kAlreadyExists) return made;
  struct stat st {};
  const std::string native = posix::NativePath(folder);
  if (::stat(native.c_str(), &st) != 0) return posix::ErrnoToWin32(errno);
  const mode_t closed = st.st_mode & 07750;
  if (closed != (st.st_mode & 07777) && ::chmod(native.c_str(), closed) != 0) {
    return posix::ErrnoToWin32(errno);
  }
  return err::kSuccess;
}

std::u16string CommonAppDataFolder() {
  const std::string folder = posix::MachineRoot() + "/ProgramData";
  const uint32_t rc = posix::MakeNativeFolders(folder);
  if (rc != err::kSuccess && rc != err::kAlreadyExists) return {};
  return Utf8ToUtf16(folder);
}

}  // namespace cvn::platform
