// Pipes as Unix domain stream sockets in <machine root>/pipes/.
//
// A server pipe owns one I/O thread that owns every descriptor: it accepts,
// reads and writes with non-blocking sockets, and sets the completion event
// when the pending operation ends. The other threads only post requests and
// wake it through a self-pipe, so no descriptor is closed while it is polled.
//
// A named pipe has one instance; a stream socket would queue further clients
// in its backlog. So the server answers every accepted connection with one
// byte: 1 when it takes the client, and closes at once (no byte) when it is
// busy with another one; ClientPipe::Open waits for that byte.
//
// The name is held with an exclusive lock on "<name>.lock" next to the
// socket, so a second server fails as busy and a stale socket left by a
// crashed server can be removed safely.
#include "platform/pipe.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/posix/machine_root.h"

namespace cvn::platform {
namespace {

constexpr uint8_t kAcceptByte = 1;
constexpr char kAdminGroup[] = "corvane";
constexpr uint32_t kInvalidName = 123;  // ERROR_INVALID_NAME

// "\\.\pipe\NAME" -> "NAME"; empty when the name is not a local pipe name.
std::string PipeLeafName(std::u16string_view name) {
  constexpr std::u16string_view kPrefix = u"\\\\.\\pipe\\";
  if (name.size() <= kPrefix.size() || !EqualsNoCase(name.substr(0, kPrefix.size()), kPrefix))
    return {};
  std::string leaf = Utf16ToUtf8(name.substr(kPrefix.size()));
  if (leaf == "." || leaf == ".." || leaf.find_first_of("/\\") != std::string::npos ||
      leaf.find('\0') != std::string::npos) {
    return {};
  }
  return leaf;
}

std::string PipeFolder() { return posix::MachineRoot() + "/pipes"; }

// A folder we may put sockets in or connect through: a real folder of root or
// of the calling user.
uint32_t CheckFolder(const std::string& folder, struct stat* st) {
  if (lstat(folder.c_str(), st) != 0) return posix::ErrnoToWin32(errno);
  if (!S_ISDIR(st->st_mode)) return err::kAccessDenied;
  if (st->st_uid != geteuid() && st->st_uid != 0) return err::kAccessDenied;
  return err::kSuccess;
}

// Creates the pipe folder and narrows its access: root and the administrators'
// group when run as root, the owner alone otherwise.
uint32_t PreparePipeFolder(const std::string& folder, struct stat* st) {
  const uint32_t made = posix::MakeNativeFolders(folder);
  if (made != err::kSuccess && made != err::kAlreadyExists) return made;
  if (const uint32_t rc = CheckFolder(folder, st); rc != err::kSuccess) return rc;
  if (st->st_uid != geteuid()) return err::kSuccess;  // root's folder, used by a group member
  mode_t mode = 0700;
  if (geteuid() == 0) {
    if (const struct group* gr = getgrnam(kAdminGroup); gr != nullptr) {
      if (chown(folder.c_str(), 0, gr->gr_gid) == 0) mode = 0770;
    }
  }
  if (chmod(folder.c_str(), mode) != 0) return posix::ErrnoToWin32(errno);
  return lstat(folder.c_str(), st) == 0 ? err::kSuccess : posix::ErrnoToWin32(errno);
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr->sun_path)) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Waits for fd to become ready for events within the remaining time:
// 1 ready, 0 time-out, -1 error.
int PollUntil(int fd, short events, uint32_t timeout_ms,
              std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms != kInfinite) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      wait_ms = left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
    }
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, wait_ms);
    if (n > 0) return 1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// One attempt to be taken by the server: connect, then wait for its accept
