#include "db/odbc.h"

#include <algorithm>
#include <iterator>

#include "base/text.h"
#include "platform/locale.h"
#include "platform/odbc_api.h"

namespace cvn::db {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC wide characters must be UTF-16");

const SQLWCHAR* Wide(const std::u16string& s) {
  return reinterpret_cast<const SQLWCHAR*>(s.c_str());
}

std::u16string FromWide(const SQLWCHAR* s, size_t n) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}

// A handle that frees itself: environment, connection or statement.
template <SQLSMALLINT kType>
class OdbcHandle {
 public:
  OdbcHandle() = default;
  ~OdbcHandle() { Reset(); }
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;

  SQLRETURN Allocate(SQLHANDLE parent) {
    Reset();
    return SQLAllocHandle(kType, parent, &handle_);
  }
  void Reset() {
    if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(kType, handle_);
    handle_ = SQL_NULL_HANDLE;
  }
  SQLHANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != SQL_NULL_HANDLE; }

 private:
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

bool Succeeded(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// The characters of a driver's buffer up to its terminator, at most
// `length` of them (a negative length counts as none).
std::u16string Terminated(const char16_t* buffer, size_t capacity, int length) {
  const size_t most = std::min(capacity, static_cast<size_t>(std::max(length, 0)));
  return std::u16string(buffer, std::find(buffer, buffer + most, u'\0'));
}

// The diagnostics a failed call left on its handle.
std::vector<OdbcDiagnostic> Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  if (handle == SQL_NULL_HANDLE) return {};
  return ReadDiagnostics([&](int16_t record, char16_t* state, int32_t* native, char16_t* text,
                             int16_t capacity, int16_t* length) {
    SQLINTEGER code = 0;
    const SQLRETURN r = SQLGetDiagRecW(type, handle, record, reinterpret_cast<SQLWCHAR*>(state),
                                       &code, reinterpret_cast<SQLWCHAR*>(text), capacity, length);
    *native = static_cast<int32_t>(code);
    return static_cast<int16_t>(r);
  });
}

OdbcResult Check(SQLRETURN r, SQLSMALLINT type, SQLHANDLE handle) {
  if (Succeeded(r) || r == SQL_NO_DATA) return {};
  return OdbcResult(static_cast<int16_t>(r), Diagnostics(type, handle));
}

// The SQLite driver waits up to 100 s for a lock another connection holds,
// also while it connects, and knows no login or query time-out; its own
// "Timeout" key (milliseconds) bounds that wait. A statement may wait twice
// (prepare and step), hence half the time-out. Added to a string that names
// a SQLite driver and sets no such key.
std::u16string WithSqliteTimeout(std::u16string_view connection_string, uint32_t timeout_s) {
  std::u16string text(connection_string);
  const std::u16string lower = AsciiLower(text);
  const size_t driver = lower.find(u"driver=");
  if (driver == std::u16string::npos) return text;
  const size_t end = lower.find(u';', driver);
  if (lower.substr(driver, end - driver).find(u"sqlite") == std::u16string::npos) return text;
  if (lower.rfind(u"timeout=", 0) == 0 || lower.find(u";timeout=") != std::u16string::npos) {
    return text;
  }
  if (!text.empty() && text.back() != u';') text += u';';
  return text + u"Timeout=" + Utf8ToUtf16(std::to_string(timeout_s * 500)) + u";";
}

// A 16-bit SQLGetInfoW answer, or fallback when the driver gives none.
SQLUSMALLINT SmallInfo(SQLHDBC dbc, SQLUSMALLINT info, SQLUSMALLINT fallback) {
  SQLUSMALLINT value = fallback;
  if (!Succeeded(SQLGetInfoW(dbc, info, &value, sizeof value, nullptr))) return fallback;
  return value;
}

OdbcResult NotOpen() {
  return OdbcResult(SQL_ERROR, {OdbcDiagnostic{"08003", 0, u"The connection is not open."}});
}

SQLPOINTER IntAttribute(SQLULEN value) { return reinterpret_cast<SQLPOINTER>(value); }

// The query time-out of a statement handle, set only when it changes.
void SetQueryTimeout(SQLHSTMT stmt, uint32_t timeout_s, uint32_t& current_s) {
  timeout_s = std::max<uint32_t>(timeout_s, 1);
  if (timeout_s == current_s) return;
  SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT, IntAttribute(timeout_s), 0);
  current_s = timeout_s;
}

