// The core's lifecycle: start, stop, release, reload and the worker threads,
// with thread bodies that the tests register in place of the subsystems'.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "base/result.h"
#include "base/text.h"
#include "core/crc32.h"
#include "core_test_util.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/pipe.h"

namespace cvn::core_test {
namespace {

using platform::Event;

// A body that runs until its stop event, counting its starts.
CCVNCore::ThreadBody CountingBody(CoreThread which, std::atomic<int>& starts,
                                  uint32_t exit_code = 0) {
  return [which, &starts, exit_code](CCVNCore& core) -> uint32_t {
    ++starts;
    core.ThreadStopEvent(which)->Wait(platform::kInfinite);
    return exit_code;
  };
}

// Waits until counter reaches target (the bodies run on their own threads);
// true when it did.
bool WaitForCount(const std::atomic<int>& counter, int target) {
  for (uint32_t waited = 0; counter < target && waited < kWaitMs; waited += 2) {
    platform::SleepMs(2);
  }
  return counter >= target;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(CoreTest, SecondStartReturnsZeroAndStartsNothingMore) {
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kPrimary, CountingBody(CoreThread::kPrimary, starts, 7));

  ASSERT_EQ(core_->InitCore(), 0u);
  EXPECT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  const uint32_t started_at = core_->start_time;
  EXPECT_NE(started_at, 0u);
  EXPECT_EQ(core_->StartServer(), 0u);
  EXPECT_TRUE(core_->IsRunning());
  EXPECT_TRUE(core_->ThreadExists(CoreThread::kPrimary));

  EXPECT_EQ(core_->StopServer(), CCVNCore::kStopServerResult);
  EXPECT_FALSE(core_->IsRunning());
  EXPECT_TRUE(core_->StoppedSinceInit());
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kPrimary));
  EXPECT_EQ(core_->LastExitCode(CoreThread::kPrimary), 7u);
  EXPECT_EQ(starts, 1);

  EXPECT_EQ(core_->ReleaseCore(), 0u);
  EXPECT_FALSE(core_->StoppedSinceInit());
  EXPECT_FALSE(core_->IsInitialized());
  EXPECT_EQ(core_->ThreadStopEvent(CoreThread::kPrimary), nullptr);

  // A second cycle on the same core keeps the first start time.
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  EXPECT_EQ(core_->start_time, started_at);
  core_->StopServer();
  core_->ReleaseCore();
  EXPECT_EQ(starts, 2);

  const std::string logs = Logs();
  EXPECT_EQ(Count(logs, ",Service,Corvane service started.\r\n"), 2u) << logs;
  EXPECT_EQ(Count(logs, ",Service,Corvane service stopped.\r\n"), 2u) << logs;
}

TEST_F(CoreTest, WithoutSettingsFileRunsOnDefaultsAndLogsToTheLogsFolder) {
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kPrimary, CountingBody(CoreThread::kPrimary, starts));
  core_->SetThreadBody(CoreThread::kSecondary, CountingBody(CoreThread::kSecondary, starts));
  core_->SetThreadBody(CoreThread::kSyslog, CountingBody(CoreThread::kSyslog, starts));
  core_->SetThreadBody(CoreThread::kEmail, CountingBody(CoreThread::kEmail, starts));
  core_->SetThreadBody(CoreThread::kReport, CountingBody(CoreThread::kReport, starts));
  ASSERT_FALSE(platform::FileExists(CCVNCore::GetSettingsFilePath()));

  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);

  // Every channel is off by default: only the two server threads run.
  EXPECT_TRUE(WaitForCount(starts, 2));
  EXPECT_TRUE(core_->ThreadExists(CoreThread::kPrimary));
  EXPECT_TRUE(core_->ThreadExists(CoreThread::kSecondary));
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kSyslog));
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kEmail), -1);
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kSyslog), -1);
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kReport), -1);
  EXPECT_EQ(core_->db_status, -1);
  EXPECT_EQ(core_->Settings().Syslog_Port.value, 514);
  EXPECT_FALSE(TraceLogEnabled);

  const std::u16string sep(1, platform::kPathSeparator);
  const std::u16string product = sep + u"Halvorn" + sep + u"Corvane 3" + sep;
  EXPECT_TRUE(CCVNCore::GetSettingsFilePath().ends_with(product + u"settings.cvncfg"));
  EXPECT_TRUE(CCVNCore::GetLogsFolder().ends_with(product + u"Logs" + sep));
  EXPECT_TRUE(CCVNCore::GetCacheFolder().ends_with(product + u"Cache" + sep));
  EXPECT_EQ(core_->LogWriter().folder, CCVNCore::GetLogsFolder());
  EXPECT_EQ(core_->LogWriter().keep_count, 14u);
  EXPECT_EQ(core_->EventLogsFolder(), CCVNCore::GetEventLogsFolder());
  EXPECT_TRUE(platform::FolderExists(CCVNCore::GetEventLogsFolder()));

  core_->StopServer();
  const std::string logs = Logs();
  // "<10-digit epoch>,N,<date and time>,Service,Corvane service started.\r\n"
  const size_t at = logs.find(",N,");
  ASSERT_EQ(at, 10u) << logs;
  EXPECT_NE(logs.find(",Service,Corvane service started.\r\n"), std::string::npos) << logs;
  EXPECT_EQ(logs.find("Server settings were loaded from file"), std::string::npos);
}