// byte (the end without it means busy).
uint32_t ConnectOnce(const sockaddr_un& addr, uint32_t timeout_ms,
                     std::chrono::steady_clock::time_point deadline, int* out) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return posix::ErrnoToWin32(errno);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    const int e = errno;
    close(fd);
    switch (e) {
      case ENOENT:
      case ECONNREFUSED: return err::kFileNotFound;  // no server, or one that is gone
      case EAGAIN: return pipe_err::kPipeBusy;
      default: return posix::ErrnoToWin32(e);
    }
  }
  for (;;) {
    const int ready = PollUntil(fd, POLLIN, timeout_ms, deadline);
    if (ready <= 0) break;
    uint8_t answer = 0;
    const ssize_t n = recv(fd, &answer, 1, 0);
    if (n == 1 && answer == kAcceptByte) {
      *out = fd;
      return err::kSuccess;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    break;
  }
  close(fd);
  return pipe_err::kPipeBusy;
}

}  // namespace

// ---------------------------------------------------------------------------
// Server

struct ServerPipe::Impl {
  enum class Op { kNone, kConnect, kRead, kWrite };

  std::mutex mu;
  std::condition_variable cv;
  std::thread io;
  Event completion{Event::Mode::kManualReset};

  std::string socket_path;
  int listen_fd = -1;
  int conn_fd = -1;
  int lock_fd = -1;
  int wake_rd = -1;
  int wake_wr = -1;

  // The connected client's credentials, taken when it was accepted.
  bool has_peer = false;
  ucred peer{};

  Op op = Op::kNone;
  bool done = false;
  uint32_t error = 0;
  size_t moved = 0;
  std::vector<uint8_t> out;
  size_t out_pos = 0;
  std::vector<uint8_t> in;
  size_t want = 0;

  bool quit = false;
  uint64_t drops_requested = 0;
  uint64_t drops_done = 0;

  void Wake() {
    const char b = 1;
    [[maybe_unused]] ssize_t n = write(wake_wr, &b, 1);  // a full pipe already wakes the thread
  }

  // Caller holds mu.
  void Complete(uint32_t err, size_t n) {
    done = true;
    error = err;
    moved = n;
    completion.Set();
  }

  void ClearOp() {
    op = Op::kNone;
    done = false;
    error = 0;
    moved = 0;
    completion.Reset();
  }

  void OnListenReady() {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (conn_fd < 0 && op == Op::kConnect && !done &&
        send(fd, &kAcceptByte, 1, MSG_NOSIGNAL) == 1) {
      conn_fd = fd;
      socklen_t size = sizeof peer;
      has_peer = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
      Complete(err::kSuccess, 0);
      return;
    }
    close(fd);  // busy: the client sees the end without the accept byte
  }

