// Real databases for the database channel's tests and benchmark: a SQLite
// file through the SQLite3 ODBC driver, and a PostgreSQL 15 server started
// on a free port in a temporary data folder, reached through psqlODBC.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace cvn::db_test {

// The table the default statement template writes into, with a transaction
// id column on PostgreSQL.
extern const char* const kSqliteTable;
extern const char* const kPostgresTable;

bool HaveSqliteDriver();
std::string SqliteConnection(const std::filesystem::path& file);
// Runs sql with the sqlite3 shell; its output (rows as a|b|c lines).
std::string SqliteQuery(const std::filesystem::path& file, const std::string& sql);

class PostgresServer {
 public:
  // Why the server cannot run here, or empty.
  static std::string Unavailable();

  // initdb in dir/pg (owned by postgres), then Start. dir's parents must be
  // traversable by postgres.
  explicit PostgresServer(const std::filesystem::path& dir);
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  bool Start();  // true once it accepts connections
  void Stop();   // fast shutdown
  bool ok() const { return ok_; }
  int port() const { return port_; }
  // A connection string for the psqlODBC Unicode driver.
  std::string Connection() const;
  // Runs sql with psql on the test database; its output (a|b lines).
  std::string Query(const std::string& sql) const;
  std::string ServerLog() const;

 private:
  std::filesystem::path dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool ok_ = false;
};

// A command's standard output.
std::string Run(const std::string& command);

}  // namespace cvn::db_test
