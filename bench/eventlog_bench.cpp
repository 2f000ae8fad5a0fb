// Costs of the event log and registry emulation on the service's paths:
// reporting one event, reading a batch of new records newest first, and the
// registry reads that rendering makes per source.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace {

using namespace cvn::platform;

constexpr std::u16string_view kLog = u"BenchLog";
constexpr std::u16string_view kSource = u"BenchSource";

using BenchRoot = cvn::testing::ScopedMachineRoot;

void MakeLog() {
  CreateEventLog(kLog);
  EventSourceRegistration registration;
  registration.event_message_file = u"%SystemRoot%\\System32\\bench.dll";
  AddEventSource(kLog, kSource, registration);
}

void BM_ReportEvent(benchmark::State& state) {
  BenchRoot root;
  MakeLog();
  EventSource source;
  source.Register(kSource);
  const std::vector<std::u16string> strings = {u"first insertion string", u"second"};
  for (auto _ : state) {
    if (source.Report(kEventTypeInformation, 0, 1000, {}, strings, {}) != 0)
      state.SkipWithError("report failed");
  }
}
BENCHMARK(BM_ReportEvent);

// Reads the newest state.range(0) records of a log of 5000, as the reader
// does after a wake-up.
void BM_ReadNewestRecords(benchmark::State& state) {
  BenchRoot root;
  MakeLog();
  EventSource source;
  source.Register(kSource);
  const std::vector<std::u16string> strings = {u"first insertion string", u"second"};
  for (int i = 0; i < 5000; ++i) source.Report(kEventTypeInformation, 0, 1000, {}, strings, {});
  std::vector<uint8_t> buffer(0x10000);
  for (auto _ : state) {
    EventLog log;
    log.Open(kLog);
    int64_t records = 0;
    while (records < state.range(0)) {
      uint32_t read = 0;
      uint32_t needed = 0;
      if (log.Read(kEventLogSequentialRead | kEventLogBackwardsRead, 0, buffer.data(),
                   static_cast<uint32_t>(buffer.size()), read, needed) != 0) {
        break;
      }
      for (uint32_t pos = 0; pos < read; ++records) {
        uint32_t length = 0;
        std::memcpy(&length, buffer.data() + pos, 4);
        pos += length;
      }
    }
    benchmark::DoNotOptimize(records);
  }
}
BENCHMARK(BM_ReadNewestRecords)->Arg(10)->Arg(1000);

void BM_RegistryQueryMessageFile(benchmark::State& state) {
  BenchRoot root;
  MakeLog();
  const std::u16string path = std::u16string(kEventLogKey) + u"\\BenchLog\\BenchSource";
  for (auto _ : state) {
    RegistryKey key;
    std::u16string text;
    key.Open(RegistryRoot::kLocalMachine, path);
    key.QueryExpandedString(u"EventMessageFile", text);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_RegistryQueryMessageFile);

}  // namespace
BENCHMARK_MAIN();
