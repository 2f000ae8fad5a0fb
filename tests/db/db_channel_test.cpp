// The database channel through the core: a record written to a watched log
// becomes a row, with a description that looks like SQL stored as text; the
// console's purge and the channel's status while the database is away.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/cvn_core.h"
#include "core/event_log_monitor.h"
#include "db/db_channel.h"
#include "db/db_peers.h"
#include "db/db_schema.h"
#include "db/export_rig.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "support/temp_dir.h"

namespace cvn::db_test {
namespace {

namespace fs = std::filesystem;

constexpr std::u16string_view kLog = u"CvnDbLog";
constexpr std::u16string_view kSource = u"CvnDbSource";

class DbChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSqliteDriver()) {
      GTEST_SKIP() << "the SQLite3 ODBC driver or the sqlite3 shell is not installed (Debian "
                      "packages libsqliteodbc, sqlite3); skipping";
    }
    ASSERT_EQ(platform::CreateEventLog(kLog), 0u);
    ASSERT_EQ(platform::AddEventSource(kLog, kSource, {}), 0u);
    ASSERT_EQ(source_.Register(kSource), 0u);
  }
  void TearDown() override {
    if (core_) {
      core_->StopServer();
      core_->ReleaseCore();
    }
  }

  void StartCore(const fs::path& database) {
    CCVNSettings settings;
    settings.DB_Forward.value = true;
    settings.DB_ConnString.value = Utf8ToUtf16("ODBC;" + SqliteConnection(database));
    const std::u16string path = CCVNCore::GetSettingsFilePath();
    platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
    ASSERT_EQ(settings.SaveFile(path), 0);
    core_ = std::make_unique<CCVNCore>();
    static int n = 0;
    const std::string id = std::to_string(getpid()) + "-" + std::to_string(++n);
    core_->SetPipeNames(Utf8ToUtf16("\\\\.\\pipe\\cvn-db-s-" + id),
                        Utf8ToUtf16("\\\\.\\pipe\\cvn-db-c-" + id));
    core_->SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
    db::InstallDbChannel(*core_);
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
    ASSERT_TRUE(core_->TableReadyEvent()->Wait(10000));
  }
  void Write(const std::u16string& text) {
    const std::vector<std::u16string> strings = {text};
    ASSERT_EQ(source_.Report(platform::kEventTypeWarning, 0, 4242, {}, strings, {}), 0u);
  }

  cvn::testing::ScopedMachineRoot root_;
  platform::EventSource source_;
  std::unique_ptr<CCVNCore> core_;
};

TEST_F(DbChannelTest, ARecordBecomesARowAndItsValuesNeverChangeTheStatement) {
  const fs::path database = root_.dir().path() / "events.db";
  // The table cvndb creates, written by the default statement template.
  ASSERT_EQ(SqliteQuery(database, Utf16ToUtf8(*db::CreateEventLogTable(u"SQLite"))), "");
  StartCore(database);
  EXPECT_EQ(core_->db_status, 0);
  const std::u16string tricky = u"it's; DELETE FROM EventLog; -- {fn UCASE('x')} ? é";
  Write(tricky);
  ASSERT_TRUE(Eventually([&] { return core_->db_exported == 1; }));
  // No message file: the description is a notice followed by the string.
  const std::string row =
      SqliteQuery(database, "SELECT Type, EventId, Log, Source, Description FROM EventLog");
  EXPECT_EQ(row.rfind("2|4242|CvnDbLog|CvnDbSource|", 0), 0u) << row;
  EXPECT_TRUE(row.ends_with(": " + Utf16ToUtf8(tricky) + "\n")) << row;
  EXPECT_EQ(core_->db_progress.Acknowledged(), core_->db_progress.Issued());
}

TEST_F(DbChannelTest, WhileTheDatabaseIsAwayRecordsWaitAndThePurgeDropsThem) {
  StartCore(root_.dir().path() / "missing" / "events.db");
  EXPECT_NE(core_->db_status, 0);
  ASSERT_NE(core_->DbChannel(), nullptr);
  EXPECT_TRUE(core_->DbChannel()->WorkerRunning());
  Write(u"one");
  Write(u"two");
  ASSERT_TRUE(Eventually([&] { return core_->DbChannel()->QueueLength() == 2; }));
  EXPECT_LT(core_->db_progress.Acknowledged(), core_->db_progress.Issued());
  {
    platform::LockGuard guard(core_->status_lock);
    EXPECT_FALSE(core_->db_last_error.empty());
  }
  EXPECT_EQ(core_->OnNotify(5), 0);
  EXPECT_EQ(core_->DbChannel()->QueueLength(), 0u);
  EXPECT_EQ(core_->db_progress.Acknowledged(), core_->db_progress.Issued());
}

}  // namespace
}  // namespace cvn::db_test
