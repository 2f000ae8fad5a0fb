// The database exporter: owns the connection and executes the records'
// statements, grouping the records that waited together into one
// transaction when transactions are in use.
//
// Every record handed to Export comes back, at once or with a later call,
// in an ExportOutcome: exported (committed), failed for good, or to be tried
// again because the connection is gone, the statement was interrupted (a
// time-out, a server shutting down) or the call failed in a way that says
// nothing about the record (a length or memory failure of the driver
// manager or driver): the connection is then closed and opened again later.
//
// A record's statement is made from the command template (SetCommand) when
// it runs: the values bound to the template's markers, or, for a template
// that cannot bind them, filled in as text escaped for the open database. A record executed inside
// a transaction stays with the exporter until the transaction ends. When a statement fails inside a
// transaction, the transaction is rolled back and its statements run again one at a time, so that
// only the failing one fails (some databases abort the whole transaction at its first error).
//
// With a position table (SetPositionTable) and transactions in use, every
// record is written in a transaction that also moves its log's position in
// that table; a record run on its own gets a transaction of its own, and
// one whose statement fails is rolled back while the position alone passes
// it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "db/db_command.h"
#include "db/db_positions.h"
#include "db/db_record.h"
#include "db/odbc.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace cvn::db {

struct ExportOutcome {
  std::vector<DbRecordPtr> exported;
  std::vector<DbRecordPtr> failed;
  std::vector<DbRecordPtr> retry;  // in their order; all come after the others
  uint64_t done_up_to = 0;         // highest number among exported and failed

  void Exported(DbRecordPtr r) {
    Done(*r);
    exported.push_back(std::move(r));
  }
  void Failed(DbRecordPtr r) {
    Done(*r);
    failed.push_back(std::move(r));
  }
  void Retry(DbRecordPtr r) { retry.push_back(std::move(r)); }

 private:
  void Done(const SDBRecordForExport& r) {
    if (r.seq > done_up_to) done_up_to = r.seq;
  }
};

class CSTDbExporter {
 public:
  // Each call to the database gives up after this long.
  static constexpr uint32_t kCallTimeoutS = 5;
  // Statement failures are logged at most this often.
  static constexpr uint32_t kFailureLogIntervalMs = 60000;

  using LogFunction = std::function<void(char level, const std::string& message)>;

  CSTDbExporter() = default;
  ~CSTDbExporter();
  CSTDbExporter(const CSTDbExporter&) = delete;
  CSTDbExporter& operator=(const CSTDbExporter&) = delete;

  // Lines for the service log (category "Database"); none by default.
  void SetLog(LogFunction log) { log_ = std::move(log); }
  void SetSettings(const VarDbExporter_t& settings);
  // The table that keeps the channel's positions in the target database and
  // this computer's name there; an empty table keeps none. A name that is
  // not plain (IsPlainTableName) is refused with a log line. Takes effect at
  // the next Open.
  void SetPositionTable(std::u16string_view table, std::u16string_view computer);
  // The template the records' statements are made from; without one, each
  // record's statement is executed as it is. Set while the worker does not
  // run.
  void SetCommand(std::shared_ptr<const CDbCommand> command) { command_ = std::move(command); }

  // 0, or the failed call's ODBC return code (-1 when it has none); the
  // driver's text is then the last error.
  int32_t Open();
  bool IsOpen() const { return connection_.IsOpen(); }
  // Executes the record's statement; with more (further records wait) and
  // transactions in use, inside a transaction that the first record without
  // more commits.
  void Export(DbRecordPtr record, bool more, ExportOutcome& out);
  // Commits an open transaction, with the positions of its records' logs.
  void Flush(ExportOutcome& out);
  // Commits an open transaction, then closes the connection.
  void Close(ExportOutcome& out);

  bool InTransaction() const { return !pending_.empty(); }
  size_t PendingCount() const { return pending_.size(); }
  bool TransactionsInUse() const { return transactions_in_use_; }
  // Set at open: the position table is in use on this connection.
  bool PositionsInUse() const { return positions_in_use_; }
  // The log's position as the database holds it: read at open, moved with
  // every commit. Any thread.
  bool StoredPosition(std::u16string_view log, DbPosition& out);
  std::u16string LastError();

  // While set, every call to the database gives up by this deadline (at
  // least 1 s from now): the stop's drain.
  void SetCallDeadline(const platform::Deadline* deadline) { call_deadline_ = deadline; }

  // "ODBC;" in front of a connection string is removed, in any letter case,
  // unless nothing follows it.
  static std::u16string StripOdbcPrefix(std::u16string_view connection_string);

 private:
  uint32_t CallTimeoutS() const;
  bool IsTransient(const OdbcResult& result) const;
  OdbcResult ExecuteRecord(const SDBRecordForExport& record);
  // Runs one statement on its own: false when the connection was lost (the
  // record is then to be tried again).
  bool ExecuteAlone(const DbRecordPtr& record, ExportOutcome& out);
  // ExecuteAlone with the record's position, in a transaction of their own.
  bool ExecuteWithPosition(const DbRecordPtr& record, ExportOutcome& out);
  // Runs each record on its own; after a lost connection the rest wait.
  void ExecuteEachAlone(std::vector<DbRecordPtr> records, ExportOutcome& out);
  // After a statement or a commit failed inside a transaction.
  void FallBackFromTransaction(std::vector<DbRecordPtr> records, ExportOutcome& out);
  void LoseConnection(const OdbcResult& result, ExportOutcome& out);
  void StatementFailed(const OdbcResult& result);
  void ReportFailures();
  // After a connection opened: reads this computer's positions, creating the
  // table when it is missing. Only a failure that ends the connection comes
  // back; any other leaves the positions out of use.
  OdbcResult PreparePositions();
  // In the open transaction: each log's row to its newest record.
  OdbcResult WritePositions(const std::vector<DbRecordPtr>& records);
  void RememberPositions(const std::vector<DbRecordPtr>& records);
  // The position table cannot be written: the channel goes on without it.
  void StopUsingPositions(const OdbcResult& result);
  void SetLastError(const std::u16string& text);
  void Log(char level, const std::string& message);

  platform::Lock lock_;  // guards settings_, last_error_ and stored_
  VarDbExporter_t settings_;
  std::u16string last_error_;
  DbPositions stored_;

  OdbcConnection connection_;
  std::shared_ptr<const CDbCommand> command_;
  bool transactions_in_use_ = false;
  std::optional<CDbPositionTable> position_table_;
  bool positions_in_use_ = false;
  bool told_positions_need_transactions_ = false;
  std::vector<DbRecordPtr> pending_;  // executed in the open transaction
  const platform::Deadline* call_deadline_ = nullptr;

  enum class Link { kNever, kUp, kDown };
  Link link_ = Link::kNever;
  uint32_t failures_unlogged_ = 0;
  uint32_t last_failure_log_ = 0;
  bool failure_logged_ = false;
  std::u16string last_failure_text_;
  LogFunction log_;
};

}  // namespace cvn::db
