// The service manager emulation. The database lives under the machine root:
//
//   services/<name in lower case>/config    registration (key=value lines, UTF-8)
//   services/<name>/status                  the last reported status and the processes
//   services/<name>/failures                failure count and time, for the recovery actions
//   services/<name>/deleted                 present while a deleted service still runs
//   services/<name>/lock                    flock()ed around every read-modify-write
//   services/<name>/control.sock            the running service's control socket
//
// Start launches the registered command line with CORVANE_SERVICE_ROLE=monitor
// in its own session with the standard streams on /dev/null. The dispatcher of
// that process forks a monitor and exits; the monitor runs the command line
// again as the service proper (role "service") and waits for it. When the
// service process ends without having reported stopped, the monitor records
// the crash (stopped, Win32 exit code 1067) and applies the recovery actions:
// restarts are carried out, reboot and command actions are not.
//
// Without a role (systemd, a shell) the dispatcher runs the service directly;
// it still reports to the database when the service is registered there.
// SIGTERM and SIGINT are the stop control in every case.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/posix/machine_root.h"

extern char** environ;

#ifndef CVN_PRODUCT_VERSION
#define CVN_PRODUCT_VERSION ""
#endif

namespace cvn::platform {
namespace {

constexpr uint32_t kErrInvalidName = 123;
constexpr uint32_t kErrInvalidServiceControl = 1052;
constexpr uint32_t kErrServiceRequestTimeout = 1053;
constexpr uint32_t kErrServiceDisabled = 1058;
constexpr uint32_t kErrFailedServiceControllerConnect = 1063;
constexpr uint32_t kErrProcessAborted = 1067;
constexpr uint32_t kErrServiceMarkedForDelete = 1072;
constexpr uint32_t kErrServiceNeverStarted = 1077;

constexpr char kRoleVariable[] = "CORVANE_SERVICE_ROLE";
constexpr uint32_t kStartTimeoutMs = 30000;
constexpr uint32_t kControlTimeoutMs = 30000;
// A start request whose process has not shown up after this long is stale.
constexpr int64_t kLaunchGraceSeconds = 35;

using Fields = std::map<std::string, std::string>;

std::string DatabaseFolder() { return posix::MachineRoot() + "/services"; }

std::string EntryFolder(std::u16string_view name) {
  return DatabaseFolder() + "/" + Utf16ToUtf8(AsciiLower(name));
}

bool ValidName(std::u16string_view name) {
  if (name.empty() || name.size() > 256) return false;
  for (char16_t c : name) {
    if (c == u'/' || c == u'\\' || c < 0x20) return false;
  }
  return name != u"." && name != u"..";
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string Escape(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::string Unescape(const std::string& v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) {
      ++i;
      out += v[i] == 'n' ? '\n' : v[i] == 'r' ? '\r' : v[i];
    } else {
      out += v[i];
    }
  }
  return out;
}

bool ReadFields(const std::string& path, Fields& fields) {
  fields.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    fields[line.substr(0, eq)] = Unescape(line.substr(eq + 1));
  }
  return true;
}

// Written to a temporary file and renamed, so readers see the old or the new
// content, never a part.
uint32_t WriteFields(const std::string& path, const Fields& fields) {
  std::string text;
  for (const auto& [k, v] : fields) text += k + "=" + Escape(v) + "\n";
  const std::string tmp = path + ".tmp" + std::to_string(getpid());
  const int fd = posix::OpenDataFile(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return posix::ErrnoToWin32(errno);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const uint32_t e = posix::ErrnoToWin32(errno);
      close(fd);
      unlink(tmp.c_str());
      return e;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    const uint32_t e = posix::ErrnoToWin32(errno);
    unlink(tmp.c_str());
    return e;
  }
  return 0;
}

uint64_t ToU64(const Fields& f, const char* key, uint64_t fallback = 0) {
  auto it = f.find(key);
  if (it == f.end() || it->second.empty()) return fallback;
  return std::strtoull(it->second.c_str(), nullptr, 10);
}
uint32_t ToU32(const Fields& f, const char* key, uint32_t fallback = 0) {
  return static_cast<uint32_t>(ToU64(f, key, fallback));
}
std::string Str(const Fields& f, const char* key) {
  auto it = f.find(key);
  return it == f.end() ? std::string() : it->second;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// The start time of a live process (field 22 of /proc/<pid>/stat), which tells
// a process from a later one with the same id; 0 when it is gone or a zombie.
uint64_t ProcessStartTime(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return 0;
  const size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream rest(text.substr(close_paren + 1));
  std::string field;
  for (int index = 3; rest >> field; ++index) {
    if (index == 3 && (field == "Z" || field == "X" || field == "x")) return 0;
    if (index == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return 0;
}

bool ProcessAlive(uint64_t pid, uint64_t start_time) {
  if (pid == 0) return false;
  const uint64_t now_start = ProcessStartTime(static_cast<pid_t>(pid));
  return now_start != 0 && (start_time == 0 || now_start == start_time);
}

// An exclusive flock on the entry's lock file, held for a read-modify-write.
// Only the entry's owner may open the lock file (mode 0600), and the wait has
// a deadline: Result() is 0 when the lock is held, else the error. The
// monitor, which has nobody to report an error to, goes on without the lock
// after the deadline; the files it writes are replaced whole.
class EntryLock {
 public:
  explicit EntryLock(const std::string& folder)
      : result_(lock_.Take(folder + "/lock", true, true)) {}

  uint32_t Result() const { return result_; }
  // For a caller that only reads: a user who may not open the lock file
  // cannot change the entry either, and reads the files without it.
  uint32_t ReadResult() const { return result_ == err::kAccessDenied ? 0 : result_; }

 private:
  posix::FileLock lock_;  // released when the entry lock goes
  uint32_t result_ = 0;
};

void StatusToFields(const ServiceStatus& s, Fields& f) {
  f["type"] = std::to_string(s.service_type);
  f["state"] = std::to_string(s.current_state);
  f["accepted"] = std::to_string(s.controls_accepted);
  f["win32_exit"] = std::to_string(s.win32_exit_code);
  f["specific_exit"] = std::to_string(s.service_specific_exit_code);
  f["checkpoint"] = std::to_string(s.check_point);
  f["wait_hint"] = std::to_string(s.wait_hint);
}

ServiceStatus StatusFromFields(const Fields& f) {
  ServiceStatus s;
  s.service_type = ToU32(f, "type", kServiceOwnProcess);
  s.current_state = ToU32(f, "state", kServiceStopped);
  s.controls_accepted = ToU32(f, "accepted");
  s.win32_exit_code = ToU32(f, "win32_exit");
  s.service_specific_exit_code = ToU32(f, "specific_exit");
  s.check_point = ToU32(f, "checkpoint");
  s.wait_hint = ToU32(f, "wait_hint");
  return s;
}

void SetStopped(Fields& f, uint32_t win32_exit) {
  ServiceStatus s = StatusFromFields(f);
  s.current_state = kServiceStopped;
  s.controls_accepted = 0;
  s.check_point = 0;
  s.wait_hint = 0;
  s.win32_exit_code = win32_exit;
  s.service_specific_exit_code = 0;
  StatusToFields(s, f);
  f["pid"] = "0";
  f["pid_start"] = "0";
}

void SetStartPending(Fields& f) {
  ServiceStatus s = StatusFromFields(f);
  s.current_state = kServiceStartPending;
  s.controls_accepted = 0;
  s.check_point = 0;
  s.wait_hint = 2000;
  s.win32_exit_code = 0;
  s.service_specific_exit_code = 0;
  StatusToFields(s, f);
  f["pid"] = "0";
  f["pid_start"] = "0";
  f["dispatcher"] = "0";
  f["since"] = std::to_string(Now());
}

// Tells one run of a service (a start and the restarts of its monitor) from
// the next, so a monitor that ends late never touches a later run's status.
std::string NewRunId() {
  return std::to_string(getpid()) + "-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

// Removes the entry of a deleted service once it no longer runs.
void RemoveEntryIfDeleted(const std::string& folder) {
  if (!PathExists(folder + "/deleted")) return;
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

// Reads the status and, when the processes behind a running state are gone
// (killed without a monitor), records the service as stopped with 1067. Called
// with the entry lock held.
Fields ReadLiveStatus(const std::string& folder) {
  Fields f;
  ReadFields(folder + "/status", f);
  if (ToU32(f, "state", kServiceStopped) == kServiceStopped) return f;
  const bool alive = ProcessAlive(ToU64(f, "pid"), ToU64(f, "pid_start")) ||
                     ProcessAlive(ToU64(f, "monitor_pid"), ToU64(f, "monitor_start")) ||
                     (ToU64(f, "pid") == 0 && ToU64(f, "monitor_pid") == 0 &&
                      Now() - static_cast<int64_t>(ToU64(f, "since")) < kLaunchGraceSeconds);
  if (!alive) {
    SetStopped(f, kErrProcessAborted);
    f["monitor_pid"] = "0";
    WriteFields(folder + "/status", f);  // best effort: a reader without rights only sees it
  }
  return f;
}

// ---- Command lines --------------------------------------------------------

// Splits a command line the way the Windows loader does for an unquoted
// executable path that contains blanks: the shortest prefix that names an
// existing file is the program; the rest is split at blanks, with double
// quotes grouping.
std::vector<std::string> SplitArguments(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  bool in_quotes = false, have = false;
  for (char c : text) {
    if (c == '"') {
      in_quotes = !in_quotes;
      have = true;
    } else if ((c == ' ' || c == '\t') && !in_quotes) {
      if (have) out.push_back(cur);
      cur.clear();
      have = false;
    } else {
      cur += c;
      have = true;
    }
  }
  if (have) out.push_back(cur);
  return out;
}

std::vector<std::string> ParseCommandLine(const std::string& line) {
  size_t pos = 0;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  std::string program;
  std::string rest;
  if (pos < line.size() && line[pos] == '"') {
    const size_t end = line.find('"', pos + 1);
    program = line.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
    rest = end == std::string::npos ? std::string() : line.substr(end + 1);
  } else {
    size_t end = pos;
    for (;;) {
      end = line.find_first_of(" \t", end);
      const std::string candidate =
          line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      struct stat st {};
      if (end == std::string::npos || (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))) {
        program = candidate;
        rest = end == std::string::npos ? std::string() : line.substr(end);
        break;
      }
      ++end;
    }
  }
  std::vector<std::string> argv{program};
  for (auto& a : SplitArguments(rest)) argv.push_back(std::move(a));
  return argv;
}

// Launches a command line in its own session with the standard streams on
// /dev/null and the given role; 0 or an error number (2 when the program
// does not exist).
uint32_t SpawnDetached(const std::u16string& command_line, const char* role, pid_t& pid) {
  const std::vector<std::string> args = ParseCommandLine(Utf16ToUtf8(command_line));
  if (args.empty() || args[0].empty()) return err::kFileNotFound;
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const std::string role_entry = std::string(kRoleVariable) + "=" + role;
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, kRoleVariable, sizeof(kRoleVariable) - 1) == 0 &&
        (*e)[sizeof(kRoleVariable) - 1] == '=')
      continue;
    envp.push_back(*e);
  }
  envp.push_back(const_cast<char*>(role_entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  for (int fd = 0; fd < 3; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // A service does not keep the caller's working folder busy.
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? 0 : posix::ErrnoToWin32(rc);
}

// ---- The control socket ---------------------------------------------------

// Fills a socket address for path; long paths go through the folder's
// /proc/self/fd link, which dir_fd keeps open.
bool SocketAddress(const std::string& path, sockaddr_un& addr, socklen_t& len, int& dir_fd) {
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  std::string use = path;
  dir_fd = -1;
  if (use.size() >= sizeof(addr.sun_path)) {
    const size_t slash = path.rfind('/');
    dir_fd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return false;
    use = "/proc/self/fd/" + std::to_string(dir_fd) + path.substr(slash);
    if (use.size() >= sizeof(addr.sun_path)) return false;
  }
  std::memcpy(addr.sun_path, use.c_str(), use.size());
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + use.size() + 1);
  return true;
}

bool ReadAll(int fd, void* data, size_t size, int timeout_ms) {
  auto* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    pollfd pfd{fd, POLLIN, 0};
    const int r = poll(&pfd, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t n = recv(fd, p + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = send(fd, p + done, size - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Sends one control to the running service and waits for the handler to
// return; 0, 5, 1053, or 2 when nobody listens.
uint32_t SendControl(const std::string& folder, uint32_t control) {
  sockaddr_un addr{};
  socklen_t len = 0;
  int dir_fd = -1;
  if (!SocketAddress(folder + "/control.sock", addr, len, dir_fd)) return err::kFileNotFound;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  uint32_t result = 0;
  if (fd < 0) {
    result = posix::ErrnoToWin32(errno);
  } else if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    result = errno == EACCES || errno == EPERM ? err::kAccessDenied : err::kFileNotFound;
  } else {
    uint32_t reply = 0;
    if (!WriteAll(fd, &control, sizeof(control)))
      result = kErrServiceRequestTimeout;
    else if (!ReadAll(fd, &reply, sizeof(reply), static_cast<int>(kControlTimeoutMs)))
      result = kErrServiceRequestTimeout;
    else
      result = reply;
  }
  if (fd >= 0) close(fd);
  if (dir_fd >= 0) close(dir_fd);
  return result;
}

}  // namespace

// ---- ServiceManager -------------------------------------------------------

struct ServiceManager::Impl {
  uint32_t access = 0;
  bool open = false;
};

ServiceManager::ServiceManager() : impl_(std::make_unique<Impl>()) {}
ServiceManager::~ServiceManager() = default;
bool ServiceManager::IsOpen() const { return impl_->open; }

uint32_t ServiceManager::Open(uint32_t access) {
  impl_->open = false;
  const std::string db = DatabaseFolder();
  if (!PathExists(db)) {
    const uint32_t rc = posix::MakeNativeFolders(db);
    if (rc != 0 && rc != err::kAlreadyExists && (access & kManagerCreateService) != 0)
      return err::kAccessDenied;
  }
  if ((access & kManagerCreateService) != 0 && ::access(db.c_str(), W_OK) != 0)
    return err::kAccessDenied;
  impl_->access = access;
  impl_->open = true;
  return 0;
}

// ---- Service (controller side) --------------------------------------------

struct Service::Impl {
  std::string folder;
  std::u16string name;
  uint32_t access = 0;
  bool open = false;

  uint32_t Need(uint32_t bits) const {
    if (!open) return err::kInvalidHandle;
    return (access & bits) == bits ? 0 : err::kAccessDenied;
  }
  uint32_t EditConfig(uint32_t bits, const std::function<void(Fields&)>& edit) {
    if (uint32_t rc = Need(bits)) return rc;
    EntryLock lock(folder);
    if (uint32_t rc = lock.Result()) return rc;
    Fields f;
    if (!ReadFields(folder + "/config", f)) return err::kServiceDoesNotExist;
    edit(f);
    return WriteFields(folder + "/config", f);
  }
};

Service::Service() : impl_(std::make_unique<Impl>()) {}
Service::~Service() = default;
bool Service::IsOpen() const { return impl_->open; }
void Service::Close() { impl_->open = false; }

uint32_t Service::Open(ServiceManager& manager, std::u16string_view name, uint32_t access) {
  impl_->open = false;
  if (!manager.IsOpen()) return err::kInvalidHandle;
  if (!ValidName(name)) return kErrInvalidName;
  const std::string folder = EntryFolder(name);
  if (!PathExists(folder + "/config")) return err::kServiceDoesNotExist;
  constexpr uint32_t kWriting =
      kServiceChangeConfig | kServiceStart | kServiceStop | kServiceDelete;
  if ((access & kWriting) != 0 && ::access(folder.c_str(), W_OK) != 0) return err::kAccessDenied;
  impl_->folder = folder;
  impl_->name = std::u16string(name);
  impl_->access = access;
  impl_->open = true;
  return 0;
}

uint32_t Service::Create(ServiceManager& manager, std::u16string_view name,
                         const ServiceConfig& config, uint32_t access) {
  impl_->open = false;
  if (!manager.IsOpen()) return err::kInvalidHandle;
  if ((manager.impl()->access & kManagerCreateService) == 0) return err::kAccessDenied;
  if (!ValidName(name)) return kErrInvalidName;
  if (config.command_line.empty()) return err::kInvalidParameter;
  const std::string folder = EntryFolder(name);
  if (uint32_t rc = posix::MakeNativeFolders(folder); rc != 0 && rc != err::kAlreadyExists)
    return rc;
  EntryLock lock(folder);
  if (uint32_t rc = lock.Result()) return rc;
  if (PathExists(folder + "/config"))
    return PathExists(folder + "/deleted") ? kErrServiceMarkedForDelete : err::kServiceExists;
  // A service that has never run reads as stopped with 1077, as on Windows.
  Fields status;
  SetStopped(status, kErrServiceNeverStarted);
  if (uint32_t rc = WriteFields(folder + "/status", status)) return rc;
  Fields f;
  f["name"] = Utf16ToUtf8(name);
  f["display_name"] = Utf16ToUtf8(config.display_name);
  f["command_line"] = Utf16ToUtf8(config.command_line);
  f["type"] = std::to_string(config.service_type);
  f["start_type"] = std::to_string(static_cast<uint32_t>(config.start_type));
  f["error_control"] = std::to_string(config.error_control);
  // The config file appears last: its presence is what makes the service exist.
  if (uint32_t rc = WriteFields(folder + "/config", f)) return rc;
  impl_->folder = folder;
  impl_->name = std::u16string(name);
  impl_->access = access;
  impl_->open = true;
  return 0;
}

uint32_t Service::Delete() {
  if (uint32_t rc = impl_->Need(kServiceDelete)) return rc;
  const std::string& folder = impl_->folder;
  {
    EntryLock lock(folder);
    if (uint32_t rc = lock.Result()) return rc;
    if (!PathExists(folder + "/config")) return err::kServiceDoesNotExist;
    if (PathExists(folder + "/deleted")) return kErrServiceMarkedForDelete;
    const int fd = posix::OpenDataFile(folder + "/deleted", O_WRONLY | O_CREAT | O_CLOEXEC);
    if (fd < 0) return posix::ErrnoToWin32(errno);
    close(fd);
    const Fields status = ReadLiveStatus(folder);
    if (ToU32(status, "state", kServiceStopped) != kServiceStopped) return 0;
  }
  RemoveEntryIfDeleted(folder);
  return 0;
}

uint32_t Service::SetDescription(std::u16string_view description) {
  const std::string text = Utf16ToUtf8(description);
  return impl_->EditConfig(kServiceChangeConfig, [&](Fields& f) { f["description"] = text; });
}

uint32_t Service::SetFailureActions(const ServiceFailureActions& actions) {
  // Restart actions need start access, as on Windows.
  for (const auto& a : actions.actions) {
    if (a.type == ServiceFailureAction::Type::kRestart) {
      if (uint32_t rc = impl_->Need(kServiceStart)) return rc;
    }
  }
  return impl_->EditConfig(kServiceChangeConfig, [&](Fields& f) {
    f["reset_period"] = std::to_string(actions.reset_period_s);
    f["reboot_message"] = Utf16ToUtf8(actions.reboot_message);
    f["failure_command"] = Utf16ToUtf8(actions.command);
    std::string list;
    for (const auto& a : actions.actions) {
      if (!list.empty()) list += ',';
      list += std::to_string(static_cast<uint32_t>(a.type)) + ":" + std::to_string(a.delay_ms);
    }
    f["failure_actions"] = list;
  });
}

uint32_t Service::SetStartType(ServiceStartType start_type) {
  if (static_cast<uint32_t>(start_type) > 4) return err::kInvalidParameter;
  return impl_->EditConfig(kServiceChangeConfig, [&](Fields& f) {
    f["start_type"] = std::to_string(static_cast<uint32_t>(start_type));
  });
}

uint32_t Service::QueryConfig(ServiceConfig& config) {
  if (uint32_t rc = impl_->Need(kServiceQueryConfig)) return rc;
  Fields f;
  if (!ReadFields(impl_->folder + "/config", f)) return err::kServiceDoesNotExist;
  config.service_type = ToU32(f, "type", kServiceOwnProcess);
  config.start_type = static_cast<ServiceStartType>(ToU32(f, "start_type", 3));
  config.error_control = ToU32(f, "error_control", kServiceErrorNormal);
  config.command_line = Utf8ToUtf16(Str(f, "command_line"));
  config.display_name = Utf8ToUtf16(Str(f, "display_name"));
  return 0;
}

uint32_t Service::QueryDescription(std::u16string& description) {
  if (uint32_t rc = impl_->Need(kServiceQueryConfig)) return rc;
  Fields f;
  if (!ReadFields(impl_->folder + "/config", f)) return err::kServiceDoesNotExist;
  description = Utf8ToUtf16(Str(f, "description"));
  return 0;
}

namespace {

ServiceFailureActions FailureActionsFromFields(const Fields& f) {
  ServiceFailureActions out;
  out.reset_period_s = ToU32(f, "reset_period");
  out.reboot_message = Utf8ToUtf16(Str(f, "reboot_message"));
  out.command = Utf8ToUtf16(Str(f, "failure_command"));
  std::istringstream list(Str(f, "failure_actions"));
  std::string item;
  while (std::getline(list, item, ',')) {
    const size_t colon = item.find(':');
    if (colon == std::string::npos) continue;
    ServiceFailureAction a;
    a.type = static_cast<ServiceFailureAction::Type>(std::strtoul(item.c_str(), nullptr, 10));
    a.delay_ms = static_cast<uint32_t>(std::strtoul(item.c_str() + colon + 1, nullptr, 10));
    out.actions.push_back(a);
  }
  return out;
}

}  // namespace

uint32_t Service::QueryFailureActions(ServiceFailureActions& actions) {
  if (uint32_t rc = impl_->Need(kServiceQueryConfig)) return rc;
  Fields f;
  if (!ReadFields(impl_->folder + "/config", f)) return err::kServiceDoesNotExist;
  actions = FailureActionsFromFields(f);
  return 0;
}

uint32_t Service::QueryStatus(ServiceStatus& status) {
  if (uint32_t rc = impl_->Need(kServiceQueryStatus)) return rc;
  if (!PathExists(impl_->folder + "/config")) return err::kServiceDoesNotExist;
  Fields f;
  {
    EntryLock lock(impl_->folder);
    if (uint32_t rc = lock.ReadResult()) return rc;
    f = ReadLiveStatus(impl_->folder);
  }
  status = StatusFromFields(f);
  if (status.current_state == kServiceStopped) RemoveEntryIfDeleted(impl_->folder);
  return 0;
}

uint32_t Service::Start() {
  if (uint32_t rc = impl_->Need(kServiceStart)) return rc;
  const std::string& folder = impl_->folder;
  std::u16string command_line;
  {
    EntryLock lock(folder);
    if (uint32_t rc = lock.Result()) return rc;
    Fields config;
    if (!ReadFields(folder + "/config", config)) return err::kServiceDoesNotExist;
    if (PathExists(folder + "/deleted")) return kErrServiceMarkedForDelete;
    if (ToU32(config, "start_type", 3) == static_cast<uint32_t>(ServiceStartType::kDisabled))
      return kErrServiceDisabled;
    Fields status = ReadLiveStatus(folder);
    if (ToU32(status, "state", kServiceStopped) != kServiceStopped)
      return err::kServiceAlreadyRunning;
    SetStartPending(status);
    status["run"] = NewRunId();
    status["monitor_pid"] = "0";
    status["monitor_start"] = "0";
    if (uint32_t rc = WriteFields(folder + "/status", status)) return rc;
    command_line = Utf8ToUtf16(Str(config, "command_line"));
  }

  pid_t child = 0;
  if (uint32_t rc = SpawnDetached(command_line, "monitor", child)) {
    EntryLock lock(folder);
    Fields status;
    ReadFields(folder + "/status", status);
    SetStopped(status, 0);
    WriteFields(folder + "/status", status);
    return rc;
  }

  // The launched process forks its monitor and ends; the service proper then
  // connects its dispatcher, which is when a start counts as done.
  bool reaped = false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!reaped && waitpid(child, nullptr, WNOHANG) == child) reaped = true;
    {
      EntryLock lock(folder);
      if (lock.Result() != 0) continue;  // waited already; the start deadline still holds
      Fields status;
      ReadFields(folder + "/status", status);
      if (ToU32(status, "dispatcher") == 1) break;
      if (ToU32(status, "state", kServiceStopped) == kServiceStopped) {
        const uint32_t code = ToU32(status, "win32_exit");
        return code != 0 ? code : kErrProcessAborted;
      }
      if (reaped && ToU64(status, "monitor_pid") == 0 && ToU64(status, "pid") == 0) {
        // The program ended without becoming a service.
        SetStopped(status, kErrProcessAborted);
        WriteFields(folder + "/status", status);
        return kErrProcessAborted;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!reaped && waitpid(child, nullptr, WNOHANG) != child) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      EntryLock lock(folder);
      Fields status;
      ReadFields(folder + "/status", status);
      if (ToU32(status, "dispatcher") != 1) {
        SetStopped(status, kErrServiceRequestTimeout);
        WriteFields(folder + "/status", status);
        return kErrServiceRequestTimeout;
      }
      return 0;
    }
    // The launcher ends right after it has forked the monitor.
    waitpid(child, nullptr, 0);
  }
  return 0;
}

uint32_t Service::Control(uint32_t control, ServiceStatus& status) {
  uint32_t need = kServiceInterrogate;
  if (control == kServiceControlStop)
    need = kServiceStop;
  else if (control == kServiceControlPause || control == kServiceControlContinue)
    need = 0x0040;
  if (control == 0 || (control > kServiceControlInterrogate && control < 128) || control > 255)
    return err::kInvalidParameter;
  if (uint32_t rc = impl_->Need(need == 0x0040 ? 0 : need)) return rc;
  const std::string& folder = impl_->folder;
  Fields f;
  {
    EntryLock lock(folder);
    if (uint32_t lock_rc = lock.ReadResult()) return lock_rc;
    f = ReadLiveStatus(folder);
  }
  status = StatusFromFields(f);
  if (status.current_state == kServiceStopped) return err::kServiceNotActive;
  const bool pending = status.current_state == kServiceStartPending ||
                       status.current_state == kServiceStopPending ||
                       status.current_state == kServicePausePending ||
                       status.current_state == kServiceContinuePending;
  uint32_t accept_bit = 0;
  if (control == kServiceControlStop) accept_bit = kServiceAcceptStop;
  if (control == kServiceControlPause || control == kServiceControlContinue)
    accept_bit = kServiceAcceptPauseContinue;
  if (accept_bit != 0 && (status.controls_accepted & accept_bit) == 0)
    return pending ? err::kServiceCannotAcceptCtrl : kErrInvalidServiceControl;
  if (control != kServiceControlInterrogate && ToU32(f, "dispatcher") != 1)
    return err::kServiceCannotAcceptCtrl;

  uint32_t rc = SendControl(folder, control);
  if (rc == err::kFileNotFound) {
    // No control socket: a service that is still starting, or one that runs
    // outside the emulation's launch; SIGTERM is its stop control as well.
    const uint64_t pid = ToU64(f, "pid");
    if (control == kServiceControlStop && ProcessAlive(pid, ToU64(f, "pid_start"))) {
      rc = kill(static_cast<pid_t>(pid), SIGTERM) == 0 ? 0 : posix::ErrnoToWin32(errno);
    } else {
      rc = control == kServiceControlInterrogate ? 0 : err::kServiceCannotAcceptCtrl;
    }
  }
  {
    EntryLock lock(folder);
    if (rc == 0) rc = lock.ReadResult();
    status = StatusFromFields(ReadLiveStatus(folder));
  }
  return rc;
}

// ---- The service side -----------------------------------------------------

namespace {

struct DispatcherState {
  std::mutex mu;
  bool active = false;
  std::u16string name;
  std::string folder;  // empty when the service is not registered
  std::string run;     // the run of the service this process serves
  ServiceControlHandler handler = nullptr;
  int wake_write = -1;  // the dispatcher loop's self-pipe
};

DispatcherState& Dispatcher() {
  static DispatcherState state;
  return state;
}

std::atomic<int> g_signal_fd{-1};

void OnStopSignal(int) {
  const int saved = errno;
  const int fd = g_signal_fd.load();
  if (fd >= 0) {
    const char c = 'T';
    [[maybe_unused]] ssize_t n = write(fd, &c, 1);
  }
  errno = saved;
}

void Wake(char why) {
  DispatcherState& d = Dispatcher();
  if (d.wake_write >= 0) {
    [[maybe_unused]] ssize_t n = write(d.wake_write, &why, 1);
  }
}

// The controls that this service accepts right now, from its last report.
uint32_t AcceptedNow(const std::string& folder) {
  if (folder.empty()) return kServiceAcceptStop;
  EntryLock lock(folder);
  Fields f;
  ReadFields(folder + "/status", f);
  return ToU32(f, "accepted");
}

void DeliverControl(uint32_t control) {
  DispatcherState& d = Dispatcher();
  ServiceControlHandler handler;
  {
    std::lock_guard lk(d.mu);
    handler = d.handler;
  }
  if (handler != nullptr) handler(control);
}

void ServeControlConnection(int listen_fd, const std::string& folder) {
  const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  ucred cred{};
  socklen_t len = sizeof(cred);
  uint32_t reply = 0;
  uint32_t control = 0;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
      (cred.uid != 0 && cred.uid != geteuid())) {
    reply = err::kAccessDenied;
  } else if (!ReadAll(fd, &control, sizeof(control), 5000)) {
    close(fd);
    return;
  } else if (control == kServiceControlStop && (AcceptedNow(folder) & kServiceAcceptStop) == 0) {
    reply = err::kServiceCannotAcceptCtrl;
  } else {
    DeliverControl(control);
  }
  WriteAll(fd, &reply, sizeof(reply));
  close(fd);
}

int ListenControlSocket(const std::string& folder) {
  const std::string path = folder + "/control.sock";
  sockaddr_un addr{};
  socklen_t len = 0;
  int dir_fd = -1;
  if (!SocketAddress(path, addr, len, dir_fd)) return -1;
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    // Only the owner (and root) may connect; the peer is checked again on accept.
    const mode_t old = umask(0177);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(fd, 8) == 0;
    umask(old);
    if (!ok) {
      close(fd);
      fd = -1;
    }
  }
  if (dir_fd >= 0) close(dir_fd);
  return fd;
}

// The process that Start launched: forks the monitor and ends.
uint32_t RunLauncher(const std::string& folder) {
  if (folder.empty()) return kErrFailedServiceControllerConnect;
  Fields config;
  if (!ReadFields(folder + "/config", config)) return err::kServiceDoesNotExist;
  const std::u16string command_line = Utf8ToUtf16(Str(config, "command_line"));
  const pid_t monitor = fork();
  if (monitor < 0) return posix::ErrnoToWin32(errno);
  if (monitor > 0) {
    EntryLock lock(folder);
    Fields status;
    ReadFields(folder + "/status", status);
    status["monitor_pid"] = std::to_string(monitor);
    status["monitor_start"] = std::to_string(ProcessStartTime(monitor));
    WriteFields(folder + "/status", status);
    return 0;
  }

  // The monitor. It never starts a thread, so it stays safe to fork from.
  // SIGTERM and SIGINT go on to the service; between two runs they cancel
  // the pending restart.
  static std::atomic<pid_t> current_child{0};
  static std::atomic<bool> stop_requested{false};
  struct sigaction sa {};
  sa.sa_handler = [](int sig) {
    const pid_t c = current_child.load();
    if (c > 0)
      kill(c, sig);
    else
      stop_requested = true;
  };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  std::string run;
  {
    EntryLock lock(folder);
    Fields status;
    ReadFields(folder + "/status", status);
    run = Str(status, "run");
  }
  for (;;) {
    pid_t child = 0;
    Fields now_config;
    ReadFields(folder + "/config", now_config);
    const std::u16string line = Utf8ToUtf16(Str(now_config, "command_line"));
    if (uint32_t rc = SpawnDetached(line.empty() ? command_line : line, "service", child)) {
      EntryLock lock(folder);
      Fields status;
      ReadFields(folder + "/status", status);
      if (Str(status, "run") != run) _exit(0);
      SetStopped(status, rc);
      status["monitor_pid"] = "0";
      WriteFields(folder + "/status", status);
      _exit(0);
    }
    current_child = child;
    int wstatus = 0;
    while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    current_child = 0;

    uint32_t delay_ms = 0;
    {
      EntryLock lock(folder);
      Fields status;
      ReadFields(folder + "/status", status);
      // A later start owns the status now.
      if (Str(status, "run") != run) _exit(0);
      const bool connected = ToU32(status, "dispatcher") == 1;
      const bool stopped = ToU32(status, "state", kServiceStopped) == kServiceStopped;
      if (stopped && connected) {
        status["monitor_pid"] = "0";
        WriteFields(folder + "/status", status);
        RemoveEntryIfDeleted(folder);
        _exit(0);
      }
      SetStopped(status, kErrProcessAborted);
      const bool deleted = PathExists(folder + "/deleted");
      // A process that never ran its dispatcher failed to start; only a
      // service that ran and then died is recovered.
      const ServiceFailureActions actions = FailureActionsFromFields(now_config);
      bool restart = false;
      if (connected && !deleted && !actions.actions.empty()) {
        Fields failures;
        ReadFields(folder + "/failures", failures);
        uint64_t count = ToU64(failures, "count");
        const int64_t last = static_cast<int64_t>(ToU64(failures, "last"));
        if (actions.reset_period_s != 0 &&
            Now() - last > static_cast<int64_t>(actions.reset_period_s))
          count = 0;
        ++count;
        failures["count"] = std::to_string(count);
        failures["last"] = std::to_string(Now());
        WriteFields(folder + "/failures", failures);
        const size_t index = std::min<size_t>(count, actions.actions.size()) - 1;
        const ServiceFailureAction& action = actions.actions[index];
        // Reboot and command actions are not carried out by the emulation.
        if (action.type == ServiceFailureAction::Type::kRestart) {
          restart = true;
          delay_ms = action.delay_ms;
        }
      }
      if (!restart) {
        status["monitor_pid"] = "0";
        WriteFields(folder + "/status", status);
        if (deleted) {
          std::error_code ec;
          std::filesystem::remove_all(folder, ec);
        }
        _exit(0);
      }
      WriteFields(folder + "/status", status);
    }
    if (delay_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    if (stop_requested) _exit(0);
    {
      EntryLock lock(folder);
      Fields status;
      ReadFields(folder + "/status", status);
      // Nobody else may have started, stopped for good or deleted it meanwhile.
      if (!PathExists(folder + "/config") || PathExists(folder + "/deleted") ||
          ToU32(status, "state", kServiceStopped) != kServiceStopped || Str(status, "run") != run)
        _exit(0);
      SetStartPending(status);
      WriteFields(folder + "/status", status);
    }
  }
}

}  // namespace

uint32_t RunServiceDispatcher(std::u16string_view service_name, ServiceMainFunction main) {
  if (!ValidName(service_name) || main == nullptr) return err::kInvalidParameter;
  std::string role;
  if (const char* r = std::getenv(kRoleVariable)) role = r;
  unsetenv(kRoleVariable);

  std::string folder = EntryFolder(service_name);
  if (!PathExists(folder + "/config")) folder.clear();
  if (role == "monitor") return RunLauncher(folder);

  DispatcherState& d = Dispatcher();
  {
    std::lock_guard lk(d.mu);
    if (d.active) return kErrFailedServiceControllerConnect;
  }
  std::string run;

  // Register this process as the service's process.
  if (!folder.empty()) {
    EntryLock lock(folder);
    if (uint32_t rc = lock.Result()) return rc;
    Fields status = ReadLiveStatus(folder);
    const uint64_t pid = ToU64(status, "pid");
    if (ToU32(status, "state", kServiceStopped) != kServiceStopped && pid != 0 &&
        pid != static_cast<uint64_t>(getpid()) && ProcessAlive(pid, ToU64(status, "pid_start")))
      return err::kServiceAlreadyRunning;
    if (ToU32(status, "state", kServiceStopped) == kServiceStopped) {
      SetStartPending(status);
      status["run"] = NewRunId();
    }
    if (role != "service") {
      status["monitor_pid"] = "0";
      status["monitor_start"] = "0";
    }
    status["pid"] = std::to_string(getpid());
    status["pid_start"] = std::to_string(ProcessStartTime(getpid()));
    status["dispatcher"] = "1";
    WriteFields(folder + "/status", status);
    run = Str(status, "run");
  }

  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return posix::ErrnoToWin32(errno);
  {
    std::lock_guard lk(d.mu);
    d.active = true;
    d.name = std::u16string(service_name);
    d.folder = folder;
    d.run = run;
    d.handler = nullptr;
    d.wake_write = wake[1];
  }
  g_signal_fd = wake[1];
  struct sigaction sa {
  }, old_term{}, old_int{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, &old_term);
  sigaction(SIGINT, &sa, &old_int);

  const int listen_fd = folder.empty() ? -1 : ListenControlSocket(folder);

  std::thread main_thread([main] {
    main();
    Wake('M');
  });

  for (bool done = false; !done;) {
    pollfd fds[2] = {{wake[0], POLLIN, 0}, {listen_fd, POLLIN, 0}};
    const int n = poll(fds, listen_fd >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      char buf[16];
      const ssize_t got = read(wake[0], buf, sizeof(buf));
      for (ssize_t i = 0; i < got; ++i) {
        if (buf[i] == 'T') DeliverControl(kServiceControlStop);
        if (buf[i] == 'S' || buf[i] == 'M') done = true;
      }
    }
    if (!done && listen_fd >= 0 && (fds[1].revents & POLLIN))
      ServeControlConnection(listen_fd, folder);
  }
  main_thread.join();

  if (listen_fd >= 0) {
    close(listen_fd);
    unlink((folder + "/control.sock").c_str());
  }
  sigaction(SIGTERM, &old_term, nullptr);
  sigaction(SIGINT, &old_int, nullptr);
  g_signal_fd = -1;
  {
    std::lock_guard lk(d.mu);
    d.active = false;
    d.handler = nullptr;
    d.wake_write = -1;
  }
  close(wake[0]);
  close(wake[1]);
  if (!folder.empty()) {
    bool stopped = false;
    {
      EntryLock lock(folder);
      Fields status;
      ReadFields(folder + "/status", status);
      stopped = ToU32(status, "state", kServiceStopped) == kServiceStopped;
      // Once stopped, a new start may already own the status.
      if (!stopped && Str(status, "run") == run) {
        // The main function returned without reporting stopped.
        SetStopped(status, 0);
        WriteFields(folder + "/status", status);
        stopped = true;
      }
    }
    // A monitor removes a deleted entry itself once the process is gone.
    if (role != "service") RemoveEntryIfDeleted(folder);
  }
  return 0;
}

uint32_t RegisterServiceControlHandler(std::u16string_view service_name,
                                       ServiceControlHandler handler, ServiceStatusHandle& handle) {
  DispatcherState& d = Dispatcher();
  std::lock_guard lk(d.mu);
  if (!d.active || !EqualsNoCase(service_name, d.name)) return kErrFailedServiceControllerConnect;
  d.handler = handler;
  handle = ServiceStatusHandle(1);
  return 0;
}

uint32_t ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (!handle.IsValid()) return err::kInvalidHandle;
  DispatcherState& d = Dispatcher();
  std::string folder, run;
  {
    std::lock_guard lk(d.mu);
    if (!d.active) return err::kInvalidHandle;
    folder = d.folder;
    run = d.run;
  }
  if (status.current_state < kServiceStopped || status.current_state > kServicePaused)
    return err::kInvalidParameter;
  uint32_t rc = 0;
  if (!folder.empty()) {
    EntryLock lock(folder);
    if (uint32_t lock_rc = lock.Result()) return lock_rc;
    Fields f;
    ReadFields(folder + "/status", f);
    // After this process reported stopped, a new start owns the status.
    if (Str(f, "run") != run) return 0;
    StatusToFields(status, f);
    if (status.current_state == kServiceStopped) {
      f["pid"] = "0";
      f["pid_start"] = "0";
    }
    rc = WriteFields(folder + "/status", f);
  }
  if (status.current_state == kServiceStopped) Wake('S');
  return rc;
}

uint32_t ExecutablePath(std::u16string& path, uint32_t max_chars) {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n < 0) return posix::ErrnoToWin32(errno);
  std::u16string p = Utf8ToUtf16(std::string_view(buf, static_cast<size_t>(n)));
  if (max_chars == 0 || p.size() >= max_chars) return err::kInsufficientBuffer;
  path = std::move(p);
  return 0;
}

std::u16string ReadProductVersion(std::u16string_view) { return Utf8ToUtf16(CVN_PRODUCT_VERSION); }

}  // namespace cvn::platform
