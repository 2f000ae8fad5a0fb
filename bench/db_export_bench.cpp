// Records per second that the database channel's worker exports: N = 10,000
// statements of the default template's shape, all queued before the worker
// is woken, into a SQLite file (SQLite3 ODBC driver) and into a PostgreSQL 15
// server started for the run (psqlODBC; needs root), with and without
// transactions. The records/s counter is the figure to read. Run with:
//   build/bench/db_export_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "db/db_peers.h"
#include "db/export_rig.h"
#include "support/temp_dir.h"

namespace {

using namespace cvn;
using namespace cvn::db_test;
using Clock = std::chrono::steady_clock;

constexpr int kRecords = 10000;

// Queues kRecords statements, wakes the worker and times it until all are
// handled.
void ExportAll(benchmark::State& state, const std::string& connection, bool transactions,
               const std::function<void()>& reset) {
  for (auto _ : state) {
    state.PauseTiming();
    reset();
    ExportRig rig(connection, transactions);
    for (int n = 1; n <= kRecords; ++n)
      rig.Push(Insert(n, "benchmark record, quote '' inside"), false);
    if (rig.Start() != 0) {
      state.SkipWithError("the database cannot be opened");
      return;
    }
    state.ResumeTiming();
    const auto start = Clock::now();
    rig.Wake();
    while (rig.exported + rig.failed < static_cast<uint64_t>(kRecords)) platform::SleepMs(1);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["records/s"] = kRecords / seconds;
    state.counters["failed"] = static_cast<double>(rig.failed);
  }
}

void BM_Sqlite(benchmark::State& state) {
  if (!HaveSqliteDriver()) {
    state.SkipWithError("the SQLite3 ODBC driver is not installed");
    return;
  }
  cvn::testing::TempDir dir;
  const auto file = dir.path() / "events.db";
  ExportAll(state, SqliteConnection(file), state.range(0) != 0, [&] {
    SqliteQuery(file, "DROP TABLE IF EXISTS EventLog");
    SqliteQuery(file, kSqliteTable);
  });
}

void BM_Postgres(benchmark::State& state) {
  if (const std::string why = PostgresServer::Unavailable(); !why.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  cvn::testing::TempDir dir;
  PostgresServer server(dir.path());
  if (!server.ok()) {
    state.SkipWithError("PostgreSQL did not start");
    return;
  }
  ExportAll(state, server.Connection(), state.range(0) != 0, [&] {
    server.Query("DROP TABLE IF EXISTS EventLog");
    server.Query(kPostgresTable);
  });
}

// Argument: 1 with transactions, 0 without.
BENCHMARK(BM_Sqlite)
    ->ArgName("transactions")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Postgres)
    ->ArgName("transactions")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
