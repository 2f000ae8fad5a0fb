// cvndb: prepares and checks the database that the service's database
// channel writes to, through the same ODBC connection string (DB/ConnString).
//
// Exit codes: 0 success, 1 the operation failed (the driver's text is
// printed), 2 usage.
#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "db/db_exporter.h"
#include "db/db_schema.h"
#include "db/odbc.h"
#include "platform/program_entry.h"
#include "tools/tool_conventions.h"

namespace cvn {
namespace {

constexpr uint32_t kTimeoutS = 10;

int Usage(FILE* out = stderr) {
  std::fputs(
      "usage: cvndb <command> \"<connection string>\"\n"
      "  init   create the table EventLog that the default DB/Command writes into\n"
      "         (SQLite and PostgreSQL; the dialect follows the driver's DBMS name)\n"
      "  check  open the database and report the driver's error text when it cannot\n"
      "example: cvndb init \"Driver=SQLite3;Database=/var/lib/corvane/events.db;\"\n"
      "  --help, --version\n",
      out);
  return tools::kExitUsage;
}

void Print(FILE* stream, const std::u16string& text) {
  std::fputs((Utf16ToUtf8(text) + "\n").c_str(), stream);
}

int Fail(const std::u16string& what, const db::OdbcResult& result) {
  Print(stderr, what + u": " + result.Text());
  return 1;
}

int Init(db::OdbcConnection& connection) {
  const std::optional<std::u16string> statement = db::CreateEventLogTable(connection.DbmsName());
  if (!statement) {
    Print(stderr, u"No table definition for the database system \"" + connection.DbmsName() +
                      u"\"; create the table EventLog by hand (see DB/Command).");
    return 1;
  }
  if (const db::OdbcResult r = connection.Execute(*statement, kTimeoutS); !r.ok()) {
    return Fail(u"The table cannot be created", r);
  }
  Print(stdout, u"The table EventLog is ready (" + connection.DbmsName() + u").");
  return 0;
}

}  // namespace
}  // namespace cvn

int ProgramMain(std::vector<std::u16string> args) {
  using namespace cvn;
  if (const auto rc = tools::StandardOption(args, "cvndb", [](FILE* out) { Usage(out); })) {
    return *rc;
  }
  if (args.size() != 2 || (args[0] != u"init" && args[0] != u"check")) return Usage();
  db::OdbcConnection connection;
  // The service's own reading of the string: an "ODBC;" prefix is dropped.
  const db::OdbcResult opened =
      connection.Open(db::CSTDbExporter::StripOdbcPrefix(args[1]), kTimeoutS);
  if (!opened.ok()) return Fail(u"The database cannot be opened", opened);
  if (args[0] == u"init") return Init(connection);
  Print(stdout,
        u"OK: the database opens (" + connection.DbmsName() +
            (connection.CanTransact() ? u", with transactions)." : u", without transactions)."));
  return 0;
}