  void OnConnReady() {
    if (op == Op::kRead) {
      in.resize(want);
      const ssize_t n = recv(conn_fd, in.data(), want, 0);
      if (n > 0) {
        in.resize(static_cast<size_t>(n));
        Complete(err::kSuccess, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        in.clear();
        Complete(pipe_err::kBrokenPipe, 0);
      }
      return;
    }
    while (out_pos < out.size()) {
      const ssize_t n = send(conn_fd, out.data() + out_pos, out.size() - out_pos, MSG_NOSIGNAL);
      if (n > 0) {
        out_pos += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      Complete(pipe_err::kNoData, 0);
      return;
    }
    Complete(err::kSuccess, out.size());
  }

  void Run() {
    std::unique_lock lk(mu);
    while (!quit) {
      if (drops_done < drops_requested) {
        CloseFd(conn_fd);
        ClearOp();
        drops_done = drops_requested;
        cv.notify_all();
        continue;
      }
      pollfd fds[3];
      nfds_t n = 0;
      fds[n++] = {wake_rd, POLLIN, 0};
      int li = -1;
      int ci = -1;
      const bool accepting = conn_fd < 0 && op == Op::kConnect && !done;
      if (accepting || conn_fd >= 0) {
        li = static_cast<int>(n);
        fds[n++] = {listen_fd, POLLIN, 0};
      }
      if (conn_fd >= 0 && !done && (op == Op::kRead || op == Op::kWrite)) {
        ci = static_cast<int>(n);
        fds[n++] = {conn_fd, static_cast<short>(op == Op::kRead ? POLLIN : POLLOUT), 0};
      }
      lk.unlock();
      const int ready = poll(fds, n, -1);
      lk.lock();
      if (ready <= 0) continue;
      if (fds[0].revents != 0) {
        char buf[64];
        while (read(wake_rd, buf, sizeof(buf)) > 0) {
        }
      }
      // Requests posted meanwhile (drop, quit) go first; the descriptors in
      // fds are still open because only this thread closes them.
      if (quit || drops_done < drops_requested) continue;
      if (ci >= 0 && fds[ci].revents != 0 && conn_fd >= 0 && !done) OnConnReady();
      if (li >= 0 && fds[li].revents != 0) OnListenReady();
    }
    CloseFd(conn_fd);
    CloseFd(listen_fd);
  }
};

ServerPipe::ServerPipe() : impl_(std::make_unique<Impl>()) {}

ServerPipe::~ServerPipe() { Close(); }

uint32_t ServerPipe::Create(std::u16string_view name) {
  if (IsOpen()) return err::kAlreadyExists;
  const std::string leaf = PipeLeafName(name);
  if (leaf.empty()) return kInvalidName;
  const std::string folder = PipeFolder();
  struct stat dir_st {};
  if (const uint32_t rc = PreparePipeFolder(folder, &dir_st); rc != err::kSuccess) return rc;
  const std::string path = folder + "/" + leaf;
  sockaddr_un addr{};
  if (!FillAddress(path, &addr)) return pipe_err::kFilenameTooLong;

  // The name's lock: held for the life of the pipe.
  const std::string lock_path = path + ".lock";
  int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock_fd < 0) return posix::ErrnoToWin32(errno);
  struct stat st {};
  if (fstat(lock_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(lock_fd);
    return err::kAccessDenied;
  }
  if (flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    close(lock_fd);
    return e == EWOULDBLOCK ? pipe_err::kPipeBusy : posix::ErrnoToWin32(e);
  }

  // A socket left by a server that ended without removing it is ours to
  // replace; anything else under that name is not.
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid() || unlink(path.c_str()) != 0) {
      close(lock_fd);
      return err::kAccessDenied;
    }
  } else if (errno != ENOENT) {
    const int e = errno;
    close(lock_fd);
    return posix::ErrnoToWin32(e);
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int e = errno;
    close(lock_fd);
    return posix::ErrnoToWin32(e);
  }
  // The group may use the socket only where the folder lets it in.
  const bool group_access = (dir_st.st_mode & 0070) != 0;
  const mode_t old_mask = umask(0177);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  const int bind_errno = errno;
  umask(old_mask);
  if (bound != 0 || listen(fd, 4) != 0) {
    const int e = bound != 0 ? bind_errno : errno;
    close(fd);
    if (bound == 0) unlink(path.c_str());
    close(lock_fd);
    return posix::ErrnoToWin32(e);
  }
  if (group_access) {
    [[maybe_unused]] int rc = chown(path.c_str(), geteuid(), dir_st.st_gid);
    chmod(path.c_str(), 0660);
  }

  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    const int e = errno;
    close(fd);
    unlink(path.c_str());
    close(lock_fd);
    return posix::ErrnoToWin32(e);
  }

  Impl& s = *impl_;
  {
    std::lock_guard lk(s.mu);
    s.socket_path = path;
    s.listen_fd = fd;
    s.lock_fd = lock_fd;
    s.wake_rd = wake[0];
    s.wake_wr = wake[1];
    s.quit = false;
    s.ClearOp();
  }
  try {
    s.io = std::thread([&s] { s.Run(); });
  } catch (const std::system_error&) {
    std::lock_guard lk(s.mu);
    CloseFd(s.listen_fd);
    unlink(path.c_str());
    CloseFd(s.lock_fd);
    CloseFd(s.wake_rd);
    CloseFd(s.wake_wr);
    return err::kNotEnoughMemory;
  }
  return err::kSuccess;
}

bool ServerPipe::IsOpen() const { return impl_->io.joinable(); }

