#include "platform/posix/machine_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

uint32_t MakeNativeFolders(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? err::kAlreadyExists : err::kFileExists;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return ErrnoToWin32(errno);
  }
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? err::kSuccess : err::kPathNotFound;
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
