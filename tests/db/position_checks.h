// Checks of the database channel that run alike against each database.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "db/export_rig.h"
#include "platform/environment.h"

namespace cvn::db_test {

// The positions that the exporter keeps in a table of the target database
// (created when missing), against the database that connection opens and
// query reads (rows as a|b lines): in the transactions of the rows, each
// log's newest record, also past a statement that fails; read back when the
// next exporter opens the database.
inline void ExpectPositionsCommittedWithTheRows(
    const std::string& connection, const std::function<std::string(const std::string&)>& query) {
  const std::u16string computer = platform::LocalComputerName();
  const std::string positions =
      "SELECT LogName, RecordNumber, TimeGenerated FROM CvnPositions "
      "WHERE Computer = '" +
      Utf16ToUtf8(computer) + "' ORDER BY LogName";
  {
    ExportRig rig(connection, true);
    rig.worker.Exporter().SetPositionTable(u"CvnPositions", computer);
    rig.PushFrom(u"App", 1, Insert(1), false);
    rig.PushFrom(u"Sys", 10, Insert(10), false);
    rig.PushFrom(u"App", 2, Insert(2), false);
    rig.PushFrom(u"App", 3, "INSERT INTO Nowhere VALUES (3)", false);
    rig.PushFrom(u"Sys", 11, Insert(11), false);
    ASSERT_EQ(rig.Start(), 0) << rig.Logs();
    ASSERT_TRUE(rig.worker.Exporter().PositionsInUse()) << rig.Logs();
    EXPECT_NE(rig.Logs().find("The position table CvnPositions was created."), std::string::npos)
        << rig.Logs();
    rig.Wake();
    ASSERT_TRUE(rig.WaitHandled(5));
    EXPECT_EQ(rig.failed, 1u);
    EXPECT_EQ(query(positions), "App|3|1000003\nSys|11|1000011\n");
    // A record on its own moves its log's row in place.
    rig.PushFrom(u"App", 4, Insert(4));
    ASSERT_TRUE(rig.WaitHandled(6));
    EXPECT_EQ(query(positions), "App|4|1000004\nSys|11|1000011\n");
    EXPECT_EQ(query("SELECT count(*) FROM EventLog"), "5\n");
    EXPECT_EQ(rig.acknowledged, 6u);
  }
  ExportRig restarted(connection, true);
  restarted.worker.Exporter().SetPositionTable(u"CvnPositions", computer);
  ASSERT_EQ(restarted.Start(), 0) << restarted.Logs();
  db::DbPosition app, sys, other;
  ASSERT_TRUE(restarted.worker.Exporter().StoredPosition(u"App", app));
  ASSERT_TRUE(restarted.worker.Exporter().StoredPosition(u"Sys", sys));
  EXPECT_FALSE(restarted.worker.Exporter().StoredPosition(u"Security", other));
  EXPECT_EQ(std::pair(app.record, app.time), std::pair(4u, 1000004u));
  EXPECT_EQ(std::pair(sys.record, sys.time), std::pair(11u, 1000011u));
  EXPECT_EQ(restarted.Logs(), "");
}

}  // namespace cvn::db_test
