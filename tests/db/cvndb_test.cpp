// cvndb against SQLite and PostgreSQL: init creates the table that the
// default statement template writes into; check reports the driver's text.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/cvn_settings.h"
#include "db/db_peers.h"
#include "db/db_record.h"
#include "db/export_rig.h"
#include "support/temp_dir.h"

namespace cvn::db_test {
namespace {

std::string Cvndb(const std::string& command, const std::string& connection) {
  return Run(std::string(CVNDB_PATH) + " " + command + " '" + connection + "' 2>&1; echo rc=$?");
}

// One record through the default DB/Command, with a value that holds quotes.
void ExportDefaultRecord(const std::string& connection) {
  SEventRecord record;
  record.timeGenerated = 1481205909;
  record.eventId = 0xC0000203u;
  record.eventType = 1;
  record.logName = u"Application";
  record.source = u"O'Brien";
  record.description = u"line 1\r\nline 2 'quoted'";
  ExportRig rig(connection, false);
  rig.UseCommand(CCVNSettings::kDefaultDbCommand);
  ASSERT_EQ(rig.Start(), 0) << Utf16ToUtf8(rig.worker.Exporter().LastError());
  rig.PushEvent(record);
  ASSERT_TRUE(rig.WaitHandled(1));
  EXPECT_EQ(rig.exported, 1u) << Utf16ToUtf8(rig.worker.Exporter().LastError());
}

TEST(CvndbTest, InitPreparesSqliteForTheDefaultTemplate) {
  if (!HaveSqliteDriver()) GTEST_SKIP() << "the SQLite3 ODBC driver is not installed; skipping";
  cvn::testing::TempDir dir;
  const std::string connection = "ODBC;" + SqliteConnection(dir.path() / "events.db");
  EXPECT_EQ(Cvndb("init", connection), "The table EventLog is ready (SQLite).\nrc=0\n");
  EXPECT_EQ(Cvndb("init", connection), "The table EventLog is ready (SQLite).\nrc=0\n");
  ExportDefaultRecord(connection);
  EXPECT_EQ(SqliteQuery(dir.path() / "events.db",
                        "SELECT Type, Log, Source, length(Description) FROM EventLog"),
            "1|Application|O'Brien|23\n");
  const std::string missing = Cvndb("check", SqliteConnection(dir.path() / "no" / "x.db"));
  EXPECT_EQ(missing.rfind("The database cannot be opened: [", 0), 0u) << missing;
  EXPECT_TRUE(missing.ends_with("rc=1\n")) << missing;
}

TEST(CvndbTest, InitPreparesPostgresAndCheckShowsTheDriversText) {
  if (const std::string why = PostgresServer::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  cvn::testing::TempDir dir;
  PostgresServer server(dir.path());
  ASSERT_TRUE(server.ok()) << server.ServerLog();
  EXPECT_EQ(Cvndb("check", server.Connection()),
            "OK: the database opens (PostgreSQL, with transactions).\nrc=0\n");
  EXPECT_EQ(Cvndb("init", server.Connection()),
            "The table EventLog is ready (PostgreSQL).\nrc=0\n");
  ExportDefaultRecord(server.Connection());
  EXPECT_EQ(server.Query("SELECT Type, Source, length(Description) FROM EventLog"),
            "1|O'Brien|23\n");
  std::string wrong = server.Connection();
  wrong.replace(wrong.find("Pwd=secret"), 10, "Pwd=wrong");
  const std::string refused = Cvndb("check", wrong);
  EXPECT_NE(refused.find("password authentication failed"), std::string::npos) << refused;
  EXPECT_TRUE(refused.ends_with("rc=1\n")) << refused;
}

}  // namespace
}  // namespace cvn::db_test