// Binds one value to marker index + 1. number and length must live until
// the statement has run. The lengths of wide text are counted in bytes, its
// column size in characters and at least 1: an empty value is a text of no
// bytes, not a column of no characters (which drivers refuse).
OdbcResult BindValue(SQLHSTMT stmt, size_t index, const OdbcValue& value, SQLINTEGER& number,
                     SQLLEN& length) {
  const auto marker = static_cast<SQLUSMALLINT>(index + 1);
  SQLRETURN r = SQL_SUCCESS;
  if (value.is_number) {
    number = value.number;
    length = 0;
    r = SQLBindParameter(stmt, marker, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &number, 0,
                         &length);
  } else {
    length = static_cast<SQLLEN>(value.text.size() * sizeof(SQLWCHAR));
    r = SQLBindParameter(stmt, marker, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                         std::max<SQLULEN>(value.text.size(), 1), 0,
                         const_cast<char16_t*>(value.text.data()), length, &length);
  }
  return Check(r, SQL_HANDLE_STMT, stmt);
}

// One column of the current row as text, read in parts when it is longer
// than the buffer (at most 64 K characters are kept).
OdbcResult ReadColumn(SQLHSTMT stmt, SQLUSMALLINT column, std::u16string& out) {
  constexpr size_t kMostKept = 65536;
  SQLWCHAR buffer[256];
  const size_t room = std::size(buffer) - 1;  // the driver adds a terminator
  out.clear();
  for (;;) {
    SQLLEN length = 0;
    const SQLRETURN r = SQLGetData(stmt, column, SQL_C_WCHAR, buffer, sizeof buffer, &length);
    if (r == SQL_NO_DATA) return {};
    if (!Succeeded(r)) return Check(r, SQL_HANDLE_STMT, stmt);
    if (length == SQL_NULL_DATA) return {};
    const bool cut =
        length == SQL_NO_TOTAL || static_cast<size_t>(length) / sizeof(SQLWCHAR) > room;
    const size_t got = cut ? room : static_cast<size_t>(length) / sizeof(SQLWCHAR);
    out.append(reinterpret_cast<const char16_t*>(buffer), got);
    // Without a cut the column is complete, whatever else the driver says.
    if (r == SQL_SUCCESS || !cut || out.size() >= kMostKept) return {};
  }
}

}  // namespace

std::vector<OdbcDiagnostic> ReadDiagnostics(const DiagRecordFunction& read) {
  constexpr size_t kFirstBuffer = 1024;
  constexpr size_t kLargestBuffer = INT16_MAX;  // a buffer size is an SQLSMALLINT
  std::vector<OdbcDiagnostic> out;
  for (int16_t record = 1; record <= 16; ++record) {
    char16_t state[6] = {};
    int32_t native = 0;
    std::u16string text(kFirstBuffer, u'\0');
    int16_t length = 0;
    auto call = [&] {
      return read(record, state, &native, text.data(), static_cast<int16_t>(text.size()), &length);
    };
    int16_t r = call();
    if (r == SQL_SUCCESS_WITH_INFO && length >= static_cast<int>(text.size())) {
      text.assign(std::min(static_cast<size_t>(length) + 1, kLargestBuffer), u'\0');
      r = call();
    }
    if (!Succeeded(r)) break;
    out.push_back({Utf16ToUtf8(Terminated(state, 5, 5)), native,
                   Terminated(text.data(), text.size() - 1, length)});
  }
  return out;
}

struct OdbcConnection::Handles {
  OdbcHandle<SQL_HANDLE_ENV> env;
  OdbcHandle<SQL_HANDLE_DBC> dbc;
  OdbcHandle<SQL_HANDLE_STMT> stmt;
  OdbcHandle<SQL_HANDLE_STMT> prepared;  // ExecuteBound's statement
  bool connected = false;
};

std::string OdbcResult::SqlState() const {
  return diagnostics_.empty() ? std::string() : diagnostics_.front().sqlstate;
}

std::u16string OdbcResult::Text() const {
  std::u16string out;
  for (const OdbcDiagnostic& d : diagnostics_) {
    if (!out.empty()) out += u"; ";
    out += u"[" + Utf8ToUtf16(d.sqlstate) + u"] " + d.text;
    if (d.native_error != 0)
      out += u" (native " + Utf8ToUtf16(std::to_string(d.native_error)) + u")";
  }
  if (out.empty() && !ok()) out = u"ODBC call failed with " + Utf8ToUtf16(std::to_string(code_));
  return out;
}

bool OdbcResult::ConnectionLost() const {
  return std::any_of(diagnostics_.begin(), diagnostics_.end(),
                     [](const OdbcDiagnostic& d) { return d.sqlstate.rfind("08", 0) == 0; });
}