TEST_F(CoreTest, SettingsFileConfiguresLogWriterTraceAndChannels) {
  cvn::testing::TempDir elsewhere;
  CCVNSettings settings;
  settings.General_TraceLog.value = true;
  settings.General_LogFolder.value = elsewhere.u16();
  settings.General_KeepLogs.value = 3;
  settings.Syslog_Forward.value = true;
  settings.Email_Forward.value = true;  // no e-mail thread registered
  WriteSettings(settings);

  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kSyslog, CountingBody(CoreThread::kSyslog, starts));
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);

  EXPECT_TRUE(TraceLogEnabled);
  EXPECT_EQ(core_->LogWriter().keep_count, 3u);
  EXPECT_TRUE(core_->ThreadExists(CoreThread::kSyslog));
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kSyslog), 0);
  // A channel switched on whose thread does not exist is not reported running.
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kEmail), -1);
  core_->StopServer();

  const std::string logs = ReadLogs(elsewhere.u16());
  EXPECT_NE(logs.find(",N,"), std::string::npos);
  EXPECT_NE(logs.find(",Trace,Server settings were loaded from file\r\n"), std::string::npos)
      << logs;
  EXPECT_NE(logs.find(",Service,Corvane service started.\r\n"), std::string::npos);
  EXPECT_EQ(Logs(), "");
}

TEST_F(CoreTest, BrokenSettingsFileLeavesDefaultLogsFolder) {
  const std::u16string path = CCVNCore::GetSettingsFilePath();
  platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
  cvn::testing::WriteFileBytes(std::filesystem::path(path), "<Corvane><General>");

  // The start fails; its lines go to the default Logs folder.
  ASSERT_EQ(core_->InitCore(), 0u);
  EXPECT_EQ(core_->StartServer(), MakeResult(2, CCVNCore::kErrorBadConfiguration));
  EXPECT_EQ(core_->LogWriter().folder, CCVNCore::GetLogsFolder());
  EXPECT_NE(Logs().find("settings.cvncfg was rejected: "), std::string::npos);
}

TEST_F(CoreTest, ReportPeriodFromIsWrittenAsZeroAtStartAndReload) {
  SetStateValue(CCVNCore::kLastReportValue, 1111);
  SetStateValue(CCVNCore::kReportPeriodFromValue, 2222);

  ASSERT_EQ(core_->InitCore(), 0u);
  EXPECT_EQ(core_->last_report, 1111u);
  EXPECT_EQ(core_->report_period_from, 2222u);

  ASSERT_EQ(core_->StartServer(), 0u);
  EXPECT_EQ(GetStateValue(CCVNCore::kReportPeriodFromValue), 0u);
  EXPECT_EQ(core_->report_period_from, 0u);
  EXPECT_EQ(GetStateValue(CCVNCore::kLastReportValue), 1111u);

  SetStateValue(CCVNCore::kReportPeriodFromValue, 3333);
  EXPECT_EQ(core_->OnNotify(3), 0);
  EXPECT_EQ(GetStateValue(CCVNCore::kReportPeriodFromValue), 0u);
  core_->StopServer();
}

