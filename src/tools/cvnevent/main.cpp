// cvnevent: creates event logs and sources, writes, clears and prints events,
// for administrators and tests. See Usage() for the commands.
//
// Exit codes: 0 success, 1 the operation failed (the reason is printed), 2 usage.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "base/time32.h"
#include "base/win_errors.h"
#include "platform/accounts.h"
#include "platform/event_log.h"
#include "platform/program_entry.h"
#include "platform/registry.h"
#include "tools/cvnevent/record_text.h"
#include "tools/tool_conventions.h"

namespace cvn {
namespace {

using namespace cvn::platform;

// Event text may hold terminal commands: every control character but the
// line feed and the tab is printed as an escape.
void Print(FILE* stream, std::u16string_view text) {
  const std::string bytes = EscapeControlCharacters(Utf16ToUtf8(text), "\n\t");
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

int Usage(FILE* out = stderr) {
  std::fputs(
      "usage: cvnevent <command> ...\n"
      "  list                                   the event logs\n"
      "  create-log <log> [--max-size <bytes>]  create a log (with a source of its name)\n"
      "  delete-log <log>                       delete a log, its sources and records\n"
      "  add-source <log> <source> [--message-file <files>] [--parameter-file <file>]\n"
      "             [--category-file <file> --category-count <n>] [--provider-guid <guid>]\n"
      "                                         register a source; files separated by ';'\n"
      "                                         may hold %SystemRoot% and other variables\n"
      "  write <log> <source> --id <id> [--type <type>] [--category <n>]\n"
      "        [--sid <S-1-...>] [--data <hex bytes>] [--repeat <n>] [--] [<string> ...]\n"
      "                                         write one event (n times with --repeat);\n"
      "                                         type: error, warning, information\n"
      "                                         (default), audit-success, audit-failure,\n"
      "                                         success or a number\n"
      "  clear <log> [--backup <file>]          empty a log, saving it first with --backup\n"
      "  print <log> [--count <n>]              the records, newest first\n"
      "  print-file <file> [--count <n>] [--log <log>]\n"
      "                                         the records of a saved log file; with\n"
      "                                         --log, described from that log's sources\n"
      "Numbers may be decimal or 0x hexadecimal.\n"
      "  --help, --version\n",
      out);
  return tools::kExitUsage;
}

std::u16string ErrorText(uint32_t error) {
  std::u16string text = u"error " + Utf8ToUtf16(std::to_string(error));
  const char16_t* reason = nullptr;
  switch (error) {
    case err::kFileNotFound: reason = u"not found"; break;
    case err::kPathNotFound: reason = u"path not found"; break;
    case err::kAccessDenied: reason = u"access denied"; break;
    case err::kInvalidParameter: reason = u"invalid parameter"; break;
    case err::kFileExists:
    case err::kAlreadyExists: reason = u"already exists"; break;
    case err::kDiskFull: reason = u"disk full"; break;
    case 1009: reason = u"the registry store is damaged"; break;
    case 1018: reason = u"the registry key was deleted"; break;
    case kEventLogFileCorrupt:
      reason = u"the event log file is damaged; clear the log to start it again";
      break;
    case 1502: reason = u"the record does not fit in the log's maximum size"; break;
    case kEventLogFileChanged: reason = u"the event log was cleared meanwhile"; break;
    default: break;
  }
  if (reason != nullptr) text += u" (" + std::u16string(reason) + u")";
  return text;
}

int Failed(std::u16string_view what, uint32_t error) {
  Print(stderr, u"cvnevent: " + std::u16string(what) + u": " + ErrorText(error) + u"\n");
  return 1;
}

bool ParseNumber(std::u16string_view text, uint64_t limit, uint64_t& value) {
  const std::string s = Utf16ToUtf8(text);
  if (s.empty()) return false;
  size_t pos = 0;
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    pos = 2;
  }
  value = 0;
  for (; pos < s.size(); ++pos) {
    int digit = -1;
    const char c = s[pos];
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    value = value * base + digit;
    if (value > limit) return false;
  }
  return true;
}

bool ParseType(std::u16string_view text, uint16_t& type) {
  struct Name {
    const char16_t* name;
    uint16_t type;
  };
  static const Name kNames[] = {
      {u"error", kEventTypeError},
      {u"warning", kEventTypeWarning},
      {u"information", kEventTypeInformation},
      {u"audit-success", kEventTypeAuditSuccess},
      {u"audit-failure", kEventTypeAuditFailure},
      {u"success", kEventTypeSuccess},
  };
  for (const Name& n : kNames) {
    if (EqualsNoCase(text, n.name)) {
      type = n.type;
      return true;
    }
  }
  uint64_t value = 0;
  if (!ParseNumber(text, 0xFFFF, value)) return false;
  type = static_cast<uint16_t>(value);
  return true;
}

bool ParseHex(std::u16string_view text, std::vector<uint8_t>& bytes) {
  bytes.clear();
  int high = -1;
  for (char16_t c : text) {
    int digit = -1;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    if (c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    if (c == u' ' || c == u':' || c == u'-') continue;
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0;
}

// Options of the form --name value after the positional arguments.
class Options {
 public:
  Options(const std::vector<std::u16string>& args, size_t first) {
    for (size_t i = first; i < args.size(); ++i) {
      if (rest_started_ || args[i].rfind(u"--", 0) != 0) {
        rest_.push_back(args[i]);
      } else if (args[i] == u"--") {
        rest_started_ = true;
      } else if (i + 1 < args.size()) {
        named_.emplace_back(args[i].substr(2), args[i + 1]);
        ++i;
      } else {
        bad_ = true;
      }
    }
  }
  bool bad() const { return bad_; }
  const std::u16string* Get(std::u16string_view name) {
    for (auto& [key, value] : named_) {
      if (key == name) {
        used_.push_back(key);
        return &value;
      }
    }
    return nullptr;
  }
  // True when every option was asked for (no unknown or misspelled ones).
  bool AllUsed() const {
    for (const auto& entry : named_) {
      bool found = false;
      for (const auto& u : used_) found = found || u == entry.first;
      if (!found) return false;
    }
    return true;
  }
  const std::vector<std::u16string>& rest() const { return rest_; }

 private:
  std::vector<std::pair<std::u16string, std::u16string>> named_;
  std::vector<std::u16string> used_;
  std::vector<std::u16string> rest_;
  bool rest_started_ = false;
  bool bad_ = false;
};

int List() {
  std::vector<std::u16string> logs;
  const uint32_t result = ListEventLogs(logs);
  if (result != 0) return Failed(u"cannot list the event logs", result);
  for (const std::u16string& log : logs) {
    uint32_t count = 0;
    EventLog handle;
    std::u16string line = log;
    if (handle.Open(log) == 0 && handle.GetCount(count) == 0) {
      line += u"\t" + Utf8ToUtf16(std::to_string(count)) + u" records";
    }
    Print(stdout, line + u"\n");
  }
  return 0;
}

// The log a source is registered under, or empty.
std::u16string LogOfSource(std::u16string_view source) {
  std::vector<std::u16string> logs;
  ListEventLogs(logs);
  for (const std::u16string& log : logs) {
    RegistryKey key;
    if (key.Open(RegistryRoot::kLocalMachine, std::u16string(kEventLogKey) + u"\\" + log + u"\\" +
                                                  std::u16string(source)) == 0) {
      return log;
    }
  }
  return {};
}

bool LogExists(std::u16string_view log) {
  RegistryKey key;
  return key.Open(RegistryRoot::kLocalMachine,
                  std::u16string(kEventLogKey) + u"\\" + std::u16string(log)) == 0;
}

int Write(const std::u16string& log, const std::u16string& source, Options& options) {
  uint16_t type = kEventTypeInformation;
  uint64_t id = 0;
  uint64_t category = 0;
  std::vector<uint8_t> sid;
  std::vector<uint8_t> data;
  const std::u16string* id_text = options.Get(u"id");
  if (id_text == nullptr || !ParseNumber(*id_text, 0xFFFFFFFFu, id)) {
    std::fputs("cvnevent: write needs --id with a number\n", stderr);
    return 2;
  }
  if (const auto* text = options.Get(u"type"); text != nullptr && !ParseType(*text, type)) {
    std::fputs("cvnevent: unknown event type\n", stderr);
    return 2;
  }
  if (const auto* text = options.Get(u"category");
      text != nullptr && !ParseNumber(*text, 0xFFFF, category)) {
    std::fputs("cvnevent: --category needs a number from 0 to 65535\n", stderr);
    return 2;
  }
  if (const auto* text = options.Get(u"sid"); text != nullptr && !StringToSid(*text, sid)) {
    std::fputs("cvnevent: --sid needs a SID such as S-1-5-18\n", stderr);
    return 2;
  }
  if (const auto* text = options.Get(u"data"); text != nullptr && !ParseHex(*text, data)) {
    std::fputs("cvnevent: --data needs hexadecimal bytes\n", stderr);
    return 2;
  }
  // Many records from one process, for load tests where starting a process
  // per record would cost more than the writing.
  uint64_t repeat = 1;
  if (const auto* text = options.Get(u"repeat");
      text != nullptr && (!ParseNumber(*text, 0xFFFFFFFFu, repeat) || repeat == 0)) {
    std::fputs("cvnevent: --repeat needs a number from 1\n", stderr);
    return 2;
  }
  if (!options.AllUsed()) return Usage();

  if (!LogExists(log)) return Failed(u"no event log " + log, err::kFileNotFound);
  const std::u16string registered = LogOfSource(source);
  if (registered.empty()) {
    // An unknown source is registered under the log, without message files.
    const uint32_t result = AddEventSource(log, source, EventSourceRegistration{});
    if (result != 0) return Failed(u"cannot register the source " + source, result);
  } else if (!EqualsNoCase(registered, log)) {
    Print(stderr, u"cvnevent: the source " + source + u" belongs to the log " + registered + u"\n");
    return 1;
  }
  EventSource handle;
  uint32_t result = handle.Register(source);
  if (result != 0) return Failed(u"cannot open the source " + source, result);
  for (uint64_t i = 0; i < repeat; ++i) {
    result = handle.Report(type, static_cast<uint16_t>(category), static_cast<uint32_t>(id), sid,
                           options.rest(), data);
    if (result != 0) {
      return Failed(
          u"cannot write to " + log + u" after " + Utf8ToUtf16(std::to_string(i)) + u" records",
          result);
    }
  }
  return 0;
}

// Prints the records of an open log, newest first.
int PrintRecords(EventLog& log, std::u16string_view log_name, Options& options) {
  uint64_t limit = 0xFFFFFFFFu;
  if (const auto* text = options.Get(u"count");
      text != nullptr && !ParseNumber(*text, 0xFFFFFFFFu, limit)) {
    std::fputs("cvnevent: --count needs a number\n", stderr);
    return 2;
  }
  if (!options.AllUsed() || !options.rest().empty()) return Usage();
  RecordPrinter printer(log_name);
  std::vector<uint8_t> buffer(0x10000);
  uint64_t printed = 0;
  while (printed < limit) {
    uint32_t read = 0;
    uint32_t needed = 0;
    const uint32_t result =
        log.Read(kEventLogSequentialRead | kEventLogBackwardsRead, 0, buffer.data(),
                 static_cast<uint32_t>(buffer.size()), read, needed);
    if (result == err::kInsufficientBuffer && needed > buffer.size()) {
      buffer.resize(needed);
      continue;
    }
    if (result == err::kHandleEof) break;
    if (result != 0)
      return Failed(u"reading stopped after " + Utf8ToUtf16(std::to_string(printed)) + u" records",
                    result);
    for (uint32_t pos = 0; pos + kEventLogRecordFixedSize <= read && printed < limit;) {
      uint32_t length = 0;
      std::memcpy(&length, buffer.data() + pos, 4);
      if (length < kEventLogRecordFixedSize || length > read - pos) {
        return Failed(u"a record has a bad length", kEventLogFileCorrupt);
      }
      Print(stdout, printer.Format(std::span<const uint8_t>(buffer.data() + pos, length)));
      ++printed;
      pos += length;
    }
  }
  return 0;
}

}  // namespace
}  // namespace cvn

int ProgramMain(std::vector<std::u16string> args) {
  using namespace cvn;
  using namespace cvn::platform;
  if (args.empty()) return Usage();
  if (const auto rc = tools::StandardOption(args, "cvnevent", [](FILE* out) { Usage(out); })) {
    return *rc;
  }
  const std::u16string command = args[0];
  auto need = [&](size_t positional) { return args.size() >= positional + 1; };
  if (command == u"list") return args.size() == 1 ? List() : Usage();

  if (command == u"create-log" && need(1)) {
    Options options(args, 2);
    uint64_t max_size = 0;
    if (const auto* text = options.Get(u"max-size");
        text != nullptr && !ParseNumber(*text, 0xFFFFFFFFu, max_size)) {
      return Usage();
    }
    if (options.bad() || !options.AllUsed() || !options.rest().empty()) return Usage();
    const uint32_t result = CreateEventLog(args[1], static_cast<uint32_t>(max_size));
    return result == 0 ? 0 : Failed(u"cannot create the log " + args[1], result);
  }
  if (command == u"delete-log" && args.size() == 2) {
    const uint32_t result = DeleteEventLog(args[1]);
    return result == 0 ? 0 : Failed(u"cannot delete the log " + args[1], result);
  }
  if (command == u"add-source" && need(2)) {
    Options options(args, 3);
    EventSourceRegistration registration;
    if (const auto* v = options.Get(u"message-file")) registration.event_message_file = *v;
    if (const auto* v = options.Get(u"parameter-file")) registration.parameter_message_file = *v;
    if (const auto* v = options.Get(u"category-file")) registration.category_message_file = *v;
    if (const auto* v = options.Get(u"provider-guid")) registration.provider_guid = *v;
    uint64_t count = 0;
    if (const auto* v = options.Get(u"category-count");
        v != nullptr && !ParseNumber(*v, 0xFFFFFFFFu, count)) {
      return Usage();
    }
    registration.category_count = static_cast<uint32_t>(count);
    if (options.bad() || !options.AllUsed() || !options.rest().empty()) return Usage();
    const std::u16string other = LogOfSource(args[2]);
    if (!other.empty() && !EqualsNoCase(other, args[1])) {
      Print(stderr, u"cvnevent: the source " + args[2] + u" belongs to the log " + other + u"\n");
      return 1;
    }
    const uint32_t result = AddEventSource(args[1], args[2], registration);
    return result == 0
               ? 0
               : Failed(u"cannot register the source " + args[2] + u" in " + args[1], result);
  }
  if (command == u"write" && need(2)) {
    Options options(args, 3);
    if (options.bad()) return Usage();
    return Write(args[1], args[2], options);
  }
  if (command == u"clear" && need(1)) {
    Options options(args, 2);
    std::u16string backup;
    if (const auto* v = options.Get(u"backup")) backup = *v;
    if (options.bad() || !options.AllUsed() || !options.rest().empty()) return Usage();
    if (!LogExists(args[1])) return Failed(u"no event log " + args[1], err::kFileNotFound);
    const uint32_t result = ClearEventLog(args[1], backup);
    return result == 0 ? 0 : Failed(u"cannot clear the log " + args[1], result);
  }
  if ((command == u"print" || command == u"print-file") && need(1)) {
    Options options(args, 2);
    if (options.bad()) return Usage();
    EventLog log;
    uint32_t result = 0;
    if (command == u"print") {
      if (!LogExists(args[1])) return Failed(u"no event log " + args[1], err::kFileNotFound);
      result = log.Open(args[1]);
    } else {
      result = log.OpenFile(args[1]);
    }
    if (result != 0) return Failed(u"cannot open " + args[1], result);
    std::u16string describe_as = command == u"print" ? args[1] : std::u16string();
    if (const auto* v = options.Get(u"log"); v != nullptr && command == u"print-file")
      describe_as = *v;
    return PrintRecords(log, describe_as, options);
  }
  return Usage();
}
