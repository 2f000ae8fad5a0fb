#include "db/db_exporter.h"

#include <algorithm>

#include "base/text.h"

namespace cvn::db {

namespace {
constexpr std::u16string_view kOdbcPrefix = u"ODBC;";
}  // namespace

CSTDbExporter::~CSTDbExporter() {
  ExportOutcome ignored;
  Close(ignored);
}

void CSTDbExporter::SetSettings(const VarDbExporter_t& settings) {
  platform::LockGuard guard(lock_);
  settings_ = settings;
}

void CSTDbExporter::SetPositionTable(std::u16string_view table, std::u16string_view computer) {
  position_table_.reset();
  positions_in_use_ = false;
  told_positions_need_transactions_ = false;
  {
    platform::LockGuard guard(lock_);
    stored_.clear();
  }
  if (table.empty()) return;
  if (!IsPlainTableName(table)) {
    Log('E', "DB/PositionTable \"" + Utf16ToUtf8(table) +
                 "\" is not a plain table name (letters, digits and underscores, not beginning "
                 "with a digit, with an optional schema name and a dot in front); positions are "
                 "not kept in the database.");
    return;
  }
  position_table_.emplace(std::u16string(table), computer);
}

bool CSTDbExporter::StoredPosition(std::u16string_view log, DbPosition& out) {
  platform::LockGuard guard(lock_);
  const auto found = stored_.find(log);
  if (found == stored_.end()) return false;
  out = found->second;
  return true;
}

std::u16string CSTDbExporter::StripOdbcPrefix(std::u16string_view connection_string) {
  if (connection_string.size() > kOdbcPrefix.size() &&
      EqualsNoCase(connection_string.substr(0, kOdbcPrefix.size()), kOdbcPrefix)) {
    connection_string.remove_prefix(kOdbcPrefix.size());
  }
  return std::u16string(connection_string);
}

uint32_t CSTDbExporter::CallTimeoutS() const {
  if (call_deadline_ == nullptr) return kCallTimeoutS;
  const uint32_t left_s = (call_deadline_->Remaining() + 999) / 1000;
  return std::clamp<uint32_t>(left_s, 1, kCallTimeoutS);
}

int32_t CSTDbExporter::Open() {
  if (connection_.IsOpen()) return 0;
  transactions_in_use_ = false;
  positions_in_use_ = false;
  std::u16string connection_string;
  bool use_transactions = false;
  {
    platform::LockGuard guard(lock_);
    connection_string = StripOdbcPrefix(settings_.ConnectionString.value);
    use_transactions = settings_.UseTransactions.value;
  }
  SetLastError({});
  OdbcResult result = connection_.Open(connection_string, CallTimeoutS());
  if (result.ok()) {
    transactions_in_use_ = use_transactions && connection_.CanTransact();
    result = PreparePositions();
    if (!result.ok()) connection_.Close();
  }
  if (!result.ok()) {
    transactions_in_use_ = false;
    positions_in_use_ = false;
    SetLastError(result.Text());
    if (link_ != Link::kDown) {
      Log('E', "The database cannot be opened: " + Utf16ToUtf8(result.Text()));
    }
    link_ = Link::kDown;
    return result.code() != 0 ? result.code() : -1;
  }
  if (link_ == Link::kDown) Log('N', "The connection to the database was restored.");
  link_ = Link::kUp;
  return 0;
}

OdbcResult CSTDbExporter::PreparePositions() {
  if (!position_table_) return {};
  const std::string table = Utf16ToUtf8(position_table_->Table());
  if (!transactions_in_use_) {
    if (!told_positions_need_transactions_) {
      Log('E', "The position table " + table +
                   " is not used: it needs DB/UseTrans and a database that can use "
                   "transactions.");
      told_positions_need_transactions_ = true;
    }
    return {};
  }
  OdbcConnection::Rows rows;
  const std::u16string select = position_table_->SelectStatement();
  OdbcResult result = connection_.Query(select, CallTimeoutS(), CDbPositionTable::kMaxRows, rows);
  if (!result.ok() && !IsTransient(result)) {
    // Most likely missing. Whether the create fails because another
    // connection created the table meanwhile, the second look tells.
    const OdbcResult created =
        connection_.Execute(position_table_->CreateStatement(), CallTimeoutS());
    if (!created.ok() && IsTransient(created)) return created;
    if (created.ok()) Log('N', "The position table " + table + " was created.");
    result = connection_.Query(select, CallTimeoutS(), CDbPositionTable::kMaxRows, rows);
  }
  if (!result.ok()) {
    if (IsTransient(result)) return result;
    Log('E', "The position table " + table + " cannot be used: " + Utf16ToUtf8(result.Text()) +
                 "; positions are not kept in the database.");
    return {};
  }
  DbPositions stored = CDbPositionTable::FromRows(rows);
  {
    platform::LockGuard guard(lock_);
    stored_ = std::move(stored);
  }
  positions_in_use_ = true;
  return {};
}

OdbcResult CSTDbExporter::WritePositions(const std::vector<DbRecordPtr>& records) {
  for (const auto& [log, position] : CDbPositionTable::Newest(records)) {
    int64_t updated = 0;
    OdbcResult result = connection_.Execute(position_table_->UpdateStatement(log, position),
                                            CallTimeoutS(), &updated);
    // No row yet. A driver that cannot count the rows gets an insert too,
    // which then fails visibly on the row that exists.
    if (result.ok() && updated <= 0) {
      result = connection_.Execute(position_table_->InsertStatement(log, position), CallTimeoutS());
    }
    if (!result.ok()) return result;
  }
  return {};
}

void CSTDbExporter::RememberPositions(const std::vector<DbRecordPtr>& records) {
  DbPositions newest = CDbPositionTable::Newest(records);
  platform::LockGuard guard(lock_);
  for (auto& [log, position] : newest) stored_[log] = position;
}

void CSTDbExporter::StopUsingPositions(const OdbcResult& result) {
  positions_in_use_ = false;
  SetLastError(result.Text());
  Log('E', "The position table " + Utf16ToUtf8(position_table_->Table()) +
               " cannot be written: " + Utf16ToUtf8(result.Text()) +
               "; positions are not kept in the database until it is opened again.");
}

bool CSTDbExporter::IsTransient(const OdbcResult& result) const {
  return result.ConnectionLost() || result.Interrupted() || result.CallFailed() ||
         connection_.IsLocked(result) || connection_.IsDead();
}

OdbcResult CSTDbExporter::ExecuteRecord(const SDBRecordForExport& record) {
  if (!command_) return connection_.Execute(record.statement, CallTimeoutS());
  if (command_->Binds()) {
    return connection_.ExecuteBound(command_->Plan().prepared, command_->Values(record.event),
                                    CallTimeoutS());
  }
  return connection_.Execute(command_->Filled(record.event, connection_.BackslashEscapes()),
                             CallTimeoutS());
}

void CSTDbExporter::Export(DbRecordPtr record, bool more, ExportOutcome& out) {
  if (!connection_.IsOpen() && Open() != 0) {
    out.Retry(std::move(record));
    return;
  }
  // Run alone, a record with a position gets a transaction of its own.
  const bool batch = transactions_in_use_ && (more || InTransaction());
  if (!batch) {
    ExecuteAlone(record, out);
    return;
  }
  if (!connection_.InTransaction()) {
    if (const OdbcResult begun = connection_.BeginTransaction(); !begun.ok()) {
      if (IsTransient(begun)) {
        LoseConnection(begun, out);
        out.Retry(std::move(record));
      } else {
        ExecuteAlone(record, out);
      }
      return;
    }
  }
  const OdbcResult result = ExecuteRecord(*record);
  if (!result.ok()) {
    if (IsTransient(result)) {
      LoseConnection(result, out);
      out.Retry(std::move(record));
      return;
    }
    std::vector<DbRecordPtr> records = std::move(pending_);
    pending_.clear();
    records.push_back(std::move(record));
    FallBackFromTransaction(std::move(records), out);
    return;
  }
  pending_.push_back(std::move(record));
  if (!more) Flush(out);
}

void CSTDbExporter::Flush(ExportOutcome& out) {
  if (!connection_.InTransaction()) return;
  OdbcResult result = positions_in_use_ ? WritePositions(pending_) : OdbcResult();
  if (result.ok()) result = connection_.Commit();
  if (result.ok()) {
    if (positions_in_use_) RememberPositions(pending_);
    for (DbRecordPtr& record : pending_) out.Exported(std::move(record));
    pending_.clear();
    return;
  }
  if (IsTransient(result)) {
    LoseConnection(result, out);
    return;
  }
  std::vector<DbRecordPtr> records = std::move(pending_);
  pending_.clear();
  FallBackFromTransaction(std::move(records), out);
}

void CSTDbExporter::FallBackFromTransaction(std::vector<DbRecordPtr> records, ExportOutcome& out) {
  if (const OdbcResult rolled_back = connection_.Rollback();
      !rolled_back.ok() && IsTransient(rolled_back)) {
    LoseConnection(rolled_back, out);
    for (DbRecordPtr& record : records) out.Retry(std::move(record));
    return;
  }
  ExecuteEachAlone(std::move(records), out);
}

bool CSTDbExporter::ExecuteAlone(const DbRecordPtr& record, ExportOutcome& out) {
  if (positions_in_use_) return ExecuteWithPosition(record, out);
  const OdbcResult result = ExecuteRecord(*record);
  if (result.ok()) {
    out.Exported(record);
    return true;
  }
  if (IsTransient(result)) {
    LoseConnection(result, out);
    out.Retry(record);
    return false;
  }
  StatementFailed(result);
  out.Failed(record);
  return true;
}

bool CSTDbExporter::ExecuteWithPosition(const DbRecordPtr& record, ExportOutcome& out) {
  bool statement_failed = false;
  OdbcResult result = connection_.BeginTransaction();
  if (result.ok()) {
    result = ExecuteRecord(*record);
    if (!result.ok() && !IsTransient(result)) {
      // The record fails for good; its position passes it all the same.
      statement_failed = true;
      StatementFailed(result);
      result = connection_.Rollback();
      if (result.ok()) result = connection_.BeginTransaction();
    }
  }
  if (result.ok()) result = WritePositions({record});
  if (result.ok()) result = connection_.Commit();
  if (result.ok()) {
    RememberPositions({record});
    statement_failed ? out.Failed(record) : out.Exported(record);
    return true;
  }
  if (IsTransient(result)) {
    LoseConnection(result, out);
    out.Retry(record);
    return false;
  }
  if (connection_.InTransaction()) connection_.Rollback();
  StopUsingPositions(result);
  if (statement_failed) {
    out.Failed(record);
    return true;
  }
  return ExecuteAlone(record, out);
}

void CSTDbExporter::ExecuteEachAlone(std::vector<DbRecordPtr> records, ExportOutcome& out) {
  size_t i = 0;
  while (i < records.size() && ExecuteAlone(records[i], out)) ++i;
  for (++i; i < records.size(); ++i) out.Retry(std::move(records[i]));
}

void CSTDbExporter::LoseConnection(const OdbcResult& result, ExportOutcome& out) {
  SetLastError(result.Text());
  if (link_ != Link::kDown) {
    const bool lost = result.ConnectionLost() || connection_.IsDead();
    Log('E', (lost ? "The connection to the database was lost: "
                   : "The database did not complete a statement; it is "
                     "tried again: ") +
                 Utf16ToUtf8(result.Text()));
  }
  link_ = Link::kDown;
  // What the open transaction held was not committed: it waits again.
  for (DbRecordPtr& record : pending_) out.Retry(std::move(record));
  pending_.clear();
  connection_.Close();
}

void CSTDbExporter::StatementFailed(const OdbcResult& result) {
  SetLastError(result.Text());
  last_failure_text_ = result.Text();
  ++failures_unlogged_;
  const uint32_t now = platform::TickCount();
  if (!failure_logged_ || now - last_failure_log_ >= kFailureLogIntervalMs) ReportFailures();
}

void CSTDbExporter::ReportFailures() {
  if (failures_unlogged_ == 0) return;
  Log('E', std::to_string(failures_unlogged_) +
               (failures_unlogged_ == 1 ? " statement" : " statements") +
               " failed; the last: " + Utf16ToUtf8(last_failure_text_));
  failures_unlogged_ = 0;
  failure_logged_ = true;
  last_failure_log_ = platform::TickCount();
}

void CSTDbExporter::Close(ExportOutcome& out) {
  if (connection_.IsOpen()) Flush(out);
  // What is left of a transaction whose commit could not finish waits again.
  for (DbRecordPtr& record : pending_) out.Retry(std::move(record));
  pending_.clear();
  ReportFailures();
  connection_.Close();
  transactions_in_use_ = false;
  positions_in_use_ = false;
}

std::u16string CSTDbExporter::LastError() {
  platform::LockGuard guard(lock_);
  return last_error_;
}

void CSTDbExporter::SetLastError(const std::u16string& text) {
  platform::LockGuard guard(lock_);
  last_error_ = text;
}

void CSTDbExporter::Log(char level, const std::string& message) {
  if (log_) log_(level, message);
}

}  // namespace cvn::db
