// cvnconsole: talks to the running service over its control pipes, as the
// configuration console does: prints the notifications and pop-up records the
// service sends, calls its methods and queries or assigns its properties.
#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "control/ctrl_protocol.h"
#include "platform/program_entry.h"
#include "tools/cvnconsole/console_json.h"
#include "tools/cvnconsole/console_session.h"
#include "tools/cvnconsole/console_text.h"

namespace {

using cvn::control::CSTCtrlMessage;
using namespace cvn::console;

constexpr uint32_t kOpenTimeoutMs = 5000;
constexpr uint32_t kReplyTimeoutMs = 60000;
// A custom report is made before the service answers.
constexpr uint32_t kReportTimeoutMs = 15 * 60 * 1000;

constexpr char kUsage[] =
    "usage: cvnconsole <command> [arguments]\n"
    "\n"
    "  watch [seconds]            stay connected and print the service's notifications\n"
    "                             and pop-up records (until Ctrl+C or the seconds pass)\n"
    "  call <method>              call a method: purge-syslog (0), purge-email (1),\n"
    "                             reload (3), purge-db (5), or any number 0-255\n"
    "  reload                     the configuration file changed: same as call 3\n"
    "  purge syslog|email|db      empty a channel's queue: call 0, 1 or 5\n"
    "  status [--json]            the service's status values as a table, or as one\n"
    "                             JSON object with each channel's figures; exits 0\n"
    "                             when every channel switched on delivers, 3 when one\n"
    "                             does not, 1 when the service cannot be reached\n"
    "  stats [period]             the event statistics as a chart; period 0-6 selects\n"
    "                             14 d, 7 d, 2 d, 12 h, 6 h, 2 h or 30 min first\n"
    "  get <property>             query: status (0), start-time (2), period-name (4),\n"
    "                             histogram (5), syslog-error (7), email-error (8),\n"
    "                             report-error (9), logs (10), db-error (12), metrics (13),\n"
    "                             or a number\n"
    "  set <property> <value>     assign a 32-bit value: reset (1) with a reset code,\n"
    "                             period (3) with a period index 0-6, or a number\n"
    "  report <file> [--from <time>] [--to <time>] [--logs a,b | --all-logs | --watched]\n"
    "                             have the service write an HTML report of a period\n"
    "                             (default: the last day, the watched logs) to <file>,\n"
    "                             with your rights; times are seconds since 1970 or\n"
    "                             YYYY-MM-DD[THH:MM[:SS]] in UTC\n"
    "\n"
    "exit codes (but status, above): 0 done, 1 usage, 2 the service is not running,\n"
    "3 another console is connected, 4 the exchange failed or the service refused,\n"
    "5 access denied\n";

std::mutex g_out_mu;
std::atomic<bool> g_interrupted{false};

// What the service sends (pop-ups carry event text) may hold terminal
// commands: every control character but the line feed and the tab is
// printed as an escape.
void Print(const std::string& text) {
  std::lock_guard lk(g_out_mu);
  std::fputs(cvn::EscapeControlCharacters(text, "\n\t").c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Fail(const std::string& text, int code) {
  std::lock_guard lk(g_out_mu);
  std::fprintf(stderr, "cvnconsole: %s\n", text.c_str());
  return code;
}

int Usage(const std::string& problem) {
  std::lock_guard lk(g_out_mu);
  if (!problem.empty()) std::fprintf(stderr, "cvnconsole: %s\n\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

extern "C" void OnInterrupt(int) { g_interrupted = true; }

std::optional<int32_t> ParseInt(const std::string& s) {
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < INT32_MIN || v > UINT32_MAX)
    return std::nullopt;
  return static_cast<int32_t>(v);
}

struct Session {
  ConsoleSession console{std::u16string(cvn::control::kServerPipeName),
                         std::u16string(cvn::control::kConsolePipeName), Print};
  int Open() {
    const int rc = console.Open(kOpenTimeoutMs);
    if (rc != kExitOk) return Fail(console.Error(), rc);
    return kExitOk;
  }
  // One exchange whose reply must be of the given kind.
  int Request(CSTCtrlMessage& request, uint8_t kind, CSTCtrlMessage& reply, uint32_t timeout_ms) {
    if (!console.Exchange(request, reply, timeout_ms)) return Fail(console.Error(), kExitFailed);
    uint8_t got = 0;
    if (!reply.ValueFromStack(got) || got != kind)
      return Fail("the service sent an unexpected reply", kExitFailed);
    return kExitOk;
  }
};

int CallMethod(uint8_t method) {
  Session s;
  if (const int rc = s.Open(); rc != kExitOk) return rc;
  CSTCtrlMessage request;
  request.ValueToStack(method);
  request.ValueToStack(static_cast<uint8_t>(cvn::control::kKindMethodCall));
  CSTCtrlMessage reply;
  if (const int rc = s.Request(request, cvn::control::kKindMethodReply, reply, kReplyTimeoutMs);
      rc != kExitOk) {
    return rc;
  }
  int32_t result = 0;
  reply.ValueFromStack(result);
  if (method == cvn::control::kMethodConfigChanged && result == 1) {
    return Fail("the service is starting or stopping; the configuration was not reloaded",
                kExitFailed);
  }
  Print("method " + std::to_string(method) + ": result " + std::to_string(result));
  return result == 0 ? kExitOk : kExitFailed;
}

int GetProperty(uint8_t id) {
  Session s;
  if (const int rc = s.Open(); rc != kExitOk) return rc;
  CSTCtrlMessage request;
  request.ValueToStack(id);
  request.ValueToStack(static_cast<uint8_t>(cvn::control::kKindPropertyQuery));
  CSTCtrlMessage reply;
  if (const int rc = s.Request(request, cvn::control::kKindPropertyReply, reply, kReplyTimeoutMs);
      rc != kExitOk) {
    return rc;
  }
  Print(DescribeProperty(id, reply));
  return kExitOk;
}

// One property query on an open session; false when it failed (reported).
bool Query(Session& s, uint8_t id, CSTCtrlMessage& reply, int& rc) {
  CSTCtrlMessage request;
  request.ValueToStack(id);
  request.ValueToStack(static_cast<uint8_t>(cvn::control::kKindPropertyQuery));
  rc = s.Request(request, cvn::control::kKindPropertyReply, reply, kReplyTimeoutMs);
  return rc == kExitOk;
}

// Exit codes of "status", for scripts and monitoring checks.
constexpr int kStatusAllUp = 0;
constexpr int kStatusUnreachable = 1;
constexpr int kStatusChannelDown = 3;

int Status(bool json) {
  Session s;
  if (s.Open() != kExitOk) return kStatusUnreachable;
  CSTCtrlMessage reply;
  std::vector<int32_t> pairs;
  if (int rc = 0; !Query(s, cvn::control::kPropStatus, reply, rc)) return kStatusUnreachable;
  if (!reply.ValueFromStack(pairs)) {
    Fail("the status reply holds no values", kExitFailed);
    return kStatusUnreachable;
  }
  CSTCtrlMessage metrics_reply;
  std::u16string exposition;
  if (int rc = 0; !Query(s, cvn::control::kPropMetrics, metrics_reply, rc)) {
    return kStatusUnreachable;
  }
  metrics_reply.ValueFromStack(exposition);
  const std::vector<MetricSample> metrics = ParseExposition(cvn::Utf16ToUtf8(exposition));
  const std::vector<std::string> down = ChannelsDown(pairs, metrics);
  if (json) {
    std::lock_guard lk(g_out_mu);
    std::fputs((StatusJson(pairs, metrics) + "\n").c_str(), stdout);
    std::fflush(stdout);
  } else {
    std::string text = StatusTable(pairs);
    if (!down.empty()) {
      text += "\n\nnot delivering:";
      for (const std::string& name : down) text += " " + name;
    }
    Print(text);
  }
  return down.empty() ? kStatusAllUp : kStatusChannelDown;
}

int Stats(std::optional<int32_t> period) {
  Session s;
  if (const int rc = s.Open(); rc != kExitOk) return rc;
  if (period) {
    CSTCtrlMessage request, reply;
    request.ValueToStack(*period);
    request.ValueToStack(static_cast<uint8_t>(cvn::control::kPropSelectPeriod));
    request.ValueToStack(static_cast<uint8_t>(cvn::control::kKindPropertySet));
    if (const int rc =
            s.Request(request, cvn::control::kKindPropertySetReply, reply, kReplyTimeoutMs);
        rc != kExitOk) {
      return rc;
    }
  }
  CSTCtrlMessage name_reply, histogram_reply;
  std::u16string name;
  std::vector<int32_t> counters;
  int rc = 0;
  if (!Query(s, cvn::control::kPropPeriodName, name_reply, rc)) return rc;
  if (!Query(s, cvn::control::kPropHistogram, histogram_reply, rc)) return rc;
  name_reply.ValueFromStack(name);
  if (!histogram_reply.ValueFromStack(counters)) {
    return Fail("the statistics reply holds no values", kExitFailed);
  }
  Print(HistogramChart(name, counters));
  return kExitOk;
}

int SetProperty(uint8_t id, CSTCtrlMessage& request, uint32_t timeout_ms, const std::string& done) {
  Session s;
  if (const int rc = s.Open(); rc != kExitOk) return rc;
  request.ValueToStack(id);
  request.ValueToStack(static_cast<uint8_t>(cvn::control::kKindPropertySet));
  CSTCtrlMessage reply;
  if (const int rc = s.Request(request, cvn::control::kKindPropertySetReply, reply, timeout_ms);
      rc != kExitOk) {
    return rc;
  }
  Print(done);
  return kExitOk;
}

int Watch(std::optional<int32_t> seconds) {
  Session s;
  if (const int rc = s.Open(); rc != kExitOk) return rc;
  Print("connected to the Corvane Service; waiting for notifications and pop-ups (Ctrl+C ends)");
  std::signal(SIGINT, OnInterrupt);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds.value_or(0));
  while (!g_interrupted && (!seconds || std::chrono::steady_clock::now() < end)) {
    if (!s.console.StillConnected(200))
      return Fail("the service closed the connection", kExitFailed);
  }
  return kExitOk;
}

// When the file was last written; nullopt when it is not there.
std::optional<std::filesystem::file_time_type> WriteTime(const std::filesystem::path& file) {
  std::error_code ec;
  const auto t = std::filesystem::last_write_time(file, ec);
  if (ec) return std::nullopt;
  return t;
}

int Report(const std::vector<std::string>& args) {
  std::string problem;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const auto r = ParseReportArgs({args.begin() + 1, args.end()}, now, problem);
  if (!r) return Usage(problem);
  // The service takes full paths only; a relative one is the console's.
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(r->file, ec);
  if (ec) return Usage("cannot make a full path of " + r->file);
  std::vector<std::u16string> logs;
  for (const auto& name : r->logs) logs.push_back(cvn::Utf8ToUtf16(name));
  CSTCtrlMessage request;
  request.ValueToStack(r->all_logs);
  request.ValueToStack(r->watched);
  request.ValueToStack(logs);
  request.ValueToStack(std::u16string_view(cvn::Utf8ToUtf16(file.string())));
  request.ValueToStack(static_cast<int32_t>(r->from));
  request.ValueToStack(static_cast<int32_t>(r->to));
  request.ValueToStack(cvn::control::kCustomReportTag);
  const auto before = WriteTime(file);
  const int rc = SetProperty(
      cvn::control::kPropCustomReport, request, kReportTimeoutMs,
      "the service has made the report of " + FormatTime(r->from) + " to " + FormatTime(r->to));
  if (rc != kExitOk) return rc;
  // The reply carries no outcome: the file tells it.
  const auto after = WriteTime(file);
  if (!after || after == before) {
    return Fail(
        "the service could not write " + file.string() + " (its log says why: category Report)",
        kExitFailed);
  }
  Print("report written to " + file.string());
  return kExitOk;
}

}  // namespace

int ProgramMain(std::vector<std::u16string> wide_args) {
  std::vector<std::string> args;
  for (const auto& a : wide_args) args.push_back(cvn::Utf16ToUtf8(a));
  if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    if (args.empty()) return Usage("");
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const std::string& command = args[0];

  if (command == "watch") {
    if (args.size() > 2) return Usage("watch takes at most a number of seconds");
    std::optional<int32_t> seconds;
    if (args.size() == 2) {
      seconds = ParseInt(args[1]);
      if (!seconds || *seconds <= 0) return Usage("watch needs a positive number of seconds");
    }
    return Watch(seconds);
  }
  if (command == "status") {
    if (args.size() > 2 || (args.size() == 2 && args[1] != "--json")) {
      return Usage("status takes only --json");
    }
    return Status(args.size() == 2);
  }
  if (command == "stats") {
    if (args.size() > 2) return Usage("stats takes at most a period");
    std::optional<int32_t> period;
    if (args.size() == 2) {
      period = ParseInt(args[1]);
      if (!period || *period < 0 || *period > 6) return Usage("stats needs a period 0-6");
    }
    return Stats(period);
  }
  if (command == "reload") {
    if (args.size() != 1) return Usage("reload takes no arguments");
    return CallMethod(cvn::control::kMethodConfigChanged);
  }
  if (command == "purge") {
    if (args.size() != 2) return Usage("purge needs syslog, email or db");
    const auto method = MethodByName("purge-" + args[1]);
    if (!method) return Usage("purge needs syslog, email or db");
    return CallMethod(*method);
  }
  if (command == "call") {
    if (args.size() != 2) return Usage("call needs a method");
    const auto method = MethodByName(args[1]);
    if (!method) return Usage("unknown method: " + args[1]);
    return CallMethod(*method);
  }
  if (command == "get") {
    if (args.size() != 2) return Usage("get needs a property");
    const auto id = PropertyByName(args[1]);
    if (!id) return Usage("unknown property: " + args[1]);
    return GetProperty(*id);
  }
  if (command == "set") {
    if (args.size() != 3) return Usage("set needs a property and a value");
    const auto id = PropertyByName(args[1]);
    if (!id) return Usage("unknown property: " + args[1]);
    const auto value = ParseInt(args[2]);
    if (!value) return Usage("set needs a 32-bit number as its value");
    CSTCtrlMessage request;
    request.ValueToStack(*value);
    return SetProperty(*id, request, kReplyTimeoutMs,
                       "property " + std::to_string(*id) + " assigned");
  }
  if (command == "report") return Report(args);
  return Usage("unknown command: " + command);
}
