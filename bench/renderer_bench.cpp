// Costs of rendering one record's description: the message module is loaded
// and freed on every formatting call, so the size of the module matters. A
// plain message-table file, a large PE message table (Wine's kernelbase.dll
// when installed), and a source without any message file.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "events/message_renderer.h"
#include "platform/registry.h"
#include "support/temp_dir.h"

namespace {

using namespace cvn;
using namespace cvn::platform;

constexpr char kKernelBase[] = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernelbase.dll";

using BenchRoot = cvn::testing::ScopedMachineRoot;

// A raw record of source "Src" with event id and two insertion strings.
std::vector<uint8_t> Record(uint32_t event_id) {
  std::vector<uint8_t> b(56, 0);
  auto wide = [&b](std::u16string_view s) {
    for (char16_t c : s) {
      b.push_back(static_cast<uint8_t>(c));
      b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
  };
  auto put32 = [&b](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  wide(u"Src");
  wide(u"HOST");
  const size_t strings = b.size();
  wide(u"first");
  wide(u"S-1-5-18");
  while (b.size() % 4 != 0) b.push_back(0);
  b.resize(b.size() + 4);
  put32(0, static_cast<uint32_t>(b.size()));
  put32(20, event_id);
  b[24] = 4;
  b[26] = 2;
  put32(36, static_cast<uint32_t>(strings));
  put32(b.size() - 4, static_cast<uint32_t>(b.size()));
  return b;
}

void RegisterSource(const std::u16string& files) {
  RegistryKey key;
  key.Create(RegistryRoot::kLocalMachine,
             u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\BenchLog\\Src");
  key.SetString(u"EventMessageFile", files);
}

void Render(benchmark::State& state, uint32_t event_id) {
  CMessageRenderer renderer;
  const std::vector<uint8_t> raw = Record(event_id);
  for (auto _ : state) {
    SEventRecord record;
    renderer.BuildEventRecord(record, raw, u"BenchLog");
    benchmark::DoNotOptimize(record.description);
  }
}

void BM_RenderFromPlainTable(benchmark::State& state) {
  BenchRoot root;
  const auto table = root.dir().path() / "bench.msgtable";
  std::ofstream(table) << "CVN-MESSAGE-TABLE 1\nMessageId=1000\nEvent %1 by %2.\n.\n";
  RegisterSource(table.u16string());
  Render(state, 1000);
}
BENCHMARK(BM_RenderFromPlainTable);

void BM_RenderFromLargePeTable(benchmark::State& state) {
  if (!std::filesystem::exists(kKernelBase)) {
    state.SkipWithError("no PE message module to read");
    return;
  }
  BenchRoot root;
  RegisterSource(std::u16string(kKernelBase, kKernelBase + sizeof kKernelBase - 1));
  Render(state, 2);
}
BENCHMARK(BM_RenderFromLargePeTable);

void BM_RenderUnregisteredSource(benchmark::State& state) {
  BenchRoot root;
  Render(state, 1000);
}
BENCHMARK(BM_RenderUnregisteredSource);

}  // namespace

BENCHMARK_MAIN();
