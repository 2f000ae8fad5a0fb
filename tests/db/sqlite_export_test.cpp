// The exporter and its worker against a SQLite file through the SQLite3 ODBC
// driver: diagnostics, the batch fall-back, slicing, the queue bound with an
// unreachable database and the reconnection, the drain at stop, the
// positions kept in the database.
#include <gtest/gtest.h>

#include <filesystem>

#include "db/db_peers.h"
#include "db/export_rig.h"
#include "db/odbc.h"
#include "db/position_checks.h"
#include "support/temp_dir.h"

namespace cvn::db_test {
namespace {

namespace fs = std::filesystem;

class SqliteExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSqliteDriver()) {
      GTEST_SKIP() << "the SQLite3 ODBC driver or the sqlite3 shell is not installed (Debian "
                      "packages libsqliteodbc, sqlite3); skipping";
    }
    file_ = dir_.path() / "events.db";
    ASSERT_EQ(SqliteQuery(file_, kSqliteTable), "");
  }
  std::string Rows(const std::string& what = "EventId") {
    return SqliteQuery(file_, "SELECT " + what + " FROM EventLog ORDER BY Id");
  }

  cvn::testing::TempDir dir_;
  fs::path file_;
};

TEST_F(SqliteExportTest, FailuresComeBackWithSqlStateNativeCodeAndDriverText) {
  db::OdbcConnection missing;
  const db::OdbcResult open =
      missing.Open(Utf8ToUtf16(SqliteConnection(dir_.path() / "no" / "such.db")), 2);
  EXPECT_FALSE(open.ok());
  EXPECT_FALSE(open.Text().empty());
  EXPECT_FALSE(missing.IsOpen());

  db::OdbcConnection connection;
  ASSERT_TRUE(connection.Open(Utf8ToUtf16(SqliteConnection(file_)), 2).ok());
  EXPECT_EQ(connection.DbmsName(), u"SQLite");
  EXPECT_TRUE(connection.CanTransact());
  const db::OdbcResult bad = connection.Execute(u"INSERT INTO Nowhere VALUES (1)", 2);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.code(), -1);
  ASSERT_FALSE(bad.diagnostics().empty());
  EXPECT_EQ(bad.SqlState().size(), 5u);
  EXPECT_NE(Utf16ToUtf8(bad.Text()).find("no such table"), std::string::npos)
      << Utf16ToUtf8(bad.Text());
  EXPECT_FALSE(bad.ConnectionLost());
}

// A statement that fails inside a transaction costs only its own record:
// the others of the batch are run again one at a time.
TEST_F(SqliteExportTest, AFailingStatementInABatchLosesOnlyItself) {
  ExportRig rig(SqliteConnection(file_), true);
  for (int n = 1; n <= 10; ++n)
    rig.Push(n == 5 ? "INSERT INTO Nowhere VALUES (5)" : Insert(n), false);
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_TRUE(rig.worker.Exporter().TransactionsInUse());
  rig.Wake();
  ASSERT_TRUE(rig.WaitHandled(10));
  EXPECT_EQ(rig.exported, 9u);
  EXPECT_EQ(rig.failed, 1u);
  EXPECT_EQ(rig.acknowledged, 10u);
  EXPECT_EQ(Rows(), "1\n2\n3\n4\n6\n7\n8\n9\n10\n");
  EXPECT_NE(rig.Logs().find("1 statement failed; the last: "), std::string::npos) << rig.Logs();
}

// One wake-up for many records: what a slice leaves is taken at once.
TEST_F(SqliteExportTest, RecordsLeftWhenASliceEndsAreExportedWithoutAnotherWakeUp) {
  ExportRig rig(SqliteConnection(file_), false);
  rig.worker.Processor().SetTimeSliceForTesting(1);
  for (int n = 1; n <= 200; ++n) rig.Push(Insert(n), false);
  ASSERT_EQ(rig.Start(), 0);
  rig.Wake();
  ASSERT_TRUE(rig.WaitHandled(200));
  EXPECT_EQ(rig.exported, 200u);
  EXPECT_EQ(Rows("count(*)"), "200\n");
}

// The database cannot be reached: records wait in the bounded queue (the
// third is refused and gets no number, so nothing waits for it), and arrive
// once the database can be opened again.
TEST_F(SqliteExportTest, RecordsWaitWithinTheBoundWhileTheDatabaseIsUnreachable) {
  const fs::path later = dir_.path() / "later" / "events.db";
  ExportRig rig(SqliteConnection(later), false, 2);
  EXPECT_NE(rig.Start(), 0);
  EXPECT_TRUE(rig.Push(Insert(1)));
  EXPECT_TRUE(rig.Push(Insert(2)));
  EXPECT_FALSE(rig.Push(Insert(3)));
  EXPECT_EQ(rig.issued, 2u);

  fs::create_directories(later.parent_path());
  ASSERT_EQ(SqliteQuery(later, kSqliteTable), "");
  ASSERT_TRUE(rig.WaitHandled(2)) << rig.Logs();
  EXPECT_EQ(rig.exported, 2u);
  EXPECT_EQ(SqliteQuery(later, "SELECT EventId FROM EventLog ORDER BY Id"), "1\n2\n");
  const std::string logs = rig.Logs();
  EXPECT_EQ(logs.find("The database cannot be opened: "), 0u) << logs;
  EXPECT_EQ(logs.find("cannot be opened", 20), std::string::npos) << "logged once: " << logs;
  EXPECT_NE(logs.find("The connection to the database was restored."), std::string::npos);
}

