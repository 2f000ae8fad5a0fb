// The socket folder of the posix pipes: who may enter it, and names that are
// not ours to take.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "platform/file.h"

#include "platform/pipe.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

constexpr char16_t kName[] = u"\\\\.\\pipe\\CVN-posix-test";

std::filesystem::path PipeFolder() {
  return std::filesystem::path(std::getenv("CORVANE_ROOT")) / "pipes";
}

TEST(PipePosixTest, FolderIsClosedToOthers) {
  cvn::testing::ScopedMachineRoot root;
  ServerPipe server;
  ASSERT_EQ(server.Create(kName), 0u);
  struct stat st {};
  ASSERT_EQ(lstat(PipeFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0007, 0u) << "others must not enter the pipe folder";
  EXPECT_EQ(st.st_uid, geteuid());
  ASSERT_EQ(lstat((PipeFolder() / "CVN-posix-test").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0007, 0u);

  server.Close();
  EXPECT_FALSE(std::filesystem::exists(PipeFolder() / "CVN-posix-test"));
}

TEST(PipePosixTest, RefusesANameThatIsNotASocket) {
  cvn::testing::ScopedMachineRoot root;
  std::filesystem::create_directories(PipeFolder());
  cvn::testing::WriteFileBytes(PipeFolder() / "CVN-posix-test", "not a socket");
  ServerPipe server;
  EXPECT_EQ(server.Create(kName), 5u);
  EXPECT_EQ(cvn::testing::ReadFileBytes(PipeFolder() / "CVN-posix-test"), "not a socket");
}

TEST(PipePosixTest, ReplacesAStaleSocketOfItsOwn) {
  cvn::testing::ScopedMachineRoot root;
  std::filesystem::create_directories(PipeFolder());
  // A socket left behind by a server that crashed.
  const std::string path = (PipeFolder() / "CVN-posix-test").string();
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(fd);

  ClientPipe client;
  EXPECT_EQ(client.Open(kName, 1000), 2u) << "a dead socket is no server";
  ServerPipe server;
  EXPECT_EQ(server.Create(kName), 0u);
}

TEST(PipePosixTest, RefusesASocketOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a socket to another user";
  cvn::testing::ScopedMachineRoot root;
  std::filesystem::create_directories(PipeFolder());
  const std::string path = (PipeFolder() / "CVN-posix-test").string();
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(fd);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);

  ServerPipe server;
  EXPECT_EQ(server.Create(kName), 5u);
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(PipePosixTest, RefusesAFolderOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the folder to another user";
  cvn::testing::ScopedMachineRoot root;
  std::filesystem::create_directories(PipeFolder());
  ASSERT_EQ(chown(PipeFolder().c_str(), 65534, 65534), 0);
  ServerPipe server;
  EXPECT_EQ(server.Create(kName), 5u);
  ClientPipe client;
  EXPECT_EQ(client.Open(kName, 1000), 5u);
}

// A console of another user asks the service (root) to write a file: it is
// created as that user, and a folder the user may not write refuses it.
TEST(PipePosixTest, RunAsClientWritesWithTheClientsRights) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  constexpr uid_t kNobody = 65534;
  cvn::testing::ScopedMachineRoot root;
  const auto& dir = root.dir().path();
  // Forked before any thread exists; the child connects as nobody once the
  // test has opened the way to the socket.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(3);
    ClientPipe client;
    for (int i = 0; i < 100 && client.Open(kName, 100) != 0; ++i) usleep(50000);
    if (!client.IsOpen()) _exit(4);
    uint8_t byte = 0;
    size_t got = 0;
    client.Read(&byte, 1, &got, 10000);  // until the server lets go
    _exit(0);
  }
  ServerPipe server;
  ASSERT_EQ(server.Create(kName), 0u);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(PipeFolder().c_str(), 0755), 0);
  ASSERT_EQ(chmod((PipeFolder() / "CVN-posix-test").c_str(), 0666), 0);
  ASSERT_EQ(server.BeginConnect(), 0u);
  ASSERT_TRUE(server.Completion()->Wait(10000));
  size_t moved = 0;
  ASSERT_EQ(server.Finish(&moved), 0u);
  EXPECT_EQ(server.ClientUser(), "nobody (uid 65534)");
  EXPECT_FALSE(server.ClientIsAdministrator());

  const auto theirs = dir / "theirs";
  std::filesystem::create_directory(theirs);
  ASSERT_EQ(chown(theirs.c_str(), kNobody, kNobody), 0);
  const auto write = [](const std::filesystem::path& path) {
    return [path] {
      File f;
      return f.Open(Utf8ToUtf16(path.string()), FileAccess::kWrite, FileShare::kNone,
                    FileCreate::kCreateAlways);
    };
  };
  EXPECT_EQ(server.RunAsClient(write(theirs / "report.html")), 0u);
  struct stat st {};
  ASSERT_EQ(stat((theirs / "report.html").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(server.RunAsClient(write(dir / "roots.html")), 5u);
  EXPECT_FALSE(std::filesystem::exists(dir / "roots.html"));
  // The thread has its own rights back.
  EXPECT_EQ(write(dir / "roots.html")(), 0u);

  server.Close();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace cvn::platform
