#include "platform/posix/machine_root.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/text.h"
#include "base/win_errors.h"

namespace cvn::platform::posix {

std::string MachineRoot() {
  std::string root;
  if (const char* env = std::getenv("CORVANE_ROOT"); env != nullptr && *env != '\0') {
    root = env;
  } else if (geteuid() == 0) {
    root = "/var/lib/corvane";
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    root = std::string(home) + "/.local/state/corvane";
  } else {
    root = "/tmp/corvane-" + std::to_string(geteuid());
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string NativePath(std::u16string_view path) {
  std::string out = Utf16ToUtf8(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

namespace {

constexpr mode_t kFolderMode = 0750;
std::atomic<uint32_t> g_lock_timeout_ms{kDefaultLockTimeoutMs};

// The group "corvane" when the process runs as root and the group exists.
// Looked up once: files are created often (every bookmark update), and the
// group database is a file read through the name service.
bool ServiceGroup(gid_t& gid) {
  static const int kGroup = [] {
    if (geteuid() != 0) return -1;
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrnam_r("corvane", &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
      return -1;
    return static_cast<int>(found->gr_gid);
  }();
  if (kGroup < 0) return false;
  gid = static_cast<gid_t>(kGroup);
  return true;
}

}  // namespace

uint32_t MakeNativeFolders(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode) ? err::kAlreadyExists : err::kFileExists;
  gid_t gid = 0;
  const bool give = ServiceGroup(gid);
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), kFolderMode) == 0) {
      if (give && lchown(part.c_str(), 0, gid) != 0) {
        // Best effort: a folder that keeps root's group is only closer.
      }
    } else if (errno != EEXIST) {
      return ErrnoToWin32(errno);
    }
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? err::kSuccess : err::kPathNotFound;
}

mode_t DataFileMode(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string_view name =
      std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
  return name.find(".cvncfg") != std::string_view::npos ? kSecretFileMode : kFileMode;
}

int OpenDataFile(const std::string& path, int flags, mode_t mode) {
  if ((flags & O_CREAT) == 0) return ::open(path.c_str(), flags);
  int fd = -1;
  bool created = false;
  if ((flags & O_EXCL) != 0) {
    fd = ::open(path.c_str(), flags, mode);
    created = fd >= 0;
  } else {
    // Tells a file this call creates from one that was there: only a new
    // file is given to the service group.
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
      fd = ::open(path.c_str(), flags | O_EXCL, mode);
      if (fd >= 0) {
        created = true;
        break;
      }
      if (errno != EEXIST) return -1;
      fd = ::open(path.c_str(), flags & ~O_CREAT);
      if (fd < 0 && errno != ENOENT) return -1;  // ENOENT: removed meanwhile, try again
    }
  }
  gid_t gid = 0;
  if (created && ServiceGroup(gid) && fchown(fd, 0, gid) != 0) {
    // Best effort, as for folders: the file stays root's alone.
  }
  return fd;
}

int OpenLockFile(const std::string& path, bool create) {
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
  const int fd = ::open(path.c_str(), flags, kLockFileMode);
  // A lock file made by an older version may be open to others: close it
  // (it holds no data, only the lock).
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0077) != 0 &&
      fchmod(fd, kLockFileMode) != 0) {
    // Best effort: the lock still works, with a deadline.
  }
  return fd;
}

uint32_t LockTimeoutMs() { return g_lock_timeout_ms.load(); }

void SetLockTimeoutMs(uint32_t timeout_ms) {
  g_lock_timeout_ms = timeout_ms == 0 ? kDefaultLockTimeoutMs : timeout_ms;
}

uint32_t LockWithDeadline(int fd, bool exclusive) {
  const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(LockTimeoutMs());
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd, operation) == 0) return err::kSuccess;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return ErrnoToWin32(errno);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return kLockTimeout;
    // Holders keep these locks for a moment; the pause grows to 50 ms so a
    // long wait costs little.
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) close(fd_);  // closing releases the lock
}

uint32_t FileLock::Take(const std::string& path, bool exclusive, bool create) {
  fd_ = OpenLockFile(path, create);
  return fd_ < 0 ? ErrnoToWin32(errno) : LockWithDeadline(fd_, exclusive);
}

uint32_t ErrnoToWin32(int error) {
  switch (error) {
    case 0: return err::kSuccess;
    case ENOENT: return err::kFileNotFound;
    case ENOTDIR: return err::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return err::kAccessDenied;
    case EBADF: return err::kInvalidHandle;
    case ENOMEM: return err::kNotEnoughMemory;
    case EEXIST: return err::kFileExists;
    case ENOSPC:
    case EDQUOT: return err::kDiskFull;
    case EINVAL: return err::kInvalidParameter;
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EBUSY:
    case ETXTBSY: return err::kSharingViolation;
    default: return 31;  // ERROR_GEN_FAILURE
  }
}

}  // namespace cvn::platform::posix
