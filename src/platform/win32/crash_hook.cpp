// The crash hook on Windows: an unhandled-exception filter that writes a
// minidump (MiniDumpWriteDump from DbgHelp, when it loads) followed by the
// text report, then lets the process end without the error dialog.
//
// The report is built in static buffers; what can be known in advance (the
// system version, the process path, the file path) is prepared at
// installation. Memory of unknown state is read with ReadProcessMemory, which
// fails instead of faulting. The stack is walked with the unwind data of the
// x64 code (RtlLookupFunctionEntry, RtlVirtualUnwind), since x64 code keeps
// no frame-pointer chain.
#include "platform/crash_hook.h"

#include <csignal>
#include <cstdlib>
#include <exception>

#include "platform/file.h"
#include "platform/win32/win.h"
// After windows.h.
#include <dbghelp.h>
#include <tlhelp32.h>

namespace cvn::platform {
namespace {

using win32::ToWide;

constexpr size_t kReportSize = 32768;
constexpr int kMaxFrames = 54;

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);
using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);

struct HookState {
  bool installed = false;
  HMODULE dbghelp = nullptr;
  MiniDumpWriteDumpFn write_dump = nullptr;
  LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;
  std::terminate_handler previous_terminate = nullptr;
  void (*previous_abort)(int) = SIG_DFL;
  wchar_t file_path[MAX_PATH * 2] = {};
  char system_line[160] = {};
  char version[64] = {};
  char process[MAX_PATH * 3] = {};
};

HookState g_state;
LONG g_crashing = 0;
char g_report[kReportSize];

bool ReadMemory(uintptr_t address, void* out, size_t size) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void*>(address), out,
                             size, &read) != 0 &&
         read == size;
}

// The module holding address, from a tool-help snapshot of the process.
bool FindModule(uintptr_t address, MODULEENTRY32& module) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  module.dwSize = sizeof module;
  bool found = false;
  for (BOOL more = ::Module32First(snapshot, &module); more && !found;) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(module.modBaseAddr);
    found = address >= base && address < base + module.modBaseSize;
    if (!found) more = ::Module32Next(snapshot, &module);
  }
  ::CloseHandle(snapshot);
  return found;
}

// A module's path as UTF-8, in a fixed buffer.
struct NarrowPath {
  explicit NarrowPath(const wchar_t* path) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, path, -1, text, sizeof text, nullptr, nullptr);
    if (n <= 0) text[0] = '\0';
  }
  char text[MAX_PATH * 3];
};

void AddModule(CrashText& text, uintptr_t address) {
  MODULEENTRY32 module;
  if (!FindModule(address, module)) {
    text.Add("\r\nException Addr:  ").Hex(address, 16);
    return;
  }
  text.Add("\r\nModule:  ").Add(NarrowPath(module.szExePath).text);
  HANDLE file = ::CreateFileW(module.szExePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FILETIME written, local;
  SYSTEMTIME date;
  if (::GetFileTime(file, nullptr, nullptr, &written) &&
      ::FileTimeToLocalFileTime(&written, &local) && ::FileTimeToSystemTime(&local, &date)) {
    text.Add("\r\nDate Modified:  ").Dec(date.wMonth, 2).Add("/").Dec(date.wDay, 2);
    text.Add("/").Dec(date.wYear);
  }
  if (const DWORD size = ::GetFileSize(file, nullptr); size != 0 && size != INVALID_FILE_SIZE) {
    text.Add("\r\nFile Size:  ").Dec(size);
  }
  ::CloseHandle(file);
}

void AddRegister(CrashText& text, const char* name, DWORD64 value) {
  text.Add(name).Add(": ").Hex(value, 16);
}

void AddRegisters(CrashText& text, const CONTEXT& c) {
  text.Add("\r\nRegisters:\r\n");
  AddRegister(text, "RAX", c.Rax);
  AddRegister(text.Add("  "), "RBX", c.Rbx);
  AddRegister(text.Add("  "), "RCX", c.Rcx);
  AddRegister(text.Add("  "), "RDX", c.Rdx);
  AddRegister(text.Add("\r\n"), "RSI", c.Rsi);
  AddRegister(text.Add("  "), "RDI", c.Rdi);
  AddRegister(text.Add("  "), "RSP", c.Rsp);
  AddRegister(text.Add("  "), "RBP", c.Rbp);
  AddRegister(text.Add("\r\n"), "R8 ", c.R8);
  AddRegister(text.Add("  "), "R9 ", c.R9);
  AddRegister(text.Add("  "), "R10", c.R10);
  AddRegister(text.Add("  "), "R11", c.R11);
  AddRegister(text.Add("\r\n"), "R12", c.R12);
  AddRegister(text.Add("  "), "R13", c.R13);
  AddRegister(text.Add("  "), "R14", c.R14);
  AddRegister(text.Add("  "), "R15", c.R15);
  AddRegister(text.Add("\r\n"), "RIP", c.Rip);
  text.Add("  EFlags: ").Hex(c.EFlags, 8);
}

// One step out of the function that holds context.Rip: by its unwind data,
// or, for a leaf function that has none, by the return address on top of
// the stack. False when the stack cannot be read.
bool Unwind(CONTEXT& context) {
  DWORD64 image_base = 0;
  PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
  if (function == nullptr) {
    DWORD64 return_address = 0;
    if (!ReadMemory(context.Rsp, &return_address, sizeof return_address)) return false;
    context.Rip = return_address;
    context.Rsp += 8;
    return true;
  }
  PVOID handler_data = nullptr;
  DWORD64 establisher = 0;
  ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context, &handler_data,
                     &establisher, nullptr);
  return true;
}

