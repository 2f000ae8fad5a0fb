// The socket folder of the posix pipes: who may enter it, and names that are
// not ours to take.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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

}  // namespace
}  // namespace cvn::platform
