// The folder that holds all emulated Windows state of this "machine": the
// common application data folder, the registry, event logs, service database
// and pipes. CORVANE_ROOT names it; otherwise /var/lib/corvane for root and
// $HOME/.local/state/corvane for other users.
//
// What the emulation creates below it is closed to other users: folders 0750,
// files 0640, files that may hold passwords (the settings, "*.cvncfg") 0600,
// lock files 0600. When the process runs as root and the group "corvane"
// exists, new folders and files belong to root and that group, so its members
// may read them. The process umask may close them further.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace cvn::platform::posix {

// The machine root, without a trailing '/'. Read from the environment on
// every call, so tests can switch roots.
std::string MachineRoot();

// A UTF-16 path as a native UTF-8 path, with '\' turned into '/'.
std::string NativePath(std::u16string_view path);

// Creates a native folder and its parents (mode 0750, given to the service
// group); 0, 183 when it already existed, or a Windows error number.
uint32_t MakeNativeFolders(const std::string& path);

constexpr mode_t kFileMode = 0640;
constexpr mode_t kSecretFileMode = 0600;
constexpr mode_t kLockFileMode = 0600;

// open(2) for the files of the emulation: with O_CREAT, a file that this call
// creates gets mode (kFileMode, or kSecretFileMode for a name that holds
// ".cvncfg") and is given to the service group. -1 with errno set on failure.
int OpenDataFile(const std::string& path, int flags, mode_t mode = kFileMode);

// The mode a new file of this name gets: kSecretFileMode for the settings
// (and their temporary copies), otherwise kFileMode.
mode_t DataFileMode(const std::string& path);

// Opens a lock file for reading and writing (never through a symbolic link),
// creating it with mode 0600 when create is set, and closing an older one of
// ours to others; -1 with errno on failure.
int OpenLockFile(const std::string& path, bool create);

// How long a lock waits for another holder before it fails.
constexpr uint32_t kDefaultLockTimeoutMs = 5000;
uint32_t LockTimeoutMs();
// For tests: a shorter wait (0 restores the default).
void SetLockTimeoutMs(uint32_t timeout_ms);

// Takes an flock on fd (shared or exclusive), waiting at most LockTimeoutMs().
// 0, 1460 (ERROR_TIMEOUT) when another process kept it for the whole wait,
// or the Windows error of the failed call.
uint32_t LockWithDeadline(int fd, bool exclusive);
constexpr uint32_t kLockTimeout = 1460;

// An flock on a lock file, held until the object goes: Take opens the file
// (OpenLockFile) and locks it (LockWithDeadline). 0, the Windows error of the
// failed open, or the lock's result.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  uint32_t Take(const std::string& path, bool exclusive, bool create);

 private:
  int fd_ = -1;
};

// The Windows error number for an errno value.
uint32_t ErrnoToWin32(int error);

}  // namespace cvn::platform::posix
