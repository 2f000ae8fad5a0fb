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

  std::unique_ptr<Handles> h_;
  bool can_transact_ = false;
  bool in_transaction_ = false;
  uint32_t query_timeout_s_ = 0;
  std::u16string dbms_name_;
};

}  // namespace cvn::db