TEST_F(CoreTest, ScheduledReportsKeepTheirPeriod) {
  CCVNSettings settings;
  settings.Report_GeneratePeriodically.value = true;
  WriteSettings(settings);
  SetStateValue(CCVNCore::kReportPeriodFromValue, 2222);
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kReport, CountingBody(CoreThread::kReport, starts));

  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kReport), 0);
  EXPECT_TRUE(WaitForCount(starts, 1));
  EXPECT_EQ(GetStateValue(CCVNCore::kReportPeriodFromValue), 2222u);
  EXPECT_EQ(core_->report_period_from, 2222u);
  core_->StopServer();
}

TEST_F(CoreTest, StopBeforeStartIsHarmless) {
  EXPECT_EQ(core_->StopServer(), CCVNCore::kStopServerResult);
  EXPECT_FALSE(core_->IsRunning());
  EXPECT_FALSE(core_->StoppedSinceInit());
  EXPECT_EQ(core_->ReleaseCore(), 0u);
  EXPECT_NE(Logs().find(",N,"), std::string::npos);
  EXPECT_NE(Logs().find(",Service,Corvane service stopped.\r\n"), std::string::npos);

  // Initialised but not started.
  ASSERT_EQ(core_->InitCore(), 0u);
  EXPECT_EQ(core_->StopServer(), CCVNCore::kStopServerResult);
  EXPECT_FALSE(core_->StoppedSinceInit());

  // And the core still starts afterwards.
  EXPECT_EQ(core_->StartServer(), 0u);
  EXPECT_TRUE(core_->IsRunning());
  core_->StopServer();
}

TEST_F(CoreTest, StartBeforeInitFailsAndIsLogged) {
  const uint32_t result = core_->StartServer();
  EXPECT_EQ(ResultStep(result), 2u);
  EXPECT_FALSE(core_->IsRunning());
  EXPECT_NE(Logs().find(",A,"), std::string::npos);
  EXPECT_NE(Logs().find(",Service,Failed to start server: step=2, error=21\r\n"), std::string::npos)
      << Logs();
}

TEST_F(CoreTest, FailedActivationStopsWhatStarted) {
  // Another server holds the core's pipe name.
  platform::ServerPipe squatter;
  ASSERT_EQ(squatter.Create(server_pipe_), 0u);
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kPrimary, CountingBody(CoreThread::kPrimary, starts));

  ASSERT_EQ(core_->InitCore(), 0u);
  const uint32_t result = core_->StartServer();
  ASSERT_NE(result, 0u);
  EXPECT_EQ(result >> 16, 2u);
  EXPECT_FALSE(core_->IsRunning());
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kPrimary));
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(core_->start_time, 0u);

  const std::string logs = Logs();
  const size_t failed = logs.find(",A,");
  ASSERT_NE(failed, std::string::npos) << logs;
  const std::string prefix = ",Service,Failed to start server: step=2, error=";
  const size_t at = logs.find(prefix);
  ASSERT_NE(at, std::string::npos) << logs;
  const int32_t logged = std::stoi(logs.substr(at + prefix.size()));
  // The channel's failure: step 4 of its activation, with the pipe's error.
  EXPECT_EQ(static_cast<uint32_t>(logged) >> 16, 0x3104u);
  EXPECT_EQ(result & 0xFFFFu, static_cast<uint32_t>(logged) & 0xFFFFu);
  EXPECT_EQ(logs.find("Corvane service started."), std::string::npos);
  EXPECT_NE(logs.find(",Service,Corvane service stopped.\r\n", at), std::string::npos);
}