// Another connection holds the file locked for a few seconds: the record
// waits (the driver's wait is bounded; a "database is locked" failure is
// tried again) and is written once the lock is gone.
TEST_F(SqliteExportTest, ALockedDatabaseHoldsTheRecordUntilItIsFree) {
  ExportRig rig(SqliteConnection(file_), false);
  ASSERT_EQ(rig.Start(), 0);
  const fs::path held = dir_.path() / "held";
  db_test::Run("(/usr/bin/python3 -c \"import sqlite3, time; c = sqlite3.connect('" +
               file_.string() + "', isolation_level=None); c.execute('BEGIN EXCLUSIVE'); open('" +
               held.string() + "', 'w').close(); time.sleep(4); c.execute('COMMIT')\" &)");
  ASSERT_TRUE(Eventually([&] { return fs::exists(held); }));
  rig.Push(Insert(1));
  ASSERT_TRUE(rig.WaitHandled(1));
  EXPECT_EQ(rig.failed, 0u) << rig.Logs();
  EXPECT_EQ(Rows(), "1\n");
}

TEST_F(SqliteExportTest, AStopExportsWhatIsQueuedAndLeavesWhatCannotBeToTheNextStart) {
  {
    ExportRig rig(SqliteConnection(file_), true);
    ASSERT_EQ(rig.Start(), 0);
    for (int n = 1; n <= 50; ++n) rig.Push(Insert(n), false);
    rig.Stop();
    EXPECT_EQ(rig.exported, 50u);
    EXPECT_EQ(Rows("count(*)"), "50\n");
  }
  ExportRig down(SqliteConnection(dir_.path() / "gone" / "x.db"), false);
  down.Start();
  for (int n = 1; n <= 3; ++n) down.Push(Insert(n), false);
  down.Stop();
  EXPECT_EQ(down.worker.Queue().Size(), 0u);
  EXPECT_NE(down.Logs().find("3 queued records were not exported before the stop; they are "
                             "exported after the next start"),
            std::string::npos)
      << down.Logs();
  EXPECT_EQ(down.acknowledged, 0u);
}

// The driver manager refuses a statement text of no characters with HY090,
// which tells nothing about the record: an empty statement never gets that
// far. It fails alone, for good; the records around it arrive.
TEST_F(SqliteExportTest, AnEmptyStatementFailsAloneWithoutReachingTheDriver) {
  ExportRig rig(SqliteConnection(file_), true);
  rig.Push(Insert(1), false);
  rig.Push("", false);
  rig.Push(Insert(3), false);
  ASSERT_EQ(rig.Start(), 0);
  rig.Wake();
  ASSERT_TRUE(rig.WaitHandled(3));
  EXPECT_EQ(rig.failed, 1u);
  EXPECT_EQ(Rows(), "1\n3\n");
  EXPECT_NE(rig.Logs().find("[42000] The statement is empty."), std::string::npos) << rig.Logs();
  EXPECT_EQ(rig.Logs().find("HY090"), std::string::npos) << rig.Logs();
}

// Values the record does not have (no user, never a category) are bound as
// empty text, in a batch and alone.
TEST_F(SqliteExportTest, EmptyValuesAreBoundAsEmptyText) {
  ExportRig rig(SqliteConnection(file_), true);
  rig.UseCommand(
      u"INSERT INTO EventLog (Generated, Type, EventId, Log, Source, Description) VALUES "
      u"('%DATE_TIME%', %EVENT_TYPE_NUM%, %EVENT_ID%, '%EVENTLOG%', '%USER%', '%CATEGORY%')");
  SEventRecord event;
  event.eventType = kEventTypeError;
  event.logName = u"System";
  for (uint32_t id : {7u, 8u}) {
    event.eventId = id;
    rig.PushEvent(event, false);
  }
  ASSERT_EQ(rig.Start(), 0);
  rig.Wake();
  ASSERT_TRUE(rig.WaitHandled(2));
  event.eventId = 9;
  rig.PushEvent(event);
  ASSERT_TRUE(rig.WaitHandled(3));
  EXPECT_EQ(rig.exported, 3u) << rig.Logs();
  EXPECT_EQ(Rows("EventId, Type, Log, typeof(Source), length(Source), length(Description)"),
            "7|1|System|text|0|0\n8|1|System|text|0|0\n9|1|System|text|0|0\n");
}

TEST_F(SqliteExportTest, PositionsAreCommittedWithTheRowsAndReadBackAtTheNextOpen) {
  ExpectPositionsCommittedWithTheRows(
      SqliteConnection(file_), [&](const std::string& sql) { return SqliteQuery(file_, sql); });
}

}  // namespace
}  // namespace cvn::db_test
