// The command line of CVNService against a real service manager: the posix
// emulation in a fresh machine root natively, the Service Control Manager
// under Wine. Services that must start are played by the test helper
// service registered under the name CVNService.
#include <gtest/gtest.h>

#include <cstdio>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "service/command_line.h"
#include "service/service_control.h"
#include "service_test_support.h"
#include "support/temp_dir.h"

namespace cvn::service {
namespace {

namespace pf = cvn::platform;
using cvn::testing::CreateFakeService;
using cvn::testing::RemoveServiceIfPresent;
using cvn::testing::WaitForState;

class BufferConsole : public Console {
 public:
  void Write(std::u16string_view text) override { text_ += text; }
  std::string Text() const { return Utf16ToUtf8(text_); }
  void Clear() { text_.clear(); }

 private:
  std::u16string text_;
};

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override { RemoveServiceIfPresent(kServiceName); }
  void TearDown() override {
    Release();
    RemoveServiceIfPresent(kServiceName);
  }

  uint32_t Run(std::vector<std::u16string> args) {
    console_.Clear();
    return RunCommandLine(args, console_);
  }
  std::string Out() const { return console_.Text(); }

  std::u16string ReleaseFile() const { return dir_.u16() + pf::kPathSeparator + u"release"; }
  void Release() const {
    pf::File f;
    f.Open(ReleaseFile(), pf::FileAccess::kWrite, pf::FileShare::kAll,
           pf::FileCreate::kCreateAlways);
  }

  void OpenService(pf::ServiceManager& manager, pf::Service& service) {
    ASSERT_EQ(manager.Open(pf::kManagerConnect), 0u);
    ASSERT_EQ(service.Open(manager, kServiceName, pf::kServiceQueryStatus | pf::kServiceStart), 0u);
  }

  // The system's text for code, as the command prints it after the FAILED line.
  static std::string ErrorTextLine(uint32_t code) {
    const std::u16string text = SystemErrorText(code);
    EXPECT_FALSE(text.empty()) << code;
    return Utf16ToUtf8(text) + "\n";
  }

