// The posix store of the emulated machine: imported event log files, and
// what other local users can do with the files below the machine root.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "platform/posix/event_log_scan.h"
#include "platform/posix/machine_root.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

class EventLogPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateEventLog(kLog, 0), 0u);
    EventSourceRegistration registration;
    registration.event_message_file = u"%SystemRoot%\\msg.dll";
    ASSERT_EQ(AddEventSource(kLog, kSource, registration), 0u);
  }

  void Report(uint32_t count) {
    EventSource source;
    ASSERT_EQ(source.Register(kSource), 0u);
    for (uint32_t id = 1; id <= count; ++id) {
      ASSERT_EQ(source.Report(kEventTypeInformation, 0, id, {}, {{u"text"}}, {}), 0u);
    }
  }

  std::filesystem::path Root() const { return root_.dir().path(); }
  std::filesystem::path LogFile() const {
    return Root() / "Windows" / "System32" / "config" / (Utf16ToUtf8(kLog) + ".evt");
  }

  // The log's file as saved while it was being written: flagged dirty, with
  // a header that still describes an empty log.
  std::string DirtyCopy() const {
    std::string bytes = testing::ReadFileBytes(LogFile());
    uint32_t header[12];
    std::memcpy(header, bytes.data(), sizeof header);
    header[5] = header[4];  // EndOffset = StartOffset
    header[6] = 1;          // CurrentRecordNumber
    header[9] |= 1;         // dirty
    std::memcpy(bytes.data(), header, sizeof header);
    return bytes;
  }

  static constexpr const char16_t* kLog = u"CvnPosixLog";
  static constexpr const char16_t* kSource = u"CvnPosixSource";
  testing::ScopedMachineRoot root_;
};

// Counting and reading a large dirty file must not read all of it every time:
// it is read once, and once more after it changed.
TEST_F(EventLogPosixTest, DirtyFileIsScannedOncePerChange) {
  Report(20);
  testing::TempDir dir;
  const auto copy = dir.path() / "exported.evt";
  testing::WriteFileBytes(copy, DirtyCopy());

  EventLog saved;
  ASSERT_EQ(saved.OpenFile(copy.u16string()), 0u);
  const uint64_t before = posix::DirtyFileScans();
  uint32_t count = 0;
  std::vector<uint8_t> buffer(0x10000);
  uint32_t read = 0, needed = 0;
  for (int pass = 0; pass < 5; ++pass) {
    ASSERT_EQ(saved.GetCount(count), 0u);
    ASSERT_EQ(saved.Read(kEventLogSequentialRead | kEventLogForwardsRead, 0, buffer.data(), 200,
                         read, needed),
              0u);
  }
  EXPECT_EQ(count, 20u);
  EXPECT_EQ(posix::DirtyFileScans(), before + 1);

  // The same file, rewritten in place with more records: read again.
  Report(1);
  testing::WriteFileBytes(copy, DirtyCopy());
  ASSERT_EQ(saved.GetCount(count), 0u);
  EXPECT_EQ(count, 21u);
  EXPECT_EQ(posix::DirtyFileScans(), before + 2);
}

// A machine with a log, a registry, a service entry and settings: the files
// another user must neither read nor lock.
class LocalAccessTest : public EventLogPosixTest {
 protected:
  void SetUp() override {
    // The temporary root itself is open to all, like a root made by an older
    // version: only what the emulation creates below it may keep others out.
    std::filesystem::permissions(
        Root(), std::filesystem::perms::all & ~std::filesystem::perms::others_write);
    EventLogPosixTest::SetUp();
    Report(1);
    ServiceManager manager;
    ASSERT_EQ(manager.Open(kManagerCreateService), 0u);
    ServiceConfig config;
    config.command_line = u"/bin/true";
    Service service;
    ASSERT_EQ(service.Create(manager, u"CvnAccessTest", config, kServiceQueryStatus), 0u);
    const std::u16string folder = CommonAppDataFolder() + u"/Halvorn/Corvane 3";
    ASSERT_EQ(CreateFolderTree(folder), 0u);
    File settings;
    ASSERT_EQ(settings.Open(folder + u"/settings.cvncfg", FileAccess::kWrite, FileShare::kNone,
                            FileCreate::kCreateAlways),
              0u);
    ASSERT_EQ(settings.Write("password", 8), 0u);
  }