void ServerPipe::Close() {
  Impl& s = *impl_;
  if (!s.io.joinable()) return;
  {
    std::lock_guard lk(s.mu);
    s.quit = true;
    s.Wake();
  }
  s.io.join();
  std::lock_guard lk(s.mu);
  // Remove the socket before giving up the lock, so the next server finds
  // the name free.
  unlink(s.socket_path.c_str());
  s.socket_path.clear();
  CloseFd(s.lock_fd);
  CloseFd(s.wake_rd);
  CloseFd(s.wake_wr);
  s.ClearOp();
}

uint32_t ServerPipe::BeginConnect() {
  Impl& s = *impl_;
  std::lock_guard lk(s.mu);
  if (!s.io.joinable()) return err::kInvalidHandle;
  if (s.op != Impl::Op::kNone) return pipe_err::kIoPending;
  s.ClearOp();
  s.op = Impl::Op::kConnect;
  if (s.conn_fd >= 0) {
    s.Complete(err::kSuccess, 0);
  } else {
    s.Wake();
  }
  return err::kSuccess;
}

uint32_t ServerPipe::BeginRead(size_t max_bytes) {
  Impl& s = *impl_;
  std::lock_guard lk(s.mu);
  if (!s.io.joinable()) return err::kInvalidHandle;
  if (s.op != Impl::Op::kNone) return pipe_err::kIoPending;
  if (s.conn_fd < 0) return pipe_err::kPipeNotConnected;
  if (max_bytes == 0) return err::kInvalidParameter;
  s.ClearOp();
  s.op = Impl::Op::kRead;
  s.want = std::min(max_bytes, kPipeChunkSize);
  s.Wake();
  return err::kSuccess;
}

uint32_t ServerPipe::BeginWrite(std::span<const uint8_t> bytes) {
  Impl& s = *impl_;
  std::lock_guard lk(s.mu);
  if (!s.io.joinable()) return err::kInvalidHandle;
  if (s.op != Impl::Op::kNone) return pipe_err::kIoPending;
  if (s.conn_fd < 0) return pipe_err::kPipeNotConnected;
  s.ClearOp();
  s.op = Impl::Op::kWrite;
  s.out.assign(bytes.begin(), bytes.end());
  s.out_pos = 0;
  if (s.out.empty()) {
    s.Complete(err::kSuccess, 0);
  } else {
    s.Wake();
  }
  return err::kSuccess;
}

Event* ServerPipe::Completion() { return &impl_->completion; }

uint32_t ServerPipe::Finish(size_t* bytes) {
  Impl& s = *impl_;
  std::lock_guard lk(s.mu);
  if (bytes != nullptr) *bytes = 0;
  if (s.op == Impl::Op::kNone) return pipe_err::kPipeNotConnected;
  if (!s.done) return pipe_err::kIoIncomplete;
  if (bytes != nullptr) *bytes = s.moved;
  const uint32_t rc = s.error;
  if (s.op != Impl::Op::kRead || rc != err::kSuccess) s.in.clear();
  s.op = Impl::Op::kNone;
  s.done = false;
  s.completion.Reset();
  return rc;
}

std::span<const uint8_t> ServerPipe::ReadData() const { return impl_->in; }

void ServerPipe::Disconnect() {
  Impl& s = *impl_;
  std::unique_lock lk(s.mu);
  if (!s.io.joinable()) return;
  const uint64_t target = ++s.drops_requested;
  s.Wake();
  s.cv.wait(lk, [&] { return s.drops_done >= target || s.quit; });
}

namespace {

// The calling thread's file-system identity, switched to a user's and back
// when the object ends. Linux keeps the file-system user and group and the
// supplementary groups per thread when they are set through the system calls
// themselves (the C library's setgroups changes every thread of the process).
class ThreadFsIdentity {
 public:
  ThreadFsIdentity() = default;
  ThreadFsIdentity(const ThreadFsIdentity&) = delete;
  ThreadFsIdentity& operator=(const ThreadFsIdentity&) = delete;
  ~ThreadFsIdentity() { Restore(); }

