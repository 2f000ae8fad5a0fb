#include "db/db_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>

#include "platform/clock.h"

namespace cvn::db_test {
namespace fs = std::filesystem;

const char* const kSqliteTable =
    "CREATE TABLE EventLog (Id INTEGER PRIMARY KEY, Generated TEXT, Type INTEGER, EventId "
    "INTEGER, Log TEXT, Source TEXT, Description TEXT)";
const char* const kPostgresTable =
    "CREATE TABLE EventLog (Id serial PRIMARY KEY, Generated timestamp, Type integer, EventId "
    "bigint, Log text, Source text, Description text, Tx bigint DEFAULT txid_current())";

namespace {
constexpr const char* kPgBin = "/usr/lib/postgresql/15/bin";
constexpr const char* kSqliteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
constexpr const char* kPsqlDriver = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

std::string Quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer;
  size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  pclose(pipe);
  return out;
}

bool HaveSqliteDriver() { return fs::exists(kSqliteDriver) && fs::exists("/usr/bin/sqlite3"); }

std::string SqliteConnection(const fs::path& file) {
  return std::string("Driver=") + kSqliteDriver + ";Database=" + file.string() + ";";
}

std::string SqliteQuery(const fs::path& file, const std::string& sql) {
  return Run("sqlite3 -batch " + Quoted(file.string()) + " " + Quoted(sql) + " 2>&1");
}

std::string PostgresServer::Unavailable() {
  if (geteuid() != 0) return "PostgreSQL tests run as root (initdb runs as the postgres user)";
  if (!fs::exists(std::string(kPgBin) + "/postgres") || !fs::exists(kPsqlDriver)) {
    return "PostgreSQL 15 or psqlODBC is not installed (Debian packages postgresql-15, "
           "odbc-postgresql)";
  }
  return {};
}

PostgresServer::PostgresServer(const fs::path& dir) : dir_(dir / "pg") {
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  fs::create_directories(dir_ / "sock");
  std::ofstream(dir_ / "pw") << "secret\n";
  const std::string d = Quoted(dir_.string());
  Run("chown -R postgres:postgres " + d + " && chmod 700 " + d);
  const std::string init = "runuser -u postgres -- " + std::string(kPgBin) + "/initdb -D " +
                           Quoted((dir_ / "data").string()) +
                           " -U tester --pwfile=" + Quoted((dir_ / "pw").string()) +
                           " --auth-local=trust --auth-host=scram-sha-256 --no-sync "
                           "--no-instructions -E UTF8 --locale=C.UTF-8 >/dev/null 2>&1; echo $?";
  if (Run(init) != "0\n") return;
  port_ = FreePort();
  if (!Start()) return;
  Run("runuser -u postgres -- psql -h " + Quoted((dir_ / "sock").string()) + " -p " +
      std::to_string(port_) + " -U tester -d postgres -qAt -c 'CREATE DATABASE testdb'");
  ok_ = true;
}

PostgresServer::~PostgresServer() { Stop(); }

bool PostgresServer::Start() {
  const std::string log = (dir_ / "server.log").string();
  pid_ = fork();
  if (pid_ == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    const std::string port = std::to_string(port_);
    const std::string data = (dir_ / "data").string();
    const std::string sock = (dir_ / "sock").string();
    const std::string bin = std::string(kPgBin) + "/postgres";
    execl("/usr/bin/setpriv", "setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups",
          bin.c_str(), "-D", data.c_str(), "-p", port.c_str(), "-k", sock.c_str(), "-c",
          "listen_addresses=127.0.0.1", "-c", "fsync=off", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 300; ++i) {
    const std::string ready = Run(std::string(kPgBin) + "/pg_isready -q -h 127.0.0.1 -p " +
                                  std::to_string(port_) + "; echo $?");
    if (ready == "0\n") return true;
    platform::SleepMs(50);
  }
  return false;
}

void PostgresServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGINT);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string PostgresServer::Connection() const {
  return std::string("Driver=") + kPsqlDriver + ";Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=testdb;Uid=tester;Pwd=secret;";
}

std::string PostgresServer::Query(const std::string& sql) const {
  return Run("runuser -u postgres -- psql -h " + Quoted((dir_ / "sock").string()) + " -p " +
             std::to_string(port_) + " -U tester -d testdb -qAt -c " + Quoted(sql) + " 2>&1");
}

std::string PostgresServer::ServerLog() const {
  std::ifstream in(dir_ / "server.log");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace cvn::db_test
