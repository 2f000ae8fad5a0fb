// A small C++ face of the ODBC C API, sized to what the database channel and
// its tool need: open a connection without any dialog, learn whether it can
// use transactions, begin, commit and roll back, execute a statement, close.
// Handles free themselves; failures come back as values that carry the
// driver's diagnostics (SQLSTATE, native code, text), never as exceptions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::db {

// A value for a parameter marker ("?"): a whole number, or text, which is
// bound as wide characters like every other text the connection passes.
struct OdbcValue {
  static OdbcValue Text(std::u16string text) { return {false, 0, std::move(text)}; }
  static OdbcValue Number(int32_t number) { return {true, number, {}}; }

  bool is_number = false;
  int32_t number = 0;
  std::u16string text;
};

// One diagnostic record of a failed call.
struct OdbcDiagnostic {
  std::string sqlstate;  // five characters, "08S01"
  int32_t native_error = 0;
  std::u16string text;
};

// The outcome of one ODBC operation: success, or the call's return code
// (SQL_ERROR -1, SQL_INVALID_HANDLE -2, ...) with the diagnostics.
class OdbcResult {
 public:
  OdbcResult() = default;
  OdbcResult(int16_t code, std::vector<OdbcDiagnostic> diagnostics)
      : code_(code), diagnostics_(std::move(diagnostics)) {}

  bool ok() const { return code_ == 0; }
  int16_t code() const { return code_; }
  const std::vector<OdbcDiagnostic>& diagnostics() const { return diagnostics_; }
  // The first diagnostic's SQLSTATE, or empty.
  std::string SqlState() const;
  // Every diagnostic as "[SQLSTATE] text (native N)", joined by "; ".
  std::u16string Text() const;
  // A diagnostic of class 08 (connection exception): the link is gone.
  bool ConnectionLost() const;
  // HYT00/HYT01 (the login or query time-out ran out), or class 57, an
  // operator intervention: a cancelled statement (some drivers report their
  // query time-out so), a server shutting down.
  bool Interrupted() const;
  // A failure of the call rather than of the statement: HY090 (a string or
  // buffer length the driver manager or driver refused), HY001 and HY013
  // (memory). Whatever the statement was, it may succeed when tried again.
  bool CallFailed() const;

 private:
  int16_t code_ = 0;
  std::vector<OdbcDiagnostic> diagnostics_;
};

// One call of the driver's diagnostic-record function for record number
// `record` (from 1): fills state (six characters with the terminator),
// native and text (capacity characters with the terminator), sets length to
// the text's whole length in characters, and returns the ODBC return code.
using DiagRecordFunction =
    std::function<int16_t(int16_t record, char16_t* state, int32_t* native, char16_t* text,
                          int16_t capacity, int16_t* length)>;

// The diagnostic records a failed call left (at most 16), read through
// `read`. A text longer than the first buffer is read again into one of its
// length; whatever length the driver claims, a text ends at its terminator
// and at the buffer's end.
std::vector<OdbcDiagnostic> ReadDiagnostics(const DiagRecordFunction& read);

// One connection with its own environment and one statement handle that is
// reused for every execution. Not thread-safe: one thread uses it at a time.
class OdbcConnection {
 public:
  OdbcConnection();
  ~OdbcConnection();  // closes
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  // Connects with a complete connection string and never shows a dialog
  // (SQLDriverConnect with no prompt). The login, and every later call that
  // talks to the server, gives up after timeout_s seconds (at least 1).
  OdbcResult Open(std::u16string_view connection_string, uint32_t timeout_s);
  bool IsOpen() const;
  // Found at open: whether the driver can group statements in transactions,
  // and the name of the database system ("SQLite", "PostgreSQL", ...).
  bool CanTransact() const;
  const std::u16string& DbmsName() const;
  // Found at open: whether the database reads a backslash in a string
  // literal as an escape: MySQL and MariaDB unless their sql_mode holds
  // NO_BACKSLASH_ESCAPES, PostgreSQL with standard_conforming_strings off
  // (also when the setting cannot be read).
  bool BackslashEscapes() const;

  // Turns auto-commit off; the next statements form one transaction.
  OdbcResult BeginTransaction();
  // Ends the transaction and turns auto-commit back on.
  OdbcResult Commit();
  OdbcResult Rollback();
  bool InTransaction() const;

  // Executes one statement as it is; the execution gives up after
  // timeout_s seconds (at least 1). With affected: the number of rows the
  // statement changed (-1 when the driver cannot tell).
  OdbcResult Execute(std::u16string_view statement, uint32_t timeout_s,
                     int64_t* affected = nullptr);

  // Executes a statement with a parameter marker for each value, binding
  // the values in their order. The statement is prepared on a handle of its
  // own and kept prepared for the next call with the same text.
  OdbcResult ExecuteBound(std::u16string_view statement, const std::vector<OdbcValue>& values,
                          uint32_t timeout_s);

  // An empty statement never reaches the driver (which cannot take a text
  // of no characters): Execute, ExecuteBound and Query answer it with this
  // failure, SQLSTATE 42000.
  static OdbcResult EmptyStatement();

  // Executes a query and reads at most max_rows rows of its result, each
  // column as text (NULL as empty), under the same time-out.
  using Rows = std::vector<std::vector<std::u16string>>;
  OdbcResult Query(std::u16string_view statement, uint32_t timeout_s, size_t max_rows, Rows& rows);

  // Whether a failure says that another connection holds the database
  // locked (SQLite's "database is locked"): worth another try later.
  bool IsLocked(const OdbcResult& result) const;

  // Whether the driver reports the connection dead (asked without a round
  // trip); false when it cannot tell.
  bool IsDead() const;

  // Rolls back an open transaction and disconnects; safe when closed.
  void Close();

  struct Handles;  // the ODBC handles, defined with the calls

 private:
  // Executes on the statement handle, whose cursor the caller closes.
  OdbcResult ExecuteOpen(std::u16string_view statement, uint32_t timeout_s);
  // Prepares statement on the prepared handle unless it is prepared there.
  OdbcResult PrepareOnce(std::u16string_view statement);
  bool ReadBackslashEscapes(uint32_t timeout_s);
  // After a commit or rollback that the driver says deletes prepared
  // statements.
  void ForgetPrepared(bool deleted);

  std::unique_ptr<Handles> h_;
  bool can_transact_ = false;
  bool in_transaction_ = false;
  bool backslash_escapes_ = false;
  bool commit_deletes_prepared_ = false;
  bool rollback_deletes_prepared_ = false;
  uint32_t query_timeout_s_ = 0;
  uint32_t prepared_timeout_s_ = 0;
  std::u16string dbms_name_;
  std::u16string prepared_;  // the statement prepared on the prepared handle
};

}  // namespace cvn::db