  // 0, or 5 when the identity cannot be taken (then nothing changed).
  uint32_t Become(uid_t uid, gid_t gid) {
    if (geteuid() != 0) return uid == geteuid() ? err::kSuccess : err::kAccessDenied;
    const long count = syscall(SYS_getgroups, 0, nullptr);
    if (count < 0) return err::kAccessDenied;
    old_groups_.resize(static_cast<size_t>(count));
    if (syscall(SYS_getgroups, count, old_groups_.data()) != count) return err::kAccessDenied;
    const std::vector<gid_t> groups = GroupsOf(uid, gid);
    if (syscall(SYS_setgroups, groups.size(), groups.data()) != 0) return err::kAccessDenied;
    switched_ = true;
    old_gid_ = static_cast<gid_t>(setfsgid(gid));
    old_uid_ = static_cast<uid_t>(setfsuid(uid));
    if (static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) != gid ||
        static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) != uid) {
      Restore();
      return err::kAccessDenied;
    }
    return err::kSuccess;
  }

  // The user's groups from the account database; the group alone when the
  // user has no entry.
  static std::vector<gid_t> GroupsOf(uid_t uid, gid_t gid) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> text(16384);
    if (getpwuid_r(uid, &pw, text.data(), text.size(), &found) != 0 || found == nullptr) {
      return {gid};
    }
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    if (getgrouplist(pw.pw_name, gid, groups.data(), &n) < 0) {
      groups.resize(static_cast<size_t>(n));
      if (getgrouplist(pw.pw_name, gid, groups.data(), &n) < 0) return {gid};
    }
    groups.resize(static_cast<size_t>(n));
    return groups;
  }

 private:
  void Restore() {
    if (!switched_) return;
    switched_ = false;
    setfsuid(old_uid_);
    setfsgid(old_gid_);
    syscall(SYS_setgroups, old_groups_.size(), old_groups_.data());
  }

  bool switched_ = false;
  uid_t old_uid_ = 0;
  gid_t old_gid_ = 0;
  std::vector<gid_t> old_groups_;
};

}  // namespace

uint32_t ServerPipe::RunAsClient(const std::function<uint32_t()>& work) {
  Impl& s = *impl_;
  ucred peer{};
  {
    std::lock_guard lk(s.mu);
    if (s.conn_fd < 0 || !s.has_peer) return pipe_err::kPipeNotConnected;
    peer = s.peer;
  }
  ThreadFsIdentity identity;
  const uint32_t error = identity.Become(peer.uid, peer.gid);
  if (error != err::kSuccess) return error;
  return work();
}

