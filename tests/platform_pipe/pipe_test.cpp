#include "platform/pipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

// A name no other test (or running service) uses.
std::u16string UniqueName() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const std::string leaf =
      "cvn-pipe-test-" + std::to_string(rd()) + "-" + std::to_string(counter++);
  return u"\\\\.\\pipe\\" + std::u16string(leaf.begin(), leaf.end());
}

constexpr uint32_t kWaitMs = 10000;

// Waits for the pending operation and collects it.
uint32_t Complete(ServerPipe& pipe, size_t* bytes = nullptr) {
  if (!pipe.Completion()->Wait(kWaitMs)) return 0xDEAD;
  size_t n = 0;
  const uint32_t rc = pipe.Finish(&n);
  if (bytes != nullptr) *bytes = n;
  return rc;
}

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

class PipeTest : public ::testing::Test {
 protected:
  // Creates the server and connects one client to it.
  void Connect(ServerPipe& server, ClientPipe& client) {
    ASSERT_EQ(server.BeginConnect(), 0u);
    ASSERT_EQ(client.Open(name_, kWaitMs), 0u);
    ASSERT_EQ(Complete(server), 0u);
  }
  void SetUp() override { ASSERT_EQ(server_.Create(name_), 0u); }

  cvn::testing::ScopedMachineRoot root_;
  std::u16string name_ = UniqueName();
  ServerPipe server_;
  ClientPipe client_;
};

TEST_F(PipeTest, ExchangesBytesBothWays) {
  Connect(server_, client_);

  ASSERT_EQ(server_.BeginWrite(Bytes("ST")), 0u);
  size_t n = 0;
  EXPECT_EQ(Complete(server_, &n), 0u);
  EXPECT_EQ(n, 2u);
  uint8_t buf[16] = {};
  size_t got = 0;
  ASSERT_EQ(client_.Read(buf, 2, &got, kWaitMs), 0u);
  EXPECT_EQ(std::string(buf, buf + got), "ST");

  ASSERT_EQ(client_.Write(Bytes("hello pipe"), kWaitMs), 0u);
  ASSERT_EQ(server_.BeginRead(kPipeChunkSize), 0u);
  ASSERT_EQ(Complete(server_, &n), 0u);
  EXPECT_EQ(std::string(server_.ReadData().begin(), server_.ReadData().begin() + n), "hello pipe");
}

