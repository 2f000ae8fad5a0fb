// The crash hook on Linux: fatal signal handlers on an alternate stack.
//
// Everything the handler does is async-signal-safe: the report is built in
// static buffers with CrashText, memory of unknown state is read through
// process_vm_readv (which fails instead of faulting), the modules come from
// /proc/self/maps read with open/read, and the local time uses the zone's
// offset at the moment of the crash, looked up in the table of the zone's
// transitions loaded at installation (localtime_r takes a lock and may read
// files, so it cannot run here). What can be known in advance (kernel
// version, process path, file path, the zone's offsets) is prepared at
// installation.
#include "platform/crash_hook.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/text.h"
#include "platform/posix/machine_root.h"
#include "platform/posix/zone_offsets.h"

namespace cvn::platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr size_t kReportSize = 32768;
constexpr size_t kAltStackSize = 64 * 1024;
constexpr size_t kPathMax = 4096;
constexpr int kMaxFrames = 54;
constexpr size_t kMaxModules = 512;
constexpr size_t kModulePathPool = 64 * 1024;
// The zone's offsets are loaded for ten years back (the modules' dates) and
// twenty years ahead (the crash).
constexpr int64_t kYear = 365 * 86400;
constexpr int64_t kZoneYearsBack = 10;
constexpr int64_t kZoneYearsAhead = 20;

struct HookState {
  bool installed = false;
  bool can_write = false;
  char file_path[kPathMax] = {};
  char system_line[512] = {};
  char version[64] = {};
  char process[kPathMax] = {};
  struct sigaction previous[kSignalCount] = {};
};

HookState g_state;
std::atomic<bool> g_crashing{false};
alignas(16) char g_alt_stack[kAltStackSize];
char g_report[kReportSize];

// One mapping of a file, as /proc/self/maps lists it.
struct Mapping {
  uintptr_t start;
  uintptr_t end;
  uintptr_t base;  // start of the file's first mapping (offset 0)
  bool executable;
  uint32_t path;  // offset in g_paths
};
Mapping g_maps[kMaxModules];
size_t g_map_count = 0;
char g_paths[kModulePathPool];
size_t g_paths_used = 0;

// Reads memory that may not be mapped; false instead of a fault.
bool ReadMemory(uintptr_t address, void* out, size_t size) {
  struct iovec local = {out, size};
  struct iovec remote = {reinterpret_cast<void*>(address), size};
  const long n =
      syscall(SYS_process_vm_readv, static_cast<long>(getpid()), &local, 1L, &remote, 1L, 0L);
  return n == static_cast<long>(size);
}

uintptr_t ParseHex(const char*& p, const char* end) {
  uintptr_t value = 0;
  for (; p < end; ++p) {
    const char c = *p;
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) break;
    value = value * 16 + static_cast<uintptr_t>(digit);
  }
  return value;
}

// One line of /proc/self/maps: "start-end perms offset dev inode   path".
void AddMapping(const char* line, const char* end) {
  if (g_map_count >= kMaxModules) return;
  const char* p = line;
  Mapping m{};
  m.start = ParseHex(p, end);
  if (p >= end || *p++ != '-') return;
  m.end = ParseHex(p, end);
  // " rwxp offset"
  if (end - p < 6) return;
  m.executable = p[3] == 'x';
  p += 6;
  const uintptr_t offset = ParseHex(p, end);
  // Skip the device and the inode to the path.
  for (int field = 0; field < 2; ++field) {
    while (p < end && *p == ' ') ++p;
    while (p < end && *p != ' ') ++p;
  }
  while (p < end && *p == ' ') ++p;
  if (p >= end || *p != '/') return;  // anonymous, stack, heap, vdso
  const size_t length = static_cast<size_t>(end - p);
  // The same file as the mapping before shares its path and base.
  if (g_map_count > 0) {
    const Mapping& last = g_maps[g_map_count - 1];
    const char* last_path = g_paths + last.path;
    if (offset != 0 && std::strlen(last_path) == length && std::memcmp(last_path, p, length) == 0) {
      m.path = last.path;
      m.base = last.base;
      g_maps[g_map_count++] = m;
      return;
    }
  }
  if (g_paths_used + length + 1 > kModulePathPool) return;
  m.path = static_cast<uint32_t>(g_paths_used);
  std::memcpy(g_paths + g_paths_used, p, length);
  g_paths[g_paths_used + length] = '\0';
  g_paths_used += length + 1;
  m.base = m.start - offset;
  g_maps[g_map_count++] = m;
}

