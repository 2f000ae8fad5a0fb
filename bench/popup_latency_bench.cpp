// The time from a record written into a watched event log to its pop-up
// arriving at a connected console: the log's change notification wakes the
// primary server thread, the reader builds the record, the pop-up channel
// sends it over the console pipe.
//
// Each iteration writes one record and waits for its pop-up; the time shown is
// that latency (manual time), with the median, 90th percentile and maximum of
// the run as counters. The argument is a pause after each pop-up, outside the
// measured time, that lets the reader finish with the log (bookmark update)
// before the next record; with 0 the next record is written at once, while
// the reader may still be busy. Run with, for example:
//   build/bench/popup_latency_bench --benchmark_filter=BM_PopupLatency/50
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "control/ctrl_protocol.h"
#include "core/cvn_core.h"
#include "core/event_log_monitor.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "support/temp_dir.h"
#include "tools/cvnconsole/console_session.h"

namespace {

using namespace cvn;
using Clock = std::chrono::steady_clock;

constexpr std::u16string_view kLog = u"BenchPopupLog";
constexpr std::u16string_view kSource = u"BenchPopupSource";
constexpr uint32_t kWaitMs = 10000;

std::u16string PipeName(const char* role) {
  std::random_device rd;
  return u"\\\\.\\pipe\\cvn-bench-" + Utf8ToUtf16(role) + u"-" + Utf8ToUtf16(std::to_string(rd()));
}

// A started core watching one log, and a console session that notes when
// each pop-up arrives.
class Rig {
 public:
  bool Start(std::string& error) {
    platform::CreateEventLog(kLog);
    platform::AddEventSource(kLog, kSource, {});
    if (source_.Register(kSource) != 0) {
      error = "cannot register the event source";
      return false;
    }
    Write();  // the log is not empty when the monitor first sees it

    CCVNSettings settings;
    settings.Popup_Show.value = true;
    const std::u16string path = CCVNCore::GetSettingsFilePath();
    platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
    settings.SaveFile(path);

    const std::u16string server = PipeName("server");
    const std::u16string console = PipeName("console");
    core_.SetPipeNames(server, console);
    core_.SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
    if (core_.InitCore() != 0 || core_.StartServer() != 0) {
      error = "the core did not start";
      return false;
    }
    console_ = std::make_unique<console::ConsoleSession>(
        server, console, [](const std::string&) {},
        [this](const control::CSTCtrlMessage& call) {
          if (call.LastByte() != control::kKindPropertySet || call.Size() < 6 ||
              call.Bytes()[call.Size() - 2] != control::kPropPopup) {
            return;
          }
          arrived_ns_ = Clock::now().time_since_epoch().count();
          arrived_.Set();
        });
    if (console_->Open(kWaitMs) != console::kExitOk) {
      error = console_->Error();
      return false;
    }
    if (!core_.TableReadyEvent()->Wait(kWaitMs)) {
      error = "the monitor did not build its table";
      return false;
    }
    return true;
  }

  ~Rig() {
    console_.reset();
    core_.StopServer();
    core_.ReleaseCore();
  }

  uint32_t Write() {
    static const std::vector<std::u16string> strings = {u"benchmark record"};
    return source_.Report(platform::kEventTypeWarning, 0, 1000, {}, strings, {});
  }

  // The arrival time of the next pop-up, or nothing when none came in time.
  bool AwaitPopup(Clock::time_point& at) {
    if (!arrived_.Wait(kWaitMs)) return false;
    at = Clock::time_point(Clock::duration(arrived_ns_.load()));
    return true;
  }

 private:
  testing::ScopedMachineRoot root_;
  platform::EventSource source_;
  CCVNCore core_;
  std::unique_ptr<console::ConsoleSession> console_;
  platform::Event arrived_{platform::Event::Mode::kAutoReset};
  std::atomic<Clock::rep> arrived_ns_{0};
};

void ReportSamples(benchmark::State& state, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  const size_t n = us.size();
  state.counters["median_us"] = n % 2 ? us[n / 2] : (us[n / 2 - 1] + us[n / 2]) / 2;
  state.counters["p90_us"] = us[std::min(n - 1, n * 9 / 10)];
  state.counters["max_us"] = us.back();
}

// The record is written through the event log API of this process.
void BM_PopupLatency(benchmark::State& state) {
  Rig rig;
  std::string error;
  if (!rig.Start(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<double> samples;
  for (auto _ : state) {
    const Clock::time_point written = Clock::now();
    Clock::time_point arrived;
    if (rig.Write() != 0 || !rig.AwaitPopup(arrived)) {
      state.SkipWithError("no pop-up arrived");
      break;
    }
    const std::chrono::duration<double> elapsed = arrived - written;
    state.SetIterationTime(elapsed.count());
    samples.push_back(elapsed.count() * 1e6);
    platform::SleepMs(static_cast<uint32_t>(state.range(0)));
  }
  ReportSamples(state, std::move(samples));
}
BENCHMARK(BM_PopupLatency)
    ->Arg(50)
    ->Arg(0)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The record is written by the event log tool in another process; the time
// includes starting that process.
void BM_PopupLatencyFromTool(benchmark::State& state) {
  Rig rig;
  std::string error;
  if (!rig.Start(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string command = std::string("\"") + CVNEVENT_PATH + "\" write " + Utf16ToUtf8(kLog) +
                              " " + Utf16ToUtf8(kSource) +
                              " --id 1001 --type warning -- \"benchmark record\"";
  std::vector<double> samples;
  for (auto _ : state) {
    const Clock::time_point started = Clock::now();
    Clock::time_point arrived;
    if (std::system(command.c_str()) != 0 || !rig.AwaitPopup(arrived)) {
      state.SkipWithError("no pop-up arrived");
      break;
    }
    const std::chrono::duration<double> elapsed = arrived - started;
    state.SetIterationTime(elapsed.count());
    samples.push_back(elapsed.count() * 1e6);
    platform::SleepMs(static_cast<uint32_t>(state.range(0)));
  }
  ReportSamples(state, std::move(samples));
}
BENCHMARK(BM_PopupLatencyFromTool)
    ->Arg(50)
    ->Iterations(100)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