TEST_F(CoreTest, ReloadRestartsThreadsWithTheNewSettings) {
  std::atomic<int> primary{0}, syslog{0};
  core_->SetThreadBody(CoreThread::kPrimary, CountingBody(CoreThread::kPrimary, primary));
  core_->SetThreadBody(CoreThread::kSyslog, CountingBody(CoreThread::kSyslog, syslog));
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  const uint32_t started_at = core_->start_time;
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kSyslog), -1);

  CCVNSettings settings;
  settings.Syslog_Forward.value = true;
  settings.Syslog_Port.value = 1514;
  WriteSettings(settings);
  EXPECT_EQ(core_->OnNotify(3), 0);

  EXPECT_TRUE(WaitForCount(primary, 2));
  EXPECT_TRUE(WaitForCount(syslog, 1));
  EXPECT_EQ(core_->ThreadStatus(CoreThread::kSyslog), 0);
  EXPECT_EQ(core_->Settings().Syslog_Port.value, 1514);
  EXPECT_TRUE(core_->IsRunning());
  EXPECT_EQ(core_->start_time, started_at);
  core_->StopServer();

  // A change notified while the server is stopped reloads nothing.
  EXPECT_EQ(core_->OnNotify(3), 0);
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kPrimary));
  EXPECT_EQ(primary, 2);
}

TEST_F(CoreTest, ThreadThatEndedOnItsOwnDoesNotStopItsSuccessor) {
  // The first report thread gives up at once (as with an invalid schedule);
  // the one started by the reload must still run until it is told to stop.
  std::atomic<int> starts{0};
  std::atomic<int> checked{0};
  std::atomic<bool> successor_saw_stop{true};
  core_->SetThreadBody(CoreThread::kReport, [&](CCVNCore& core) -> uint32_t {
    if (++starts == 1) return 11;
    successor_saw_stop = core.ThreadStopEvent(CoreThread::kReport)->Wait(0);
    ++checked;
    core.ThreadStopEvent(CoreThread::kReport)->Wait(platform::kInfinite);
    return 0;
  });
  CCVNSettings settings;
  settings.Report_GeneratePeriodically.value = true;
  WriteSettings(settings);
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  ASSERT_TRUE(WaitForCount(starts, 1));

  EXPECT_EQ(core_->OnNotify(3), 0);
  ASSERT_TRUE(WaitForCount(checked, 1));
  core_->StopServer();
  EXPECT_FALSE(successor_saw_stop);
  EXPECT_EQ(core_->LastExitCode(CoreThread::kReport), 0u);
}

TEST_F(CoreTest, ReloadIsRefusedWhileAStopIsInProgress) {
  Event stopping(Event::Mode::kManualReset);
  Event gate(Event::Mode::kManualReset);
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kPrimary, [&](CCVNCore& core) -> uint32_t {
    ++starts;
    core.ThreadStopEvent(CoreThread::kPrimary)->Wait(platform::kInfinite);
    stopping.Set();
    gate.Wait(kWaitMs);
    return 0;
  });
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);

  std::thread stopper([&] { core_->StopServer(); });
  ASSERT_TRUE(stopping.Wait(kWaitMs));
  EXPECT_EQ(core_->OnNotify(3), CCVNCore::kNotifyRefused);
  gate.Set();
  stopper.join();

  EXPECT_EQ(starts, 1);
  EXPECT_FALSE(core_->IsRunning());
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kPrimary));
}

TEST_F(CoreTest, ThreadThatMissesItsDeadlineIsGivenUpAndLogged) {
  core_->SetThreadStopTimeoutsForTesting(50, 10);
  // The stuck body owns what it waits on: once given up it may outlive the test.
  auto gate = std::make_shared<Event>(Event::Mode::kManualReset);
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kSyslog, CountingBody(CoreThread::kSyslog, starts, 3));
  core_->SetThreadBody(CoreThread::kPrimary, [gate](CCVNCore&) -> uint32_t {
    gate->Wait(kWaitMs);  // ignores its stop event
    return 0;
  });
  CCVNSettings settings;
  settings.Syslog_Forward.value = true;
  WriteSettings(settings);
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);

  core_->StopServer();
  gate->Set();
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kPrimary));
  EXPECT_EQ(core_->LastExitCode(CoreThread::kPrimary), CCVNCore::kThreadGivenUpExitCode);
  EXPECT_EQ(core_->LastExitCode(CoreThread::kSyslog), 3u);
  const std::string logs = Logs();
  EXPECT_NE(logs.find(",A,"), std::string::npos);
  EXPECT_NE(logs.find(",Service,The primary server thread did not stop in time and was given up "
                      "(exit code 0xFFFFFFFE).\r\n"),
            std::string::npos)
      << logs;
  EXPECT_EQ(logs.find("The syslog thread"), std::string::npos);
}