bool OdbcResult::CallFailed() const {
  return std::any_of(diagnostics_.begin(), diagnostics_.end(), [](const OdbcDiagnostic& d) {
    return d.sqlstate == "HY090" || d.sqlstate == "HY001" || d.sqlstate == "HY013";
  });
}

bool OdbcResult::Interrupted() const {
  return std::any_of(diagnostics_.begin(), diagnostics_.end(), [](const OdbcDiagnostic& d) {
    return d.sqlstate == "HYT00" || d.sqlstate == "HYT01" || d.sqlstate.rfind("57", 0) == 0;
  });
}

OdbcConnection::OdbcConnection() : h_(std::make_unique<Handles>()) {}

OdbcConnection::~OdbcConnection() { Close(); }

OdbcResult OdbcConnection::Open(std::u16string_view connection_string, uint32_t timeout_s) {
  Close();
  // The driver manager converts text for drivers without wide calls through
  // the narrow character set; it must hold every character.
  platform::UseUtf8NarrowText();
  timeout_s = std::max<uint32_t>(timeout_s, 1);
  SQLRETURN r = h_->env.Allocate(SQL_NULL_HANDLE);
  if (!Succeeded(r)) return OdbcResult(static_cast<int16_t>(r), {});
  r = SQLSetEnvAttr(h_->env.get(), SQL_ATTR_ODBC_VERSION, IntAttribute(SQL_OV_ODBC3), 0);
  if (!Succeeded(r)) return Check(r, SQL_HANDLE_ENV, h_->env.get());
  r = h_->dbc.Allocate(h_->env.get());
  if (!Succeeded(r)) return Check(r, SQL_HANDLE_ENV, h_->env.get());
  SQLHDBC dbc = h_->dbc.get();
  // Time-outs are hints to the driver; one that does not know them still
  // connects.
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, IntAttribute(timeout_s), 0);
  SQLSetConnectAttr(dbc, SQL_ATTR_CONNECTION_TIMEOUT, IntAttribute(timeout_s), 0);

  const std::u16string text = WithSqliteTimeout(connection_string, timeout_s);
  SQLWCHAR out[1024];
  SQLSMALLINT out_length = 0;
  r = SQLDriverConnectW(dbc, nullptr, const_cast<SQLWCHAR*>(Wide(text)),
                        static_cast<SQLSMALLINT>(std::min<size_t>(text.size(), 32767)), out, 1024,
                        &out_length, SQL_DRIVER_NOPROMPT);
  if (!Succeeded(r)) {
    OdbcResult failure = Check(r, SQL_HANDLE_DBC, dbc);
    Close();
    return failure;
  }
  h_->connected = true;
  r = h_->stmt.Allocate(dbc);
  if (!Succeeded(r)) {
    OdbcResult failure = Check(r, SQL_HANDLE_DBC, dbc);
    Close();
    return failure;
  }
  query_timeout_s_ = 0;

  can_transact_ = SmallInfo(dbc, SQL_TXN_CAPABLE, SQL_TC_NONE) != SQL_TC_NONE;
  commit_deletes_prepared_ = SmallInfo(dbc, SQL_CURSOR_COMMIT_BEHAVIOR, 0) == SQL_CB_DELETE;
  rollback_deletes_prepared_ = SmallInfo(dbc, SQL_CURSOR_ROLLBACK_BEHAVIOR, 0) == SQL_CB_DELETE;
  // A buffer size of SQLGetInfoW is in bytes, and so is the length it
  // returns.
  SQLWCHAR name[128] = {};
  SQLSMALLINT name_bytes = 0;
  if (Succeeded(SQLGetInfoW(dbc, SQL_DBMS_NAME, name, sizeof name, &name_bytes))) {
    dbms_name_ =
        FromWide(name, std::min<size_t>(static_cast<size_t>(name_bytes) / sizeof(SQLWCHAR), 127));
  }
  backslash_escapes_ = ReadBackslashEscapes(timeout_s);
  return {};
}

bool OdbcConnection::ReadBackslashEscapes(uint32_t timeout_s) {
  const std::u16string name = AsciiLower(dbms_name_);
  const bool mysql =
      name.find(u"mysql") != std::u16string::npos || name.find(u"mariadb") != std::u16string::npos;
  const bool postgres = name.find(u"postgresql") != std::u16string::npos;
  if (!mysql && !postgres) return false;
  // What cannot be read counts as escapes: doubling a backslash that needed
  // none spoils a value, leaving one that escapes a quote lets the value
  // change the statement.
  Rows rows;
  const OdbcResult read =
      Query(mysql ? u"SELECT @@SESSION.sql_mode" : u"SHOW standard_conforming_strings", timeout_s,
            1, rows);
  if (!read.ok() || rows.empty() || rows.front().empty()) return true;
  const std::u16string value = AsciiLower(rows.front().front());
  if (mysql) return value.find(u"no_backslash_escapes") == std::u16string::npos;
  return value != u"on";
}

