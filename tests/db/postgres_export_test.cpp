// The exporter and its worker against PostgreSQL 15 through psqlODBC, one
// server for the suite: transactions grouped by what waits, a failing
// statement in a batch, a server restart in the middle of the stream, and
// the positions kept in the database.
#include <gtest/gtest.h>

#include <memory>

#include "config/cvn_settings.h"
#include "db/db_command.h"
#include "db/db_peers.h"
#include "db/export_rig.h"
#include "db/position_checks.h"
#include "support/temp_dir.h"

namespace cvn::db_test {
namespace {

class PostgresExportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!PostgresServer::Unavailable().empty()) return;
    dir_ = new cvn::testing::TempDir();
    server_ = new PostgresServer(dir_->path());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete dir_;
    server_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (const std::string why = PostgresServer::Unavailable(); !why.empty()) {
      GTEST_SKIP() << why << "; skipping";
    }
    ASSERT_TRUE(server_->ok()) << server_->ServerLog();
    server_->Query("ALTER DATABASE testdb RESET standard_conforming_strings");
    server_->Query("DROP TABLE IF EXISTS EventLog");
    ASSERT_EQ(server_->Query(kPostgresTable), "");
  }

  static cvn::testing::TempDir* dir_;
  static PostgresServer* server_;
};
cvn::testing::TempDir* PostgresExportTest::dir_ = nullptr;
PostgresServer* PostgresExportTest::server_ = nullptr;

TEST_F(PostgresExportTest, RecordsQueuedTogetherShareOneTransactionOnlyWithTransactionsOn) {
  for (const bool use_transactions : {true, false}) {
    server_->Query("TRUNCATE EventLog");
    ExportRig rig(server_->Connection(), use_transactions);
    for (int n = 1; n <= 10; ++n) rig.Push(Insert(n), false);
    ASSERT_EQ(rig.Start(), 0) << Utf16ToUtf8(rig.worker.Exporter().LastError());
    rig.Wake();
    ASSERT_TRUE(rig.WaitHandled(10));
    EXPECT_EQ(rig.exported, 10u);
    EXPECT_EQ(server_->Query("SELECT count(*), count(DISTINCT Tx) FROM EventLog"),
              use_transactions ? "10|1\n" : "10|10\n");
  }
}

// PostgreSQL aborts the whole transaction at its first error; the other
// records of the batch still arrive.
TEST_F(PostgresExportTest, AFailingStatementInABatchLosesOnlyItself) {
  ExportRig rig(server_->Connection(), true);
  for (int n = 1; n <= 10; ++n) {
    rig.Push(n == 4 ? "INSERT INTO EventLog (EventId) VALUES ('not a number')" : Insert(n), false);
  }
  ASSERT_EQ(rig.Start(), 0);
  rig.Wake();
  ASSERT_TRUE(rig.WaitHandled(10));
  EXPECT_EQ(rig.failed, 1u);
  EXPECT_EQ(rig.exported, 9u);
  EXPECT_EQ(server_->Query("SELECT string_agg(EventId::text, ',' ORDER BY EventId) FROM EventLog"),
            "1,2,3,5,6,7,8,9,10\n");
}

// A server that goes away and comes back: the records wait and arrive, each
// once, in order; the loss and the return are logged once each.
TEST_F(PostgresExportTest, AServerRestartMidStreamLosesNothingWithinTheBound) {
  ExportRig rig(server_->Connection(), true, 1000);
  ASSERT_EQ(rig.Start(), 0);
  for (int n = 1; n <= 20; ++n) rig.Push(Insert(n));
  ASSERT_TRUE(rig.WaitHandled(20));
  server_->Stop();
  for (int n = 21; n <= 60; ++n) rig.Push(Insert(n));
  platform::SleepMs(1500);
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(rig.WaitHandled(60)) << rig.Logs();
  EXPECT_EQ(rig.failed, 0u) << rig.Logs();
  EXPECT_EQ(server_->Query("SELECT count(*), count(DISTINCT EventId), min(EventId), max(EventId) "
                           "FROM EventLog"),
            "60|60|1|60\n");
  const std::string logs = rig.Logs();
  EXPECT_NE(logs.find("The connection to the database was lost: "), std::string::npos) << logs;
  EXPECT_NE(logs.find("The connection to the database was restored."), std::string::npos) << logs;
}