// A forwarder that ignores its stop for a while, then two reloads: the first
// gives it up and starts no second forwarder beside it, the second (after it
// ended) starts the channel again.
TEST_F(CoreTest, AGivenUpThreadEndsBeforeItsSlotStartsAgain) {
  core_->SetThreadStopTimeoutsForTesting(50, 10);
  auto gate = std::make_shared<Event>(Event::Mode::kManualReset);
  auto running = std::make_shared<std::atomic<int>>(0);
  auto most = std::make_shared<std::atomic<int>>(0);
  auto starts = std::make_shared<std::atomic<int>>(0);
  core_->SetThreadBody(CoreThread::kSyslog, [=](CCVNCore& core) -> uint32_t {
    const int now = ++*running;
    if (now > *most) *most = now;
    if (++*starts == 1) {
      gate->Wait(kWaitMs);  // ignores its stop event
    } else {
      core.ThreadStopEvent(CoreThread::kSyslog)->Wait(platform::kInfinite);
    }
    --*running;
    return 0;
  });
  CCVNSettings settings;
  settings.Syslog_Forward.value = true;
  WriteSettings(settings);
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  ASSERT_TRUE(WaitForCount(*starts, 1));

  EXPECT_EQ(core_->OnNotify(3), 0);
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kSyslog));
  EXPECT_EQ(core_->ShownThreadStatus(CoreThread::kSyslog), CCVNCore::kErrorThreadHeldBack);
  EXPECT_EQ(*starts, 1);
  EXPECT_NE(Logs().find("The syslog thread was not started: the one given up at the last stop "
                        "is still running."),
            std::string::npos);

  gate->Set();
  // The next reload that finds the old thread ended starts the channel again.
  for (uint32_t waited = 0; !core_->ThreadExists(CoreThread::kSyslog) && waited < kWaitMs;
       waited += 2) {
    platform::SleepMs(2);
    core_->OnNotify(3);
  }
  EXPECT_TRUE(core_->ThreadExists(CoreThread::kSyslog));
  EXPECT_EQ(core_->ShownThreadStatus(CoreThread::kSyslog), 0);
  core_->StopServer();
  EXPECT_EQ(*most, 1);
  EXPECT_EQ(core_->LastExitCode(CoreThread::kSyslog), 0u);
}

// A settings file that is there but does not parse: the start fails with the
// reason and its line in the log; at a reload the configuration in force
// stays and the threads run on.
TEST_F(CoreTest, ARejectedSettingsFileFailsTheStartAndIsIgnoredAtAReload) {
  std::string broken = "\xFF\xFE";
  for (char16_t c : std::u16string(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Corvane>\r\n"
                                   u"<Syslog>\r\n<Port>700</Port>\r\n</Corvane>\r\n")) {
    broken += static_cast<char>(c & 0xFF);
    broken += static_cast<char>(c >> 8);
  }
  const std::filesystem::path path(Utf16ToUtf8(CCVNCore::GetSettingsFilePath()));
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kPrimary, CountingBody(CoreThread::kPrimary, starts));
  ASSERT_EQ(core_->InitCore(), 0u);
  CCVNSettings settings;
  WriteSettings(settings);
  cvn::testing::WriteFileBytes(path, broken);
  EXPECT_EQ(core_->StartServer(), MakeResult(2, CCVNCore::kErrorBadConfiguration));
  EXPECT_FALSE(core_->IsRunning());
  EXPECT_EQ(starts, 0);
  const std::string reason =
      " was rejected: line 3: an element that is not closed, an end tag without its start, an "
      "attribute not written as name=\"value\" or stray text; ";
  const std::string dump = ". \"cvncfg dump\" with the file's path tells what is wrong with it.";
  EXPECT_NE(Logs().find(",Service,The settings file "), std::string::npos) << Logs();
  EXPECT_NE(Logs().find(reason + "the service does not start" + dump), std::string::npos) << Logs();

  settings.Syslog_Port.value = 600;
  WriteSettings(settings);
  ASSERT_EQ(core_->StartServer(), 0u);
  cvn::testing::WriteFileBytes(path, broken);
  EXPECT_EQ(core_->OnNotify(3), 0);
  EXPECT_EQ(core_->Settings().Syslog_Port.value, 600);
  // The thread of the start may only now run its first line; none more comes.
  EXPECT_TRUE(WaitForCount(starts, 1));
  EXPECT_EQ(starts, 1);
  EXPECT_NE(Logs().find(reason + "the configuration in force is kept" + dump), std::string::npos)
      << Logs();
}