bool OdbcConnection::IsOpen() const { return h_->connected; }

bool OdbcConnection::CanTransact() const { return can_transact_; }

const std::u16string& OdbcConnection::DbmsName() const { return dbms_name_; }

bool OdbcConnection::BackslashEscapes() const { return backslash_escapes_; }

OdbcResult OdbcConnection::EmptyStatement() {
  return OdbcResult(SQL_ERROR, {OdbcDiagnostic{"42000", 0, u"The statement is empty."}});
}

bool OdbcConnection::InTransaction() const { return in_transaction_; }

OdbcResult OdbcConnection::BeginTransaction() {
  if (!IsOpen()) return NotOpen();
  const SQLRETURN r =
      SQLSetConnectAttr(h_->dbc.get(), SQL_ATTR_AUTOCOMMIT, IntAttribute(SQL_AUTOCOMMIT_OFF), 0);
  OdbcResult result = Check(r, SQL_HANDLE_DBC, h_->dbc.get());
  in_transaction_ = result.ok();
  return result;
}

OdbcResult OdbcConnection::Commit() {
  if (!IsOpen()) return NotOpen();
  OdbcResult result =
      Check(SQLEndTran(SQL_HANDLE_DBC, h_->dbc.get(), SQL_COMMIT), SQL_HANDLE_DBC, h_->dbc.get());
  if (!result.ok()) return result;
  in_transaction_ = false;
  ForgetPrepared(commit_deletes_prepared_);
  // The batch is committed whatever follows. A connection whose mode cannot
  // be restored is closed, so that it is opened afresh (in auto-commit) for
  // the next statement instead of the batch being run again.
  const OdbcResult autocommit = Check(
      SQLSetConnectAttr(h_->dbc.get(), SQL_ATTR_AUTOCOMMIT, IntAttribute(SQL_AUTOCOMMIT_ON), 0),
      SQL_HANDLE_DBC, h_->dbc.get());
  if (!autocommit.ok()) Close();
  return result;
}

OdbcResult OdbcConnection::Rollback() {
  if (!IsOpen()) return NotOpen();
  OdbcResult result =
      Check(SQLEndTran(SQL_HANDLE_DBC, h_->dbc.get(), SQL_ROLLBACK), SQL_HANDLE_DBC, h_->dbc.get());
  in_transaction_ = false;
  ForgetPrepared(rollback_deletes_prepared_);
  const OdbcResult autocommit = Check(
      SQLSetConnectAttr(h_->dbc.get(), SQL_ATTR_AUTOCOMMIT, IntAttribute(SQL_AUTOCOMMIT_ON), 0),
      SQL_HANDLE_DBC, h_->dbc.get());
  return result.ok() ? autocommit : result;
}

void OdbcConnection::ForgetPrepared(bool deleted) {
  if (deleted) prepared_.clear();
}

OdbcResult OdbcConnection::ExecuteOpen(std::u16string_view statement, uint32_t timeout_s) {
  // A text length is a count of characters, positive or SQL_NTS: the driver
  // manager refuses 0 with HY090, which says nothing about the statement.
  if (statement.empty()) return EmptyStatement();
  SQLHSTMT stmt = h_->stmt.get();
  SetQueryTimeout(stmt, timeout_s, query_timeout_s_);
  const std::u16string text(statement);
  return Check(
      SQLExecDirectW(stmt, const_cast<SQLWCHAR*>(Wide(text)), static_cast<SQLINTEGER>(text.size())),
      SQL_HANDLE_STMT, stmt);
}

OdbcResult OdbcConnection::PrepareOnce(std::u16string_view statement) {
  if (h_->prepared && !prepared_.empty() && prepared_ == statement) return {};
  prepared_.clear();
  if (!h_->prepared) {
    const SQLRETURN r = h_->prepared.Allocate(h_->dbc.get());
    if (!Succeeded(r)) return Check(r, SQL_HANDLE_DBC, h_->dbc.get());
    prepared_timeout_s_ = 0;
  }
  SQLHSTMT stmt = h_->prepared.get();
  const std::u16string text(statement);
  OdbcResult result = Check(
      SQLPrepareW(stmt, const_cast<SQLWCHAR*>(Wide(text)), static_cast<SQLINTEGER>(text.size())),
      SQL_HANDLE_STMT, stmt);
  if (result.ok()) prepared_ = text;
  return result;
}

