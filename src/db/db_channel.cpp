#include "db/db_channel.h"

#include <algorithm>
#include <memory>

#include "base/text.h"
#include "db/db_record.h"
#include "db/thread_exporter.h"
#include "platform/environment.h"
#include "platform/locale.h"

namespace cvn::db {
namespace {

// The channel status while the database cannot be reached (the low 16 bits
// of the ODBC error -1).
constexpr int32_t kDatabaseDown = 0xFFFF;

class DbChannel final : public DbChannelControl {
 public:
  explicit DbChannel(CCVNCore& core) {
    CSTThreadProcessor::Hooks hooks;
    hooks.account = [this, &core](const ExportOutcome& outcome) { Account(core, outcome); };
    hooks.log = [&core](char level, const std::string& message) {
      core.Log(level, "Database", message);
    };
    hooks.link = [&core](bool up) { core.db_status = up ? 0 : kDatabaseDown; };
    worker_.Exporter().SetLog(hooks.log);
    worker_.Processor().SetHooks(std::move(hooks));
  }

  int32_t Start(CCVNCore& core) override {
    // The exporter and the queue belong to a given-up worker until it ends.
    if (worker_.Processor().HeldBack()) {
      core.Log('A', "Database",
               "The database worker was not started: the one given up at the last stop is "
               "still running.");
      return static_cast<int32_t>(CSTThreadWorker::kErrorHeldBack);
    }
    const CCVNSettings& settings = core.Settings();
    VarDbExporter_t exporter_settings;
    exporter_settings.ConnectionString.value = settings.DB_ConnString.value;
    exporter_settings.UseTransactions.value = settings.DB_UseTrans.value;
    worker_.Exporter().SetSettings(exporter_settings);
    worker_.Queue().SetMaximum(static_cast<size_t>(std::max(0, settings.DB_MaxQueue.value)));
    SetCommand(core, settings.DB_Command.value);
    worker_.Exporter().SetPositionTable(settings.DB_PositionTable.value,
                                        platform::LocalComputerName());
    // A database that cannot be opened now is tried again by the worker,
    // after a back-off, so that the channel comes up with the database.
    const int32_t opened = worker_.Exporter().Open();
    if (opened != 0) {
      StoreLastError(core);
      worker_.Processor().BeginBackoff();
    }
    const uint32_t started = worker_.Processor().Start();
    if (started != 0) {
      core.LogFormat('A', "Database", "The database worker could not be started (error %u).",
                     started);
      return static_cast<int32_t>(started);
    }
    return opened != 0 ? static_cast<int32_t>(static_cast<uint16_t>(opened)) : 0;
  }

  void RequestStop() override { worker_.Processor().RequestStop(); }

  void FinishStop(CCVNCore& core, uint32_t wait_ms) override {
    if (!worker_.Processor().Stop(wait_ms)) {
      core.Log('A', "Database",
               "The database worker did not stop in time and was given up; it is not started "
               "again until it has ended.");
    } else {
      ExportOutcome outcome;
      worker_.Exporter().Close(outcome);
      Account(core, outcome);
    }
    worker_.Queue().Clear();
    core.db_exported = 0;
    core.db_failed = 0;
  }

  void Purge(CCVNCore& core) override {
    worker_.Queue().Clear();
    core.db_progress.AcknowledgeAll();
  }

  size_t QueueLength() override { return worker_.Queue().Size(); }
  bool WorkerRunning() override { return worker_.Processor().IsRunning(); }

  bool StoredPosition(std::u16string_view log, uint32_t& record, uint32_t& time) override {
    DbPosition position;
    if (!worker_.Exporter().StoredPosition(log, position)) return false;
    record = position.record;
    time = position.time;
    return true;
  }

  // The channel's work after the filter step, on the reading thread.
  Offer Enqueue(CCVNCore& core, const SEventRecord& record) {
    // A record the bound refuses gets no number: the reader offers it again.
    const bool taken = worker_.Queue().Push(PrepareDbRecord(record), [&core](DbRecordPtr& item) {
      item->seq = core.db_progress.Issue();
    });
    worker_.Processor().Wake();
    return taken ? Offer::kTaken : Offer::kFull;
  }

  bool HasRoom() { return worker_.Queue().AtMostHalfFull(); }

 private:
  void Account(CCVNCore& core, const ExportOutcome& outcome) {
    core.db_exported += outcome.exported.size();
    core.db_failed += outcome.failed.size();
    ChannelMetrics& metrics = core.metrics.Of(MetricChannel::kDb);
    const uint64_t tried = outcome.exported.size() + outcome.failed.size() + outcome.retry.size();
    if (tried != 0) metrics.Attempted(tried, outcome.exported.size());
    if (outcome.done_up_to != 0) core.db_progress.Acknowledge(outcome.done_up_to);
    if (!outcome.failed.empty() || !outcome.retry.empty()) StoreLastError(core);
  }

  void SetCommand(CCVNCore& core, const std::u16string& command_template) {
    auto command = std::make_shared<const CDbCommand>(command_template);
    if (command_template.empty()) {
      core.Log('E', "Database", "DB/Command is empty: no record can be written.");
    } else if (!command->Binds()) {
      core.Log(
          'N', "Database",
          "DB/Command is filled in as text, not with bound values: " + command->Plan().why_text +
              ". Values have their single quotes doubled, and their backslashes too where "
              "the database reads them as escapes.");
    }
    worker_.Exporter().SetCommand(std::move(command));
  }

  void StoreLastError(CCVNCore& core) {
    std::u16string text = worker_.Exporter().LastError();
    platform::LockGuard guard(core.status_lock);
    core.db_last_error = std::move(text);
  }

  CSTThreadExporter worker_;
};

}  // namespace

void InstallDbChannel(CCVNCore& core) {
  // Before any thread runs: the ODBC text conversion needs it.
  platform::UseUtf8NarrowText();
  auto channel = std::make_shared<DbChannel>(core);
  core.SetDbChannel(channel);
  core.SetChannelHandler(
      Channel::kDb,
      [channel](CCVNCore& c, const SEventRecord& record) { return channel->Enqueue(c, record); },
      [channel](CCVNCore&) { return channel->HasRoom(); });
}

}  // namespace cvn::db
