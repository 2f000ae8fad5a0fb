// How long a record of a quiet log waits while another log is written
// without a pause: the reader reads one slice per log per turn, so the quiet
// log's record waits at most one slice of the busy log.
//
// A core watches two logs; its syslog channel only notes when each record
// of the quiet log was offered. A writer puts the busy log's records in back
// to back while the quiet log gets one record every 100 ms; the time shown
// is the quiet records' worst wait (manual time), with the median and the
// busy records read per second as counters. The argument is the number of
// busy records. Run with, for example:
//   build/bench/fair_reading_bench --benchmark_filter=BM_QuietLogLatency/200000
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "core/cvn_core.h"
#include "core/event_log_monitor.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "support/temp_dir.h"

namespace {

using namespace cvn;
using Clock = std::chrono::steady_clock;

constexpr std::u16string_view kBusy = u"BenchBusyLog";
constexpr std::u16string_view kQuiet = u"BenchQuietLog";

std::u16string PipeName(const char* role) {
  std::random_device rd;
  return u"\\\\.\\pipe\\cvn-fair-" + Utf8ToUtf16(role) + u"-" + Utf8ToUtf16(std::to_string(rd()));
}

void Write(platform::EventSource& source, uint32_t id) {
  static const std::vector<std::u16string> strings = {u"benchmark event payload"};
  source.Report(4, 0, id, {}, strings, {});
}

void BM_QuietLogLatency(benchmark::State& state) {
  const auto busy_records = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    testing::ScopedMachineRoot root;
    platform::EventSource busy;
    platform::EventSource quiet;
    for (const auto name : {kBusy, kQuiet}) {
      platform::CreateEventLog(name, 256u << 20);  // nothing is overwritten
      platform::AddEventSource(name, name, {});
    }
    busy.Register(kBusy);
    quiet.Register(kQuiet);
    Write(busy, 1);
    Write(quiet, 1);

    CCVNSettings settings;
    settings.Syslog_Forward.value = true;
    const std::u16string path = CCVNCore::GetSettingsFilePath();
    platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
    settings.SaveFile(path);
    CCVNCore core;
    core.SetPipeNames(PipeName("s"), PipeName("c"));
    core.SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
    platform::Lock lock;
    std::map<uint32_t, Clock::time_point> offered;  // quiet records by number
    std::atomic<uint64_t> busy_read{0};
    core.SetChannelHandler(Channel::kSyslog, [&](CCVNCore&, const SEventRecord& record) {
      if (record.logName == kQuiet) {
        platform::LockGuard guard(lock);
        offered.emplace(record.recordNumber, Clock::now());
      } else {
        ++busy_read;
      }
      return Offer::kTaken;
    });
    if (core.InitCore() != 0 || core.StartServer() != 0 || !core.TableReadyEvent()->Wait(10000)) {
      state.SkipWithError("the core did not start");
      return;
    }
    const auto begin = Clock::now();
    std::thread writer([&] {
      for (uint32_t i = 0; i < busy_records; ++i) Write(busy, 2);
    });
    std::vector<Clock::time_point> written;
    while (busy_read < busy_records && Clock::now() - begin < std::chrono::minutes(3)) {
      written.push_back(Clock::now());
      Write(quiet, 3);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    writer.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    core.StopServer();
    core.ReleaseCore();

    std::vector<double> waits;
    for (size_t i = 0; i < written.size(); ++i) {
      platform::LockGuard guard(lock);
      const auto it = offered.find(static_cast<uint32_t>(i + 2));  // record 1 came before
      if (it == offered.end()) continue;
      waits.push_back(std::chrono::duration<double>(it->second - written[i]).count());
    }
    if (waits.empty()) {
      state.SkipWithError("no quiet record was offered");
      return;
    }
    std::sort(waits.begin(), waits.end());
    state.SetIterationTime(waits.back());
    state.counters["median_s"] = waits[waits.size() / 2];
    state.counters["quiet_records"] = static_cast<double>(waits.size());
    state.counters["busy_per_s"] = static_cast<double>(busy_records) / seconds;
  }
}

BENCHMARK(BM_QuietLogLatency)
    ->Arg(3000)
    ->Arg(200000)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
