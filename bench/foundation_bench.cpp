// Costs of the foundation pieces on hot paths: a log line (open, seek, write,
// close per line), the wake-up latency of an event across threads, and the
// code page conversion used for every syslog message.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <thread>

#include "diag/log_file.h"
#include "events/date_time_format.h"
#include "platform/codepage.h"
#include "platform/sync.h"

namespace {

void BM_LogFileWrite(benchmark::State& state) {
  const auto dir = std::filesystem::temp_directory_path() / "cvn-bench-log";
  std::filesystem::create_directories(dir);
  cvn::CLogFile log;
  log.folder = dir.u16string();
  for (auto _ : state) log.Write('N', "Trace", "Reading records 501..520 of Application");
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LogFileWrite);

// Round trip: one thread sets, the other wakes and answers.
void BM_EventPingPong(benchmark::State& state) {
  cvn::platform::Event ping, pong, stop(cvn::platform::Event::Mode::kManualReset);
  std::thread peer([&] {
    cvn::platform::Event* events[] = {&stop, &ping};
    while (cvn::platform::WaitAny(events, cvn::platform::kInfinite).index == 1) pong.Set();
  });
  for (auto _ : state) {
    ping.Set();
    pong.Wait(cvn::platform::kInfinite);
  }
  stop.Set();
  peer.join();
}
BENCHMARK(BM_EventPingPong);

void BM_ToCodePage1252(benchmark::State& state) {
  const std::u16string text(400, u'\u00e9');
  std::string out;
  for (auto _ : state) {
    cvn::platform::ToCodePage(text, 1252, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_ToCodePage1252);

void BM_FormatDateTime(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(cvn::FormatDateTime(1481205909, 12, 1));
}
BENCHMARK(BM_FormatDateTime);

}  // namespace

BENCHMARK_MAIN();