  cvn::testing::ScopedMachineRoot root_;
  cvn::testing::TempDir dir_;
  BufferConsole console_;
};

TEST_F(CommandLineTest, UsageWithoutCommandOrForUnknownWords) {
  EXPECT_EQ(Run({}), 0u);
  const std::string usage = Out();
  EXPECT_EQ(usage.rfind("Corvane Service ", 0), 0u) << usage;
  EXPECT_NE(usage.find("\nUsage: "), std::string::npos);
  EXPECT_NE(usage.find(" [-s] <command>\n\nOptions:\n     -s          Silent mode.\n"),
            std::string::npos);
  EXPECT_NE(usage.find("     status        Gets service state.\n\n"
                       "     start_manual  Sets startup type to Manual state.\n"
                       "     start_auto    Sets startup type to Automatic state.\n"),
            std::string::npos);
  EXPECT_EQ(usage.find("service   "), std::string::npos);  // "service" is not listed

  EXPECT_EQ(Run({u"frobnicate"}), 0u);
  EXPECT_EQ(Out(), usage);
  // Whole words only: a command with extra letters is unknown.
  EXPECT_EQ(Run({u"statusx"}), 0u);
  EXPECT_EQ(Out(), usage);

  EXPECT_EQ(Run({u"-s"}), 0u);
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(Run({u"/S", u"frobnicate"}), 0u);
  EXPECT_EQ(Out(), "");
}

TEST_F(CommandLineTest, QuietOptionOnlyAsFirstArgument) {
  // Quiet, in capitals: nothing printed and 0 although there is no service.
  EXPECT_EQ(Run({u"/S", u"STOP"}), 0u);
  EXPECT_EQ(Out(), "");
  EXPECT_TRUE(QuietMode());

  // After the command the option is ignored: not quiet.
  const uint32_t expected = MakeControlResult(kOpQueryState, 4, err::kServiceDoesNotExist);
  EXPECT_EQ(Run({u"status", u"-s"}), expected);
  EXPECT_FALSE(QuietMode());
  EXPECT_EQ(Out(), "Getting service status... FAILED err_code=0x09040424\n" +
                       ErrorTextLine(err::kServiceDoesNotExist));
}

TEST_F(CommandLineTest, InstallStatusStartTypeAndUninstall) {
  EXPECT_EQ(Run({u"install"}), 0u);
  EXPECT_EQ(Out(), "Installing service... OK\n");

  // Installing again fails at creation with 1073.
  EXPECT_EQ(Run({u"Install"}), 0x03080431u);
  EXPECT_EQ(Out(), "Installing service... FAILED err_code=0x03080431\n" +
                       ErrorTextLine(err::kServiceExists));

  EXPECT_EQ(Run({u"status"}), 0u);
  EXPECT_EQ(Out(),
            "Getting service status... OK\nService status = SERVICE_STOPPED\n"
            "Win32 Error Code = 0x00000435\nSpecific Error Code  = 0x00000000\n"
            "Service autostart: Disabled\n");

  EXPECT_EQ(Run({u"start_auto"}), 0u);
  EXPECT_EQ(Out(), "Changing startup type... OK\n");
  EXPECT_EQ(Run({u"status"}), 0u);
  EXPECT_NE(Out().find("Service autostart: Enabled\n"), std::string::npos);
  EXPECT_EQ(Run({u"START_MANUAL"}), 0u);
  bool automatic = true;
  EXPECT_EQ(QueryAutoStart(automatic), 0u);
  EXPECT_FALSE(automatic);

  // The registration: command line, description, recovery actions.
  pf::ServiceManager manager;
  pf::Service service;
  ASSERT_EQ(manager.Open(pf::kManagerConnect), 0u);
  ASSERT_EQ(service.Open(manager, kServiceName, pf::kServiceQueryConfig), 0u);
  pf::ServiceConfig config;
  ASSERT_EQ(service.QueryConfig(config), 0u);
  std::u16string exe;
  ASSERT_EQ(pf::ExecutablePath(exe), 0u);
  EXPECT_EQ(config.command_line, exe + u" service");
  EXPECT_EQ(config.display_name, u"Corvane Service");
  EXPECT_EQ(config.start_type, pf::ServiceStartType::kDemand);
  std::u16string description;
  ASSERT_EQ(service.QueryDescription(description), 0u);
  EXPECT_EQ(description, kServiceDescription);
  pf::ServiceFailureActions actions;
  const uint32_t query_actions = service.QueryFailureActions(actions);
  if (query_actions == 124u) {
    // Wine 8 stores failure actions but cannot read them back (invalid level).
    std::printf("note: this service manager cannot read failure actions back; not checked\n");
  } else {
    ASSERT_EQ(query_actions, 0u);
    EXPECT_EQ(actions.reset_period_s, 86400u);
    ASSERT_EQ(actions.actions.size(), 3u);
    EXPECT_EQ(actions.actions[0].type, pf::ServiceFailureAction::Type::kRestart);
    EXPECT_EQ(actions.actions[1].type, pf::ServiceFailureAction::Type::kRestart);
    EXPECT_EQ(actions.actions[2].type, pf::ServiceFailureAction::Type::kNone);
    EXPECT_EQ(actions.actions[0].delay_ms, 0u);
  }
  service.Close();

  // The event source registration points at the executable.
  pf::RegistryKey key;
  ASSERT_EQ(key.Open(pf::RegistryRoot::kLocalMachine,
                     u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CVNService"),
            0u);
  pf::RegistryValue value;
  ASSERT_EQ(key.QueryValue(u"EventMessageFile", value), 0u);
  EXPECT_EQ(value.type, pf::RegistryType::kExpandString);
  EXPECT_EQ(value.text, exe);
  uint32_t types = 0;
  ASSERT_EQ(key.QueryDword(u"TypesSupported", types), 0u);
  EXPECT_EQ(types, 7u);

  EXPECT_EQ(Run({u"uninstall"}), 0u);
  EXPECT_EQ(Out(), "Uninstalling service... OK\n");
  RemoveServiceIfPresent(kServiceName);  // waits until it is gone
  EXPECT_EQ(Run({u"uninstall"}), 0x04040424u);
}

TEST_F(CommandLineTest, StartAndStopAreIdempotent) {
  ASSERT_EQ(CreateFakeService(kServiceName, u"normal"), 0u);
  EXPECT_EQ(Run({u"stop"}), 0u);
  EXPECT_EQ(Out(), "Stopping service... OK\n");

  EXPECT_EQ(Run({u"start"}), 0u);
  EXPECT_EQ(Out(), "Starting service... OK\n");
  EXPECT_EQ(Run({u"start"}), 0u);
  EXPECT_EQ(Out(), "Starting service... OK\n");

  EXPECT_EQ(Run({u"status"}), 0u);
  EXPECT_EQ(Out(),
            "Getting service status... OK\nService status = SERVICE_RUNNING\n"
            "Service autostart: Disabled\n");

  EXPECT_EQ(Run({u"stop"}), 0u);
  EXPECT_EQ(Out(), "Stopping service... OK\n");
  EXPECT_EQ(Run({u"stop"}), 0u);
  EXPECT_EQ(Out(), "Stopping service... OK\n");
}

TEST_F(CommandLineTest, StopWhileStartPendingFailsAtOnce) {
  ASSERT_EQ(CreateFakeService(kServiceName, u"slow_start", ReleaseFile()), 0u);
  pf::ServiceManager manager;
  pf::Service service;
  OpenService(manager, service);
  ASSERT_EQ(service.Start(), 0u);

  // The state is named by its system error, and its text follows.
  EXPECT_EQ(Run({u"stop"}), 0x02080425u);
  EXPECT_EQ(Out(), "Stopping service... FAILED err_code=0x02080425\n" +
                       ErrorTextLine(err::kServiceCannotAcceptCtrl));

  Release();
  ASSERT_TRUE(WaitForState(service, pf::kServiceRunning));
  EXPECT_EQ(Run({u"stop"}), 0u);
}

TEST_F(CommandLineTest, StartThatEndsStoppedCarriesTheServiceExitCode) {
  ASSERT_EQ(CreateFakeService(kServiceName, u"fail_start"), 0u);
  const uint32_t result = Run({u"start"});
  // Either the wait saw the stopped state (step 16 with the service's exit
  // code 1064) or the start call already did (step 10).
  EXPECT_TRUE(result == 0x01100428u || result == 0x010A0428u) << std::hex << result;
  EXPECT_EQ(Out().rfind("Starting service... FAILED err_code=0x01", 0), 0u) << Out();

  EXPECT_EQ(Run({u"status"}), 0u);
  EXPECT_NE(Out().find("Service status = SERVICE_STOPPED\nWin32 Error Code = 0x00000428\n"),
            std::string::npos);
}

TEST(CommandLineNames, ProgramNameAndStateNames) {
  const std::u16string folder =
      std::u16string(u"x") + pf::kPathSeparator + u"y" + pf::kPathSeparator;
  EXPECT_EQ(ProgramName(folder + u"CVNService"), u"CVNService");
  EXPECT_EQ(ProgramName(folder + u"abcde"), u"abcde");
  EXPECT_EQ(ProgramName(folder + u"abcd"), u"CVNService.exe");
  EXPECT_EQ(ProgramName(folder + u"abcdefghijkl"), u"abcdefghijkl");
  EXPECT_EQ(ProgramName(folder + u"abcdefghijklm"), u"CVNService.exe");
  EXPECT_EQ(ProgramName(u"NoFolder.exe"), u"NoFolder.exe");

  EXPECT_EQ(StateName(0), u"UNDEFINED");
  EXPECT_EQ(StateName(1), u"SERVICE_STOPPED");
  EXPECT_EQ(StateName(7), u"SERVICE_PAUSED");
  EXPECT_EQ(StateName(8), u"UNDEFINED");
}

}  // namespace
}  // namespace cvn::service