void AddCallStack(CrashText& text, const CONTEXT& fault) {
  text.Add("\r\nCall Stack:");
  CONTEXT context = fault;
  uintptr_t last_base = 0;
  for (int i = 0; i < kMaxFrames && context.Rip != 0; ++i) {
    const uintptr_t address = static_cast<uintptr_t>(context.Rip);
    MODULEENTRY32 module;
    if (!FindModule(address, module)) {
      text.Add("\r\n").Hex(address, 16);
      break;  // no unwind data outside a module
    }
    const uintptr_t base = reinterpret_cast<uintptr_t>(module.modBaseAddr);
    if (base != last_base) {
      text.Add("\r\n").Hex(base, 16).Add("  ").Add(NarrowPath(module.szExePath).text);
      last_base = base;
    }
    text.Add("\r\n  +").Hex(address - base, 8);
    if (i == 0) text.Add("  Exception Offset");
    const DWORD64 previous_sp = context.Rsp;
    if (!Unwind(context) || context.Rsp <= previous_sp) break;
  }
}

size_t BuildReport(EXCEPTION_POINTERS* info) {
  CrashText text(g_report, sizeof g_report);
  const EXCEPTION_RECORD& record = *info->ExceptionRecord;
  const uintptr_t address = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
  text.Add(g_state.system_line);
  text.Add("\r\nFile Version:  ").Add(g_state.version);
  text.Add("\r\nProcess:  ").Add(g_state.process);
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  text.Add("\r\n").LongDateTime(now.wYear, now.wMonth, now.wDay, now.wDayOfWeek, now.wHour,
                                now.wMinute, now.wSecond);
  AddModule(text, address);
  text.Add("\r\nException Code:  ").Hex(record.ExceptionCode, 8);
  if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2) {
    text.Add(record.ExceptionInformation[0] != 0 ? "\r\nWrite" : "\r\nRead");
    text.Add(" Address:  ").Hex(record.ExceptionInformation[1], 16);
  }
  text.Add("\r\nInstruction: ");
  uint8_t bytes[16];
  if (ReadMemory(address, bytes, sizeof bytes)) {
    for (uint8_t b : bytes) text.Add(" ").Hex(b, 2);
  } else {
    text.Add(" (not readable)");
  }
  AddRegisters(text, *info->ContextRecord);
  AddCallStack(text, *info->ContextRecord);
  text.Add("\r\n");
  return text.size();
}

void WriteCrashFile(EXCEPTION_POINTERS* info, size_t report_size) {
  if (g_state.file_path[0] == L'\0') return;
  // No security of its own: the file inherits the closed folder's.
  HANDLE file = ::CreateFileW(g_state.file_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  if (g_state.write_dump != nullptr) {
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = ::GetCurrentThreadId();
    exception.ExceptionPointers = info;
    exception.ClientPointers = FALSE;
    g_state.write_dump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, MiniDumpNormal,
                       &exception, nullptr, nullptr);
    ::SetFilePointer(file, 0, nullptr, FILE_END);
  }
  DWORD written = 0;
  ::WriteFile(file, g_report, static_cast<DWORD>(report_size + 1), &written, nullptr);
  ::FlushFileBuffers(file);
  ::CloseHandle(file);
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info) {
  // One crash file per process; another thread that faults meanwhile waits
  // for the first to end the process.
  if (::InterlockedExchange(&g_crashing, 1) != 0) {
    for (;;) ::Sleep(INFINITE);
  }
  WriteCrashFile(info, BuildReport(info));
  return EXCEPTION_EXECUTE_HANDLER;
}