TEST_F(PipeTest, LargeWriteArrivesWholeInChunks) {
  Connect(server_, client_);
  std::vector<uint8_t> big(100000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(server_.BeginWrite(big), 0u);
  std::vector<uint8_t> got_all;
  std::vector<uint8_t> buf(kPipeChunkSize);
  while (got_all.size() < big.size()) {
    size_t got = 0;
    ASSERT_EQ(client_.Read(buf.data(), buf.size(), &got, kWaitMs), 0u);
    ASSERT_LE(got, kPipeChunkSize);
    got_all.insert(got_all.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
  }
  EXPECT_EQ(Complete(server_), 0u);
  EXPECT_EQ(got_all, big);

  // Server reads never return more than one chunk. The write waits for the
  // reader once the pipe's buffer is full, so it runs on its own thread.
  std::atomic<uint32_t> write_rc{0xFFFFFFFF};
  std::thread writer([&] { write_rc = client_.Write(big, kWaitMs); });
  size_t total = 0;
  while (total < big.size()) {
    ASSERT_EQ(server_.BeginRead(kPipeChunkSize), 0u);
    size_t n = 0;
    ASSERT_EQ(Complete(server_, &n), 0u);
    ASSERT_GT(n, 0u);
    ASSERT_LE(n, kPipeChunkSize);
    total += n;
  }
  writer.join();
  EXPECT_EQ(write_rc.load(), 0u);
  EXPECT_EQ(total, big.size());
}

TEST_F(PipeTest, NamesAreExclusiveAndMissingOnesAreReported) {
  ServerPipe second;
  EXPECT_EQ(second.Create(name_), pipe_err::kPipeBusy);

  ClientPipe nobody;
  EXPECT_EQ(nobody.Open(UniqueName(), 1000), 2u);
  EXPECT_FALSE(nobody.IsOpen());

  // Closing gives the name up.
  server_.Close();
  EXPECT_EQ(second.Create(name_), 0u);
}

TEST_F(PipeTest, OneClientAtATime) {
  Connect(server_, client_);
  ClientPipe other;
  EXPECT_EQ(other.Open(name_, 200), pipe_err::kPipeBusy);
  // The first client is not disturbed.
  ASSERT_EQ(client_.Write(Bytes("x"), kWaitMs), 0u);
  ASSERT_EQ(server_.BeginRead(16), 0u);
  size_t n = 0;
  EXPECT_EQ(Complete(server_, &n), 0u);
  EXPECT_EQ(n, 1u);
}

TEST_F(PipeTest, ClientThatGoesAwayFailsTheRead) {
  Connect(server_, client_);
  ASSERT_EQ(server_.BeginRead(kPipeChunkSize), 0u);
  client_.Close();
  EXPECT_EQ(Complete(server_), pipe_err::kBrokenPipe);
}

TEST_F(PipeTest, DisconnectCancelsAndAllowsTheNextClient) {
  Connect(server_, client_);
  ASSERT_EQ(server_.BeginRead(kPipeChunkSize), 0u);
  server_.Disconnect();
  // Nothing is pending any more, and the old client's pipe is dead.
  size_t n = 0;
  EXPECT_EQ(server_.Finish(&n), pipe_err::kPipeNotConnected);
  uint8_t buf[4];
  size_t got = 0;
  EXPECT_NE(client_.Read(buf, sizeof(buf), &got, kWaitMs), 0u);
  client_.Close();

  ClientPipe next;
  Connect(server_, next);
  ASSERT_EQ(next.Write(Bytes("again"), kWaitMs), 0u);
  ASSERT_EQ(server_.BeginRead(kPipeChunkSize), 0u);
  EXPECT_EQ(Complete(server_, &n), 0u);
  EXPECT_EQ(n, 5u);
}

TEST_F(PipeTest, OnlyOneOperationAtATime) {
  Connect(server_, client_);
  ASSERT_EQ(server_.BeginRead(kPipeChunkSize), 0u);
  EXPECT_EQ(server_.BeginWrite(Bytes("x")), pipe_err::kIoPending);
  size_t n = 0;
  EXPECT_EQ(server_.Finish(&n), pipe_err::kIoIncomplete);
  EXPECT_FALSE(server_.Completion()->Wait(0));
}

TEST_F(PipeTest, ClientCallsTimeOutAndShutdownReleasesThem) {
  Connect(server_, client_);
  uint8_t buf[4];
  size_t got = 0;
  EXPECT_EQ(client_.Read(buf, sizeof(buf), &got, 50), pipe_err::kTimeout);

  std::atomic<uint32_t> blocked_rc{0xFFFFFFFF};
  std::thread reader([&] {
    uint8_t b[4];
    size_t g = 0;
    blocked_rc = client_.Read(b, sizeof(b), &g, kInfinite);
  });
  // Shutdown is sticky, so it releases the reader whether or not it already
  // blocked.
  client_.Shutdown();
  reader.join();
  EXPECT_EQ(blocked_rc.load(), pipe_err::kOperationAborted);
  EXPECT_EQ(client_.Write(Bytes("x"), kWaitMs), pipe_err::kOperationAborted);
}

TEST_F(PipeTest, CloseWithAPendingConnectReturnsAndFreesTheName) {
  ASSERT_EQ(server_.BeginConnect(), 0u);
  server_.Close();
  EXPECT_FALSE(server_.IsOpen());
  EXPECT_EQ(server_.BeginConnect(), 6u);
  ServerPipe again;
  EXPECT_EQ(again.Create(name_), 0u);
}

TEST_F(PipeTest, ConnectCompletesWhenTheClientCameFirst) {
  // A client that opens the pipe before the server starts waiting is taken
  // by the next BeginConnect, whose completion is then signalled too.
  std::atomic<uint32_t> open_rc{0xFFFFFFFF};
  std::thread opener([&] { open_rc = client_.Open(name_, kWaitMs); });
  std::this_thread::yield();
  ASSERT_EQ(server_.BeginConnect(), 0u);
  opener.join();
  EXPECT_EQ(open_rc.load(), 0u);
  EXPECT_EQ(Complete(server_), 0u);
}

TEST_F(PipeTest, RunAsClientNeedsAConnectedClient) {
  bool ran = false;
  const auto work = [&ran] {
    ran = true;
    return 7u;
  };
  EXPECT_EQ(server_.RunAsClient(work), 233u);
  EXPECT_FALSE(ran);
  Connect(server_, client_);
  EXPECT_EQ(server_.RunAsClient(work), 7u);  // the same user: its own rights
  EXPECT_TRUE(ran);
}

// The tests run as an administrator (root, or Wine's one user).
TEST_F(PipeTest, TheClientsAccountAndRightsAreToldWhileConnected) {
  EXPECT_FALSE(server_.ClientIsAdministrator());
  EXPECT_EQ(server_.ClientUser(), "unknown");
  EXPECT_FALSE(client_.ServerIsAdministrator());
  Connect(server_, client_);
  EXPECT_TRUE(server_.ClientIsAdministrator());
  EXPECT_TRUE(client_.ServerIsAdministrator());
  EXPECT_NE(server_.ClientUser(), "unknown");
}

}  // namespace
}  // namespace cvn::platform
