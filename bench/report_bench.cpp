// A one-day report over a log of 100,000 records, all inside the day: the
// generator's time, and the growth of the process's peak memory while it runs
// (the document and its pieces).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "core/cvn_core.h"
#include "platform/environment.h"
#include "platform/event_log.h"
#include "report/report_schedule.h"
#include "support/temp_dir.h"

namespace {

using namespace cvn;

constexpr uint32_t kRecords = 100000;
constexpr uint32_t kDay = 1481068800;  // 2016-12-07 00:00 UTC

double PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Writes the records, then spreads their times evenly over the day.
bool MakeLog() {
  if (platform::CreateEventLog(u"BenchReport", 64 * 1024 * 1024) != 0) return false;
  platform::EventSource source;
  if (source.Register(u"BenchReport") != 0) return false;
  const std::vector<std::u16string> strings = {
      u"The service processed a request from 10.0.0.17 in 35 ms; nothing to report."};
  for (uint32_t i = 0; i < kRecords; ++i) {
    const uint16_t type = static_cast<uint16_t>(1u << (i % 5));
    if (source.Report(type, 0, 1000 + i % 50, {}, strings, {}) != 0) return false;
  }
  const auto path =
      std::filesystem::path(Utf16ToUtf8(platform::GetEnvironmentValue(u"CORVANE_ROOT"))) /
      "Windows/System32/config/BenchReport.evt";
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  uint32_t offset = 0x30;
  for (uint32_t i = 0; i < kRecords; ++i) {
    platform::EventLogRecordHeader h{};
    f.seekg(offset);
    if (!f.read(reinterpret_cast<char*>(&h), sizeof h)) return false;
    h.TimeGenerated = h.TimeWritten = kDay + static_cast<uint32_t>(uint64_t{i} * 86400 / kRecords);
    f.seekp(offset);
    f.write(reinterpret_cast<const char*>(&h), sizeof h);
    offset += h.Length;
  }
  return static_cast<bool>(f.flush());
}

void BM_OneDayReport(benchmark::State& state) {
  platform::SetEnvironmentValue(u"TZ", u"UTC");
  cvn::testing::ScopedMachineRoot root;
  if (!MakeLog()) {
    state.SkipWithError("the log could not be written");
    return;
  }
  CCVNCore core;
  const std::vector<std::u16string> logs = {u"BenchReport"};
  const double before = PeakMiB();
  size_t bytes = 0;
  for (auto _ : state) {
    std::u16string document;
    std::string period;
    core.GenerateReport(kDay, kDay + 86400, &logs, document, period);
    bytes = Utf16ToUtf8(document).size();
  }
  state.counters["records"] = kRecords;
  state.counters["report_MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
  state.counters["peak_growth_MiB"] = PeakMiB() - before;
  state.counters["peak_MiB"] = PeakMiB();
}
BENCHMARK(BM_OneDayReport)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