  std::filesystem::path Settings() const {
    return Root() / "ProgramData" / "Halvorn" / "Corvane 3" / "settings.cvncfg";
  }
  std::vector<std::filesystem::path> Readable() const {
    return {LogFile(), Root() / "Registry" / "HKLM.reg",
            Root() / "services" / "cvnaccesstest" / "config", Settings()};
  }
  std::vector<std::filesystem::path> Locks() const {
    return {LogFile().string() + ".lock", Root() / "Registry" / "HKLM.lock",
            Root() / "services" / "cvnaccesstest" / "lock"};
  }
};

TEST_F(LocalAccessTest, NewFilesAndFoldersAreClosedToOthers) {
  auto mode = [](const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
  };
  const mode_t mask = umask(0);
  umask(mask);
  for (const auto& folder : {Root() / "ProgramData", Root() / "Windows" / "System32" / "config",
                             Root() / "Registry", Root() / "services" / "cvnaccesstest"}) {
    EXPECT_EQ(mode(folder), 0750 & ~mask) << folder;
  }
  for (const auto& file : Readable()) {
    EXPECT_EQ(mode(file) & 0007, 0u) << file;
  }
  EXPECT_EQ(mode(LogFile()), 0640 & ~mask);
  EXPECT_EQ(mode(Settings()), 0600 & ~mask) << "the settings may hold passwords";
  for (const auto& lock : Locks()) EXPECT_EQ(mode(lock), 0600 & ~mask) << lock;

  // A lock file left open to others by an older version is closed on use.
  const std::filesystem::path lock = LogFile().string() + ".lock";
  ASSERT_EQ(chmod(lock.c_str(), 0644), 0);
  Report(1);
  EXPECT_EQ(mode(lock), 0600u);
}

// Run as an unprivileged user (nobody): the machine's files cannot be read
// and its locks cannot be taken, so no such user can stop a writer.
TEST_F(LocalAccessTest, UnprivilegedUserCanNeitherReadNorLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the user nobody";
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody on this machine";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(100);
    int opened = 0;
    for (const auto& file : Readable()) {
      const int fd = open(file.c_str(), O_RDONLY);
      if (fd >= 0) ++opened;
    }
    for (const auto& lock : Locks()) {
      const int fd = open(lock.c_str(), O_RDONLY);
      if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ++opened;
    }
    _exit(opened);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 100) << "could not become the user nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "files or locks that the user nobody could open";
}

// A lock that another process keeps is an error after the deadline, never a
// hang: for writers and readers of a log and for registry writers.
TEST_F(LocalAccessTest, HeldLocksFailAfterTheDeadline) {
  posix::SetLockTimeoutMs(200);
  std::vector<int> held;
  for (const auto& lock : Locks()) {
    const int fd = open(lock.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << lock;
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    held.push_back(fd);
  }
  EventSource source;
  ASSERT_EQ(source.Register(kSource), 0u);
  EXPECT_EQ(source.Report(kEventTypeInformation, 0, 1, {}, {}, {}), posix::kLockTimeout);
  EventLog log;
  ASSERT_EQ(log.Open(kLog), 0u);
  uint32_t count = 0;
  EXPECT_EQ(log.GetCount(count), posix::kLockTimeout);
  RegistryKey key;
  EXPECT_EQ(key.Create(RegistryRoot::kLocalMachine, u"SOFTWARE\\CvnLocked"), posix::kLockTimeout);
  ServiceManager manager;
  ASSERT_EQ(manager.Open(kManagerCreateService), 0u);
  Service service;
  ASSERT_EQ(service.Open(manager, u"CvnAccessTest", kServiceQueryStatus), 0u);
  ServiceStatus status;
  EXPECT_EQ(service.QueryStatus(status), posix::kLockTimeout);

  for (int fd : held) close(fd);
  posix::SetLockTimeoutMs(0);
  EXPECT_EQ(source.Report(kEventTypeInformation, 0, 1, {}, {}, {}), 0u);
  EXPECT_EQ(log.GetCount(count), 0u);
}

}  // namespace
}  // namespace cvn::platform