namespace {

// Root, or a member of the group of the service's administrators.
bool IsAdministrator(const ucred& peer) {
  if (peer.uid == 0) return true;
  group entry{};
  group* found = nullptr;
  std::vector<char> text(16384);
  if (getgrnam_r(kAdminGroup, &entry, text.data(), text.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  const gid_t admins = found->gr_gid;
  const std::vector<gid_t> groups = ThreadFsIdentity::GroupsOf(peer.uid, peer.gid);
  return peer.gid == admins || std::find(groups.begin(), groups.end(), admins) != groups.end();
}

}  // namespace

bool ServerPipe::ClientIsAdministrator() {
  Impl& s = *impl_;
  ucred peer{};
  {
    std::lock_guard lk(s.mu);
    if (s.conn_fd < 0 || !s.has_peer) return false;
    peer = s.peer;
  }
  return IsAdministrator(peer);
}

std::string ServerPipe::ClientUser() {
  Impl& s = *impl_;
  uid_t uid = 0;
  {
    std::lock_guard lk(s.mu);
    if (s.conn_fd < 0 || !s.has_peer) return "unknown";
    uid = s.peer.uid;
  }
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> text(16384);
  const std::string number = "uid " + std::to_string(uid);
  if (getpwuid_r(uid, &pw, text.data(), text.size(), &found) != 0 || found == nullptr) {
    return number;
  }
  return std::string(pw.pw_name) + " (" + number + ")";
}

// ---------------------------------------------------------------------------
// Client

struct ClientPipe::Impl {
  std::mutex mu;  // Shutdown never touches a descriptor that Close is closing
  std::atomic<int> fd{-1};
  std::atomic<bool> shut{false};
};

ClientPipe::ClientPipe() : impl_(std::make_unique<Impl>()) {}

ClientPipe::~ClientPipe() { Close(); }

uint32_t ClientPipe::Open(std::u16string_view name, uint32_t timeout_ms, Identity /*identity*/) {
  Close();
  const std::string leaf = PipeLeafName(name);
  if (leaf.empty()) return kInvalidName;
  const std::string folder = PipeFolder();
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0) {
    return errno == ENOENT ? err::kFileNotFound : posix::ErrnoToWin32(errno);
  }
  if (const uint32_t rc = CheckFolder(folder, &st); rc != err::kSuccess) return rc;
  sockaddr_un addr{};
  if (!FillAddress(folder + "/" + leaf, &addr)) return pipe_err::kFilenameTooLong;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int fd = -1;
  for (;;) {
    const uint32_t rc = ConnectOnce(addr, timeout_ms, deadline, &fd);
    // A server busy with another client, or between two clients: try again
    // until the time-out.
    if (rc != pipe_err::kPipeBusy || std::chrono::steady_clock::now() >= deadline) {
      if (rc != err::kSuccess) return rc;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard lk(impl_->mu);
  impl_->fd = fd;
  impl_->shut = false;
  return err::kSuccess;
}

bool ClientPipe::IsOpen() const {
  std::lock_guard lk(impl_->mu);
  return impl_->fd >= 0;
}

void ClientPipe::Close() {
  std::lock_guard lk(impl_->mu);
  const int fd = impl_->fd.exchange(-1);
  if (fd >= 0) close(fd);
  impl_->shut = false;
}

void ClientPipe::Shutdown() {
  std::lock_guard lk(impl_->mu);
  impl_->shut = true;
  if (impl_->fd >= 0) shutdown(impl_->fd, SHUT_RDWR);
}

bool ClientPipe::ServerIsAdministrator() {
  std::lock_guard lk(impl_->mu);
  const int fd = impl_->fd;
  ucred peer{};
  socklen_t size = sizeof peer;
  if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return IsAdministrator(peer);
}

uint32_t ClientPipe::Read(uint8_t* buffer, size_t max, size_t* got, uint32_t timeout_ms) {
  *got = 0;
  const int fd = impl_->fd;
  if (fd < 0) return err::kInvalidHandle;
  if (max == 0) return err::kInvalidParameter;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (impl_->shut) return pipe_err::kOperationAborted;
    const int ready = PollUntil(fd, POLLIN, timeout_ms, deadline);
    if (impl_->shut) return pipe_err::kOperationAborted;
    if (ready == 0) return pipe_err::kTimeout;
    if (ready < 0) return pipe_err::kBrokenPipe;
    const ssize_t n = recv(fd, buffer, max, 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return err::kSuccess;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    return impl_->shut ? pipe_err::kOperationAborted : pipe_err::kBrokenPipe;
  }
}

uint32_t ClientPipe::Write(std::span<const uint8_t> bytes, uint32_t timeout_ms) {
  const int fd = impl_->fd;
  if (fd < 0) return err::kInvalidHandle;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (impl_->shut) return pipe_err::kOperationAborted;
    const ssize_t n = send(fd, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
    if (n > 0) {
      pos += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      const int ready = PollUntil(fd, POLLOUT, timeout_ms, deadline);
      if (ready == 0) return pipe_err::kTimeout;
      if (ready < 0) return pipe_err::kNoData;
      continue;
    }
    return impl_->shut ? pipe_err::kOperationAborted : pipe_err::kNoData;
  }
  return err::kSuccess;
}

}  // namespace cvn::platform