// abort() and std::terminate end the process without an exception, so the
// filter would never run: both write the crash file themselves, with the
// context of the call and this code as the exception.
constexpr DWORD kAbortCode = 0xE0000ABD;

[[noreturn]] void CrashOnAbort() {
  CONTEXT context{};
  ::RtlCaptureContext(&context);
  EXCEPTION_RECORD record{};
  record.ExceptionCode = kAbortCode;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
  EXCEPTION_POINTERS pointers{&record, &context};
  CrashFilter(&pointers);
  ::TerminateProcess(::GetCurrentProcess(), 3);
  for (;;) ::Sleep(INFINITE);
}

void OnAbortSignal(int) { CrashOnAbort(); }
void OnTerminate() { CrashOnAbort(); }

void CopyText(char* out, size_t capacity, const char* text) {
  size_t n = 0;
  for (; text[n] != '\0' && n + 1 < capacity; ++n) out[n] = text[n];
  out[n] = '\0';
}

void PrepareFixedLines(const CrashHookSetup& setup) {
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  // The true version: GetVersionEx answers what the manifest claims.
  auto get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  if (get_version == nullptr || get_version(&v) != 0) v = {};
  CrashText line(g_state.system_line, sizeof g_state.system_line);
  line.Add("Windows:  ").Dec(v.dwMajorVersion).Add(".").Dec(v.dwMinorVersion).Add(".");
  line.Dec(v.dwBuildNumber).Add(", SP ").Dec(v.wServicePackMajor).Add(".");
  line.Dec(v.wServicePackMinor).Add(", Product Type ").Dec(v.wProductType);
  CopyText(g_state.version, sizeof g_state.version, setup.version.c_str());
  wchar_t process[MAX_PATH + 1] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, process, MAX_PATH);
  process[n < MAX_PATH ? n : MAX_PATH] = L'\0';
  CopyText(g_state.process, sizeof g_state.process, NarrowPath(process).text);
}

// Creates the crash folder and closes it to everyone but the system and the
// administrators; files created in it inherit that.
bool PrepareFolder(const std::u16string& folder) {
  return CloseFolderToOthers(folder) == 0 && FolderExists(folder);
}

}  // namespace

bool InstallCrashHook(const CrashHookSetup& setup) {
  UninstallCrashHook();
  PrepareFixedLines(setup);
  g_state.dbghelp = ::LoadLibraryW(L"dbghelp.dll");
  if (g_state.dbghelp != nullptr) {
    g_state.write_dump = reinterpret_cast<MiniDumpWriteDumpFn>(
        reinterpret_cast<void*>(::GetProcAddress(g_state.dbghelp, "MiniDumpWriteDump")));
  }
  // A folder that cannot be closed gets no crash file: a dump holds the
  // process memory, passwords included.
  std::wstring path;
  if (!setup.folder.empty() && PrepareFolder(setup.folder)) {
    path = ToWide(WithTrailingSeparator(setup.folder)) +
           std::wstring(setup.file_stem.begin(), setup.file_stem.end()) + L".dmp";
  }
  if (path.size() >= sizeof g_state.file_path / sizeof(wchar_t)) path.clear();
  path.copy(g_state.file_path, path.size());
  g_state.file_path[path.size()] = L'\0';
  g_state.previous = ::SetUnhandledExceptionFilter(CrashFilter);
  g_state.previous_terminate = std::set_terminate(OnTerminate);
  g_state.previous_abort = std::signal(SIGABRT, OnAbortSignal);
  g_state.installed = true;
  return !path.empty();
}

void UninstallCrashHook() {
  if (!g_state.installed) return;
  ::SetUnhandledExceptionFilter(g_state.previous);
  std::set_terminate(g_state.previous_terminate);
  std::signal(SIGABRT, g_state.previous_abort);
  if (g_state.dbghelp != nullptr) ::FreeLibrary(g_state.dbghelp);
  g_state.dbghelp = nullptr;
  g_state.write_dump = nullptr;
  g_state.installed = false;
}

// Windows raises the stack overflow on the thread's guard page with room left
// for the filter.
CrashHookThreadStack::CrashHookThreadStack() = default;
CrashHookThreadStack::~CrashHookThreadStack() = default;

std::u16string CrashFilePath() { return win32::FromWide(g_state.file_path); }

}  // namespace cvn::platform
