// The crash hook: when a thread of the process faults and nothing handles it,
// the hook writes one crash file and lets the process end.
//
// Windows: an unhandled-exception filter writes a minidump (when DbgHelp is
// there) followed by the text report, then ends the process without the
// system's error dialog. Linux: handlers of SIGSEGV, SIGBUS, SIGILL, SIGFPE
// and SIGABRT on an alternate signal stack write the text report only, then
// restore the default action and raise the signal again, so that the system's
// core dump handling still runs.
//
// The report lists, one per line: the system version, the program version,
// the process path, the local time, the faulting module (or address), the
// exception code (signal on Linux), the inaccessible address of an access
// violation, the bytes at the faulting instruction, the registers and the
// call stack. It is built in fixed buffers without heap use.
//
// The crash folder and file are for administrators only: they hold the
// process's memory, which may include passwords. Linux: folder 0700, file
// 0600; Windows: a protected folder access list granting SYSTEM and
// Administrators only, which the files inherit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cvn::platform {

struct CrashHookSetup {
  // Folder of the crash file; created with its parents and closed to other
  // users at installation.
  std::u16string folder;
  // File name without extension, e.g. "CVNSvc-004217"; the hook adds ".dmp"
  // on Windows (a minidump, then the report) and ".txt" on Linux (the report).
  std::string file_stem;
  // Text of the "File Version" line.
  std::string version;
};

// Installs the hook (replacing an earlier one). False when the crash folder
// could not be made: the hook is then installed but writes no file.
bool InstallCrashHook(const CrashHookSetup& setup);
// Restores the system's handling and releases what the hook holds.
void UninstallCrashHook();
// The full path of the file the hook writes; empty when none can be written.
std::u16string CrashFilePath();

// Gives the calling thread a stack of its own for the crash hook while the
// object lives, so that a thread that overflows its stack still gets its
// report (Linux: an alternate signal stack per thread; nothing on Windows).
// The platform's threads make one at their start.
class CrashHookThreadStack {
 public:
  CrashHookThreadStack();
  ~CrashHookThreadStack();
  CrashHookThreadStack(const CrashHookThreadStack&) = delete;
  CrashHookThreadStack& operator=(const CrashHookThreadStack&) = delete;

 private:
  void* stack_ = nullptr;
};

// Appends text to a fixed buffer, never past its end; safe in a signal
// handler (no allocation, no locale, no library formatting).
class CrashText {
 public:
  CrashText(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
    if (capacity_ > 0) buffer_[0] = '\0';
  }
  CrashText& Add(std::string_view text) {
    for (char c : text) Put(c);
    return *this;
  }
  // Upper-case hexadecimal, zero-padded to digits (more when needed).
  CrashText& Hex(uint64_t value, int digits) {
    char tmp[16];
    int n = 0;
    do {
      tmp[n++] = "0123456789ABCDEF"[value & 0xF];
      value >>= 4;
    } while (value != 0 && n < 16);
    for (int i = n; i < digits; ++i) Put('0');
    while (n > 0) Put(tmp[--n]);
    return *this;
  }
  // Decimal, zero-padded to digits.
  CrashText& Dec(int64_t value, int digits = 1) {
    if (value < 0) {
      Put('-');
      value = -value;
    }
    char tmp[20];
    int n = 0;
    uint64_t v = static_cast<uint64_t>(value);
    do {
      tmp[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0 && n < 20);
    for (int i = n; i < digits; ++i) Put('0');
    while (n > 0) Put(tmp[--n]);
    return *this;
  }
  // The long date and time form, the day of the month in two digits:
  // "Tuesday, December 08, 2026 02:22:24".
  CrashText& LongDateTime(int year, int month, int day, int weekday, int hour, int minute,
                          int second) {
    static constexpr const char* kDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                             "Thursday", "Friday", "Saturday"};
    static constexpr const char* kMonths[12] = {"January",   "February", "March",    "April",
                                                "May",       "June",     "July",     "August",
                                                "September", "October",  "November", "December"};
    Add(kDays[(weekday % 7 + 7) % 7]).Add(", ");
    Add(kMonths[(month - 1 + 12) % 12]).Add(" ").Dec(day, 2).Add(", ").Dec(year).Add(" ");
    return Dec(hour, 2).Add(":").Dec(minute, 2).Add(":").Dec(second, 2);
  }
  const char* data() const { return buffer_; }
  size_t size() const { return size_; }

 private:
  void Put(char c) {
    if (size_ + 1 >= capacity_) return;
    buffer_[size_++] = c;
    buffer_[size_] = '\0';
  }
  char* buffer_;
  size_t capacity_;
  size_t size_ = 0;
};

}  // namespace cvn::platform