// A table locked by another session holds the statement until the call's
// time-out; the record waits and is written once the lock is gone. While it
// is held, the bound of 2 refuses the fourth record.
TEST_F(PostgresExportTest, ABlockedTableHoldsRecordsWithinTheBoundUntilItIsFree) {
  ExportRig rig(server_->Connection(), false, 2);
  ASSERT_EQ(rig.Start(), 0);
  const std::string holder = "(" + std::string("runuser -u postgres -- psql -h ") +
                             (dir_->path() / "pg" / "sock").string() + " -p " +
                             std::to_string(server_->port()) +
                             " -U tester -d testdb -qAt -c 'BEGIN; LOCK TABLE EventLog; SELECT "
                             "pg_sleep(7); COMMIT;' >/dev/null 2>&1 &)";
  db_test::Run(holder);
  ASSERT_TRUE(Eventually([&] {
    return server_->Query(
               "SELECT count(*) FROM pg_locks WHERE mode = 'AccessExclusiveLock' AND "
               "relation = 'eventlog'::regclass") == "1\n";
  }));
  EXPECT_TRUE(rig.Push(Insert(1)));
  ASSERT_TRUE(Eventually([&] { return rig.worker.Queue().Size() == 0; }));  // in flight
  EXPECT_TRUE(rig.Push(Insert(2)));
  EXPECT_TRUE(rig.Push(Insert(3)));
  EXPECT_FALSE(rig.Push(Insert(4)));
  ASSERT_TRUE(rig.WaitHandled(3)) << rig.Logs();
  EXPECT_EQ(rig.failed, 0u) << rig.Logs();
  EXPECT_EQ(server_->Query("SELECT string_agg(EventId::text, ',' ORDER BY EventId) FROM EventLog"),
            "1,2,3\n");
}

// A server that reads a backslash in a literal as an escape: with quotes
// doubled alone, the value ends its literal and empties the table. Bound
// (the default template), or filled as text with its backslashes doubled
// too (a template that cannot bind), it is stored as it is. An empty source
// is bound as empty text.
TEST_F(PostgresExportTest, ValuesNeverChangeTheStatementWhereBackslashesAreEscapes) {
  ASSERT_EQ(server_->Query("ALTER DATABASE testdb SET standard_conforming_strings = off"), "");
  SEventRecord event;
  event.timeGenerated = 1709658249;
  event.eventId = 1028;
  event.eventType = kEventTypeInformation;
  event.logName = u"Application";
  event.description =
      u"\\'); DELETE FROM EventLog; INSERT INTO EventLog (Generated, Type, EventId, Log, Source, "
      u"Description) VALUES (now(), 1, 666, $$x$$, $$y$$, $$injected$$); --";
  const std::string rows = "SELECT EventId, Source, Description FROM EventLog ORDER BY Id";
  const std::u16string text_only =
      u"INSERT INTO EventLog (Generated, Type, EventId, Log, Source, Description) VALUES "
      u"('%DATE_TIME%', %EVENT_TYPE_NUM%, %EVENT_ID%, 'Log %EVENTLOG%', '%SOURCE%', "
      u"'%DESCRIPTION%')";
  {
    ASSERT_EQ(server_->Query(Insert(1)), "");
    ExportRig rig(server_->Connection(), false);
    ASSERT_EQ(rig.Start(), 0);
    rig.Push(Utf16ToUtf8(db::CDbCommand(CCVNSettings::kDefaultDbCommand).Filled(event, false)));
    ASSERT_TRUE(rig.WaitHandled(1));
    EXPECT_EQ(server_->Query(rows), "666|y|injected\n");
  }
  for (const std::u16string_view command :
       {std::u16string_view(CCVNSettings::kDefaultDbCommand), std::u16string_view(text_only)}) {
    SCOPED_TRACE(Utf16ToUtf8(command));
    server_->Query("TRUNCATE EventLog");
    ASSERT_EQ(server_->Query(Insert(1)), "");
    ExportRig rig(server_->Connection(), true);
    rig.UseCommand(command);
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_TRUE(rig.worker.Exporter().IsOpen());
    rig.PushEvent(event);
    ASSERT_TRUE(rig.WaitHandled(1));
    EXPECT_EQ(rig.exported, 1u) << rig.Logs();
    EXPECT_EQ(server_->Query(rows), "1|Test|row\n1028||" + Utf16ToUtf8(event.description) + "\n");
  }
}

// PostgreSQL aborts a transaction at its first error, also one that holds a
// position.
TEST_F(PostgresExportTest, PositionsAreCommittedWithTheRowsAndReadBackAtTheNextOpen) {
  server_->Query("DROP TABLE IF EXISTS CvnPositions");
  ExpectPositionsCommittedWithTheRows(server_->Connection(),
                                      [&](const std::string& sql) { return server_->Query(sql); });
}

}  // namespace
}  // namespace cvn::db_test
