// The service log tells how a run began and why the threads restarted: a
// start after a run that ended without a stop names the newest crash file,
// and a reload names who asked for it.
#include <gtest/gtest.h>

#include <string>

#include "core/core_test_util.h"
#include "diag/crash_handler.h"
#include "platform/file.h"

namespace cvn::core_test {
namespace {

class LifecycleLogTest : public CoreTest {
 protected:
  void StartCore() {
    core_->SetThreadBody(CoreThread::kPrimary, nullptr);
    core_->SetThreadBody(CoreThread::kSecondary, nullptr);
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
  }
  static void WriteCrashFile(const std::u16string& name) {
    const std::u16string folder = CrashDumpsFolder();
    const uint32_t made = platform::CreateFolderTree(folder);
    ASSERT_TRUE(made == 0 || made == 183) << made;  // 183: it is there
    platform::File file;
    ASSERT_EQ(file.Open(folder + name, platform::FileAccess::kWrite, platform::FileShare::kNone,
                        platform::FileCreate::kCreateAlways),
              0u);
  }
};

TEST_F(LifecycleLogTest, AStartAfterAnUncleanEndNamesTheNewestCrashFile) {
  struct Case {
    bool previous_run_stopped;
    bool crash_file;
    const char* expected;  // nullptr: no line about the previous run
  };
  const Case cases[] = {
      {true, true, nullptr},
      {false, false, "ended without a stop (killed, or the machine went down)"},
      {false, true, "the newest crash file is "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected ? c.expected : "clean");
    TearDown();
    SetUp();
    if (c.crash_file) WriteCrashFile(u"CVNSvc-4711");
    SetStateValue(CCVNCore::kRunningValue, c.previous_run_stopped ? 0 : 1);
    StartCore();
    const std::string logs = Logs();
    if (c.expected == nullptr) {
      EXPECT_EQ(logs.find("previous run"), std::string::npos) << logs;
    } else {
      EXPECT_NE(logs.find(c.expected), std::string::npos) << logs;
    }
    if (c.crash_file && c.expected != nullptr) {
      EXPECT_NE(logs.find("CVNSvc-4711."), std::string::npos) << logs;
    }
    EXPECT_EQ(GetStateValue(CCVNCore::kRunningValue), 1u);
    core_->StopServer();
    EXPECT_EQ(GetStateValue(CCVNCore::kRunningValue), 0u);
    platform::RemoveFile(CrashDumpsFolder() + u"CVNSvc-4711");
  }
}

TEST_F(LifecycleLogTest, AReloadByTheConsoleIsLogged) {
  StartCore();
  ASSERT_EQ(core_->OnNotify(3), 0);
  EXPECT_NE(Logs().find("The configuration is reloaded at the request of a console"),
            std::string::npos)
      << Logs();
}

}  // namespace
}  // namespace cvn::core_test