TEST_F(CoreTest, ReleaseStopsAServerThatIsStillRunning) {
  std::atomic<int> starts{0};
  core_->SetThreadBody(CoreThread::kPrimary, CountingBody(CoreThread::kPrimary, starts));
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);

  EXPECT_EQ(core_->ReleaseCore(), 0u);
  EXPECT_FALSE(core_->IsRunning());
  EXPECT_FALSE(core_->ThreadExists(CoreThread::kPrimary));
  EXPECT_EQ(core_->LastExitCode(CoreThread::kPrimary), 0u);
  EXPECT_NE(Logs().find("Corvane service stopped."), std::string::npos);
}

TEST_F(CoreTest, SharedConfigurationIsMergedAndSavedAtStart) {
  cvn::testing::TempDir dir;
  const std::u16string shared_path = dir.u16() + platform::kPathSeparator + u"shared.cvncfg";
  CCVNSettings shared;
  shared.Settings_UseSharedFile.value = true;
  shared.Settings_SharedFilePath.value = shared_path;
  shared.Syslog_Port.value = 1514;
  ASSERT_EQ(shared.SaveFile(shared_path), 0);
  CCVNSettings local;
  local.Settings_UseSharedFile.value = true;
  local.Settings_SharedFilePath.value = shared_path;
  WriteSettings(local);

  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  EXPECT_EQ(core_->Settings().Syslog_Port.value, 1514);
  const std::string bytes = cvn::testing::ReadFileBytes(std::filesystem::path(shared_path));
  EXPECT_EQ(core_->shared_file_size, bytes.size());
  EXPECT_EQ(core_->shared_file_crc, Crc32(bytes.data(), bytes.size()));
  core_->StopServer();

  CCVNSettings saved;
  ASSERT_EQ(saved.LoadFile(CCVNCore::GetSettingsFilePath(), true), 0);
  EXPECT_EQ(saved.Syslog_Port.value, 1514);
  EXPECT_NE(Logs().find(",N,"), std::string::npos);
  EXPECT_NE(Logs().find(",Service,Shared configuration file was loaded\r\n"), std::string::npos);
}

TEST_F(CoreTest, UnreadableSharedConfigurationIsIgnored) {
  cvn::testing::TempDir dir;
  const std::u16string shared_path = dir.u16() + platform::kPathSeparator + u"shared.cvncfg";
  cvn::testing::WriteFileBytes(std::filesystem::path(shared_path), "not xml at all");
  CCVNSettings local;
  local.Settings_UseSharedFile.value = true;
  local.Settings_SharedFilePath.value = shared_path;
  local.Syslog_Port.value = 600;
  WriteSettings(local);

  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  EXPECT_EQ(core_->Settings().Syslog_Port.value, 600);
  core_->StopServer();
  EXPECT_EQ(Logs().find("Shared configuration file was loaded"), std::string::npos);
}

TEST(Crc32Test, MatchesTheStandardCheckValueAlsoInPieces) {
  const std::string text = "123456789";
  EXPECT_EQ(Crc32(text.data(), text.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(text.data() + 4, 5, Crc32(text.data(), 4)), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

}  // namespace
}  // namespace cvn::core_test