OdbcResult OdbcConnection::ExecuteBound(std::u16string_view statement,
                                        const std::vector<OdbcValue>& values, uint32_t timeout_s) {
  if (!IsOpen()) return NotOpen();
  if (statement.empty()) return EmptyStatement();
  OdbcResult result = PrepareOnce(statement);
  if (!result.ok()) return result;
  SQLHSTMT stmt = h_->prepared.get();
  SetQueryTimeout(stmt, timeout_s, prepared_timeout_s_);
  std::vector<SQLINTEGER> numbers(values.size());
  std::vector<SQLLEN> lengths(values.size());
  for (size_t i = 0; result.ok() && i < values.size(); ++i) {
    result = BindValue(stmt, i, values[i], numbers[i], lengths[i]);
  }
  if (result.ok()) result = Check(SQLExecute(stmt), SQL_HANDLE_STMT, stmt);
  // The bindings point into this call's buffers: none may outlive it.
  SQLFreeStmt(stmt, SQL_CLOSE);
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);
  return result;
}

OdbcResult OdbcConnection::Execute(std::u16string_view statement, uint32_t timeout_s,
                                   int64_t* affected) {
  if (!IsOpen()) return NotOpen();
  SQLHSTMT stmt = h_->stmt.get();
  OdbcResult result = ExecuteOpen(statement, timeout_s);
  if (affected != nullptr && result.ok()) {
    SQLLEN rows = -1;
    if (!Succeeded(SQLRowCount(stmt, &rows))) rows = -1;
    *affected = static_cast<int64_t>(rows);
  }
  // A statement that returned rows leaves a cursor open.
  SQLFreeStmt(stmt, SQL_CLOSE);
  return result;
}

OdbcResult OdbcConnection::Query(std::u16string_view statement, uint32_t timeout_s, size_t max_rows,
                                 Rows& rows) {
  rows.clear();
  if (!IsOpen()) return NotOpen();
  SQLHSTMT stmt = h_->stmt.get();
  OdbcResult result = ExecuteOpen(statement, timeout_s);
  SQLSMALLINT columns = 0;
  if (result.ok()) result = Check(SQLNumResultCols(stmt, &columns), SQL_HANDLE_STMT, stmt);
  while (result.ok() && columns > 0 && rows.size() < max_rows) {
    const SQLRETURN fetched = SQLFetch(stmt);
    if (fetched == SQL_NO_DATA) break;
    result = Check(fetched, SQL_HANDLE_STMT, stmt);
    if (!result.ok()) break;
    std::vector<std::u16string>& row = rows.emplace_back(static_cast<size_t>(columns));
    for (SQLSMALLINT c = 0; result.ok() && c < columns; ++c) {
      result = ReadColumn(stmt, static_cast<SQLUSMALLINT>(c + 1), row[static_cast<size_t>(c)]);
    }
  }
  SQLFreeStmt(stmt, SQL_CLOSE);
  if (!result.ok()) rows.clear();
  return result;
}

bool OdbcConnection::IsLocked(const OdbcResult& result) const {
  // SQLITE_BUSY and SQLITE_LOCKED, as the SQLite driver reports them.
  if (dbms_name_ != u"SQLite") return false;
  return std::any_of(
      result.diagnostics().begin(), result.diagnostics().end(),
      [](const OdbcDiagnostic& d) { return d.native_error == 5 || d.native_error == 6; });
}

bool OdbcConnection::IsDead() const {
  if (!IsOpen()) return true;
  SQLUINTEGER dead = SQL_CD_FALSE;
  const SQLRETURN r =
      SQLGetConnectAttr(h_->dbc.get(), SQL_ATTR_CONNECTION_DEAD, &dead, sizeof dead, nullptr);
  return Succeeded(r) && dead == SQL_CD_TRUE;
}

void OdbcConnection::Close() {
  h_->prepared.Reset();
  prepared_.clear();
  h_->stmt.Reset();
  if (h_->connected) {
    if (in_transaction_) SQLEndTran(SQL_HANDLE_DBC, h_->dbc.get(), SQL_ROLLBACK);
    SQLDisconnect(h_->dbc.get());
  }
  h_->connected = false;
  in_transaction_ = false;
  can_transact_ = false;
  backslash_escapes_ = false;
  dbms_name_.clear();
  h_->dbc.Reset();
  h_->env.Reset();
}

}  // namespace cvn::db