void LoadMappings() {
  g_map_count = 0;
  g_paths_used = 0;
  const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char chunk[4096];
  char line[kPathMax + 128];
  size_t line_length = 0;
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (chunk[i] == '\n') {
        AddMapping(line, line + line_length);
        line_length = 0;
      } else if (line_length < sizeof line) {
        line[line_length++] = chunk[i];
      }
    }
  }
  close(fd);
}

const Mapping* FindMapping(uintptr_t address) {
  for (size_t i = 0; i < g_map_count; ++i) {
    if (address >= g_maps[i].start && address < g_maps[i].end) return &g_maps[i];
  }
  return nullptr;
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

// Date of t (seconds since 1970, already shifted to local time) as the
// proleptic Gregorian calendar gives it.
void CivilDate(int64_t t, int& year, int& month, int& day, int& weekday, int& seconds_of_day) {
  int64_t days = t / 86400;
  int64_t rest = t % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  seconds_of_day = static_cast<int>(rest);
  weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

void AddTime(CrashText& text) {
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  int year, month, day, weekday, sod;
  CivilDate(now.tv_sec + posix::ZoneOffsetAt(now.tv_sec), year, month, day, weekday, sod);
  text.LongDateTime(year, month, day, weekday, sod / 3600, sod / 60 % 60, sod % 60);
}

void AddModule(CrashText& text, uintptr_t address) {
  const Mapping* module = FindMapping(address);
  if (module == nullptr) {
    text.Add("\nException Addr:  ").Hex(address, 16);
    return;
  }
  const char* path = g_paths + module->path;
  text.Add("\nModule:  ").Add(path);
  struct stat st = {};
  if (stat(path, &st) != 0) return;
  int year, month, day, weekday, sod;
  CivilDate(st.st_mtime + posix::ZoneOffsetAt(st.st_mtime), year, month, day, weekday, sod);
  text.Add("\nDate Modified:  ").Dec(month, 2).Add("/").Dec(day, 2).Add("/").Dec(year);
  if (st.st_size != 0) text.Add("\nFile Size:  ").Dec(st.st_size);
}

#if defined(__x86_64__)
void AddRegister(CrashText& text, const char* name, greg_t value) {
  text.Add(name).Add(": ").Hex(static_cast<uint64_t>(value), 16);
}

void AddRegisters(CrashText& text, const mcontext_t& mc) {
  const greg_t* r = mc.gregs;
  text.Add("\nRegisters:\n");
  AddRegister(text, "RAX", r[REG_RAX]);
  AddRegister(text.Add("  "), "RBX", r[REG_RBX]);
  AddRegister(text.Add("  "), "RCX", r[REG_RCX]);
  AddRegister(text.Add("  "), "RDX", r[REG_RDX]);
  AddRegister(text.Add("\n"), "RSI", r[REG_RSI]);
  AddRegister(text.Add("  "), "RDI", r[REG_RDI]);
  AddRegister(text.Add("  "), "RSP", r[REG_RSP]);
  AddRegister(text.Add("  "), "RBP", r[REG_RBP]);
  AddRegister(text.Add("\n"), "R8 ", r[REG_R8]);
  AddRegister(text.Add("  "), "R9 ", r[REG_R9]);
  AddRegister(text.Add("  "), "R10", r[REG_R10]);
  AddRegister(text.Add("  "), "R11", r[REG_R11]);
  AddRegister(text.Add("\n"), "R12", r[REG_R12]);
  AddRegister(text.Add("  "), "R13", r[REG_R13]);
  AddRegister(text.Add("  "), "R14", r[REG_R14]);
  AddRegister(text.Add("  "), "R15", r[REG_R15]);
  AddRegister(text.Add("\n"), "RIP", r[REG_RIP]);
  text.Add("  EFlags: ").Hex(static_cast<uint64_t>(r[REG_EFL]), 8);
}
uintptr_t FramePointer(const mcontext_t& mc) { return static_cast<uintptr_t>(mc.gregs[REG_RBP]); }
// Bit 1 of the page-fault error code tells a write from a read.
bool IsWriteFault(const mcontext_t& mc) { return (mc.gregs[REG_ERR] & 2) != 0; }
#else
void AddRegisters(CrashText& text, const mcontext_t&) {
  text.Add("\nRegisters:\n(not listed on this processor)");
}
uintptr_t FramePointer(const mcontext_t&) { return 0; }
bool IsWriteFault(const mcontext_t&) { return false; }
#endif

// Follows the frame-pointer chain: each frame holds the caller's frame
// pointer, then the return address.
void AddCallStack(CrashText& text, uintptr_t fault_address, uintptr_t frame) {
  text.Add("\nCall Stack:");
  const char* last_module = nullptr;
  uintptr_t address = fault_address;
  for (int i = 0; i < kMaxFrames; ++i) {
    const Mapping* module = FindMapping(address);
    if (module == nullptr || !module->executable) break;
    const char* path = g_paths + module->path;
    if (path != last_module) {
      text.Add("\n").Hex(module->base, 16).Add("  ").Add(path);
      last_module = path;
    }
    text.Add("\n  +").Hex(address - module->base, 8);
    if (i == 0) text.Add("  Exception Offset");
    uintptr_t link[2];
    if (frame == 0 || !ReadMemory(frame, link, sizeof link)) break;
    // Frames lie higher on the stack the further out they are.
    if (link[0] != 0 && link[0] <= frame) break;
    address = link[1];
    frame = link[0];
  }
}

size_t BuildReport(int sig, const siginfo_t* info, const ucontext_t* context) {
  CrashText text(g_report, sizeof g_report);
  const mcontext_t& mc = context->uc_mcontext;
#if defined(__x86_64__)
  const uintptr_t pc = static_cast<uintptr_t>(mc.gregs[REG_RIP]);
#else
  const uintptr_t pc = reinterpret_cast<uintptr_t>(info->si_addr);
#endif
  LoadMappings();
  text.Add(g_state.system_line);
  text.Add("\nFile Version:  ").Add(g_state.version);
  text.Add("\nProcess:  ").Add(g_state.process);
  AddTime(text.Add("\n"));
  AddModule(text, pc);
  text.Add("\nException Code:  ").Hex(static_cast<uint32_t>(sig), 8);
  text.Add("  ").Add(SignalName(sig)).Add(", code ").Dec(info->si_code);
  if (info->si_code <= 0) {
    // Sent (kill, raise, abort), not caused by an instruction: no address.
    text.Add(", sent by process ").Dec(info->si_pid);
  } else if (sig == SIGSEGV || sig == SIGBUS) {
    text.Add(sig == SIGSEGV && IsWriteFault(mc) ? "\nWrite" : "\nRead");
    text.Add(" Address:  ").Hex(reinterpret_cast<uintptr_t>(info->si_addr), 16);
  }
  text.Add("\nInstruction: ");
  uint8_t bytes[16];
  if (ReadMemory(pc, bytes, sizeof bytes)) {
    for (uint8_t b : bytes) text.Add(" ").Hex(b, 2);
  } else {
    text.Add(" (not readable)");
  }
  AddRegisters(text, mc);
  AddCallStack(text, pc, FramePointer(mc));
  text.Add("\n");
  return text.size();
}

void WriteReport(size_t size) {
  if (!g_state.can_write) return;
  const int fd = open(g_state.file_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                      posix::kSecretFileMode);
  if (fd < 0) return;
  fchmod(fd, posix::kSecretFileMode);  // a file left by an earlier run
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, g_report + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  fsync(fd);
  close(fd);
}

void CrashHandler(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  // One report per process: a second thread that faults meanwhile waits for
  // the first to end the process.
  if (!g_crashing.exchange(true)) {
    WriteReport(BuildReport(sig, info, static_cast<const ucontext_t*>(context)));
  } else {
    for (;;) pause();
  }
  // The default action again, so that the system's core dump handling runs:
  // the raised signal is delivered as soon as the handler returns.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
  errno = saved_errno;
}

void CopyText(char* out, size_t capacity, std::string_view text) {
  const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

void PrepareFixedLines(const CrashHookSetup& setup) {
  struct utsname name = {};
  CrashText line(g_state.system_line, sizeof g_state.system_line);
  if (uname(&name) == 0) {
    line.Add("Linux:  ").Add(name.release).Add(" ").Add(name.version);
    line.Add(", Machine ").Add(name.machine);
  } else {
    line.Add("Linux:  (unknown)");
  }
  CopyText(g_state.version, sizeof g_state.version, setup.version);
  const ssize_t n = readlink("/proc/self/exe", g_state.process, sizeof g_state.process - 1);
  g_state.process[n > 0 ? n : 0] = '\0';
  const int64_t now = time(nullptr);
  posix::LoadZoneOffsets(now - kZoneYearsBack * kYear, now + kZoneYearsAhead * kYear);
}

// Creates the crash folder closed to others: 0700 and owned by this user,
// never through a symbolic link.
bool PrepareFolder(const std::string& folder) {
  posix::MakeNativeFolders(folder);
  struct stat st = {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    return false;
  }
  return chmod(folder.c_str(), 0700) == 0;
}

}  // namespace

bool InstallCrashHook(const CrashHookSetup& setup) {
  UninstallCrashHook();
  PrepareFixedLines(setup);
  std::string folder = posix::NativePath(setup.folder);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::string path = folder + "/" + setup.file_stem + ".txt";
  g_state.can_write = !setup.folder.empty() && path.size() < kPathMax && PrepareFolder(folder);
  CopyText(g_state.file_path, sizeof g_state.file_path, g_state.can_write ? path : "");

  stack_t stack = {};
  stack.ss_sp = g_alt_stack;
  stack.ss_size = sizeof g_alt_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action = {};
  action.sa_sigaction = CrashHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], &action, &g_state.previous[i]);
  }
  g_state.installed = true;
  return g_state.can_write;
}

void UninstallCrashHook() {
  if (!g_state.installed) return;
  for (size_t i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_state.previous[i], nullptr);
  stack_t stack = {};
  stack.ss_flags = SS_DISABLE;
  sigaltstack(&stack, nullptr);
  g_state.installed = false;
}

CrashHookThreadStack::CrashHookThreadStack() {
  void* stack =
      mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return;
  stack_t alt = {};
  alt.ss_sp = stack;
  alt.ss_size = kAltStackSize;
  if (sigaltstack(&alt, nullptr) != 0) {
    munmap(stack, kAltStackSize);
    return;
  }
  stack_ = stack;
}

CrashHookThreadStack::~CrashHookThreadStack() {
  if (stack_ == nullptr) return;
  stack_t alt = {};
  alt.ss_flags = SS_DISABLE;
  sigaltstack(&alt, nullptr);
  munmap(stack_, kAltStackSize);
}

std::u16string CrashFilePath() {
  return g_state.can_write ? Utf8ToUtf16(g_state.file_path) : std::u16string();
}

}  // namespace cvn::platform
