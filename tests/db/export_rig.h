// A database channel without the core: the queue, the exporter and the
// worker, fed with statements directly; counts what the worker reports.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "db/thread_exporter.h"
#include "platform/clock.h"

namespace cvn::db_test {

template <class F>
bool Eventually(F done, int ms = 15000) {
  for (int i = 0; i < ms / 10 && !done(); ++i) platform::SleepMs(10);
  return done();
}

class ExportRig {
 public:
  ExportRig(const std::string& connection, bool use_transactions, size_t max_queue = 0) {
    VarDbExporter_t settings;
    settings.ConnectionString.value = Utf8ToUtf16(connection);
    settings.UseTransactions.value = use_transactions;
    worker.Exporter().SetSettings(settings);
    worker.Queue().SetMaximum(max_queue);
    db::CSTThreadProcessor::Hooks hooks;
    hooks.account = [this](const db::ExportOutcome& o) {
      exported += o.exported.size();
      failed += o.failed.size();
      if (o.done_up_to > acknowledged) acknowledged = o.done_up_to;
    };
    hooks.log = [this](char, const std::string& line) {
      std::lock_guard<std::mutex> guard(mutex);
      logs += line + "\n";
    };
    worker.Exporter().SetLog(hooks.log);
    worker.Processor().SetHooks(std::move(hooks));
  }
  ~ExportRig() { Stop(); }

  // Opens like the channel's start and starts the worker.
  int32_t Start() {
    const int32_t opened = worker.Exporter().Open();
    if (opened != 0) worker.Processor().BeginBackoff();
    worker.Processor().Start();
    return opened;
  }
  void Stop() {
    worker.Processor().RequestStop();
    worker.Processor().Stop(platform::kInfinite);
  }
  // Queues a statement; false when the bound refused it.
  bool Push(const std::string& statement, bool wake = true) {
    return PushFrom({}, 0, statement, wake);
  }
  // Queues the statement of record `number` of `log`, generated at
  // 1000000 + number.
  bool PushFrom(std::u16string_view log, uint32_t number, const std::string& statement,
                bool wake = true) {
    auto record = std::make_shared<db::SDBRecordForExport>();
    record->statement = Utf8ToUtf16(statement);
    record->log = log;
    record->record_number = number;
    record->time_generated = 1000000 + number;
    return PushRecord(std::move(record), wake);
  }
  // Makes the statements from the events and this template, as the channel
  // does.
  void UseCommand(std::u16string_view command_template) {
    worker.Exporter().SetCommand(
        std::make_shared<const db::CDbCommand>(std::u16string(command_template)));
  }
  bool PushEvent(const SEventRecord& event, bool wake = true) {
    return PushRecord(db::PrepareDbRecord(event), wake);
  }
  bool PushRecord(db::DbRecordPtr record, bool wake = true) {
    const bool accepted =
        worker.Queue().Push(record, [this](db::DbRecordPtr& r) { r->seq = ++issued; });
    if (wake) worker.Processor().Wake();
    return accepted;
  }
  void Wake() { worker.Processor().Wake(); }
  bool WaitHandled(uint64_t n) {
    return Eventually([&] { return exported + failed >= n; });
  }
  std::string Logs() {
    std::lock_guard<std::mutex> guard(mutex);
    return logs;
  }

  db::CSTThreadExporter worker;
  std::atomic<uint64_t> exported{0}, failed{0}, acknowledged{0};
  uint64_t issued = 0;
  std::mutex mutex;
  std::string logs;
};

// One INSERT of the test table's row n.
inline std::string Insert(int n, const std::string& description = "row") {
  return "INSERT INTO EventLog (Generated, Type, EventId, Log, Source, Description) VALUES "
         "('2026-12-10 01:02:03', 4, " +
         std::to_string(n) + ", 'Application', 'Test', '" + description + "')";
}

}  // namespace cvn::db_test
