// The running core answers the console's method calls over the real pipes: a
// client pipe plays the console's requests, a server pipe on the console's
// name takes the core's back-connection.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "control/ctrl_message.h"
#include "core_test_util.h"
#include "platform/clock.h"
#include "platform/pipe.h"

namespace cvn::core_test {
namespace {

using platform::ClientPipe;
using platform::Event;
using platform::ServerPipe;
using Bytes = std::vector<uint8_t>;

// The console's own pipe: greets the core's back-connection and then only
// reads until the core goes away.
class ConsolePipe {
 public:
  explicit ConsolePipe(std::u16string name) : name_(std::move(name)) {}
  ~ConsolePipe() {
    stop_.Set();
    if (thread_.joinable()) thread_.join();
    pipe_.Close();
  }

  bool Start() {
    if (pipe_.Create(name_) != 0) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  Event greeted{Event::Mode::kManualReset};

 private:
  bool Await() {
    Event* events[2] = {&stop_, pipe_.Completion()};
    const auto w = platform::WaitAny(events, platform::kInfinite);
    if (!w.signaled() || w.index != 1) return false;
    size_t moved = 0;
    return pipe_.Finish(&moved) == 0 && moved > 0;
  }

  void Run() {
    static const uint8_t kHello[2] = {'S', 'T'};
    if (pipe_.BeginConnect() != 0) return;
    Event* events[2] = {&stop_, pipe_.Completion()};
    const auto w = platform::WaitAny(events, platform::kInfinite);
    if (!w.signaled() || w.index != 1) return;
    size_t moved = 0;
    if (pipe_.Finish(&moved) != 0) return;
    if (pipe_.BeginWrite(kHello) != 0 || !Await()) return;
    greeted.Set();
    while (pipe_.BeginRead(platform::kPipeChunkSize) == 0 && Await()) {
    }
  }

  std::u16string name_;
  ServerPipe pipe_;
  std::thread thread_;
  Event stop_{Event::Mode::kManualReset};
};

// One method call on the service's pipe; the 32-bit result, or -100 when the
// exchange failed.
int32_t CallMethod(ClientPipe& pipe, uint8_t method) {
  control::CSTCtrlMessage request;
  request.ValueToStack(method);
  request.ValueToStack(static_cast<uint8_t>(control::kKindMethodCall));
  request.SetLengthField();
  if (pipe.Write(request.Bytes(), kWaitMs) != 0) return -100;

  Bytes reply;
  uint8_t chunk[64];
  while (reply.size() < 4 ||
         reply.size() < static_cast<size_t>(reply[0] | (reply[1] << 8) | (reply[2] << 16))) {
    size_t got = 0;
    if (pipe.Read(chunk, sizeof chunk, &got, kWaitMs) != 0) return -100;
    reply.insert(reply.end(), chunk, chunk + got);
  }
  control::CSTCtrlMessage message;
  message.Assign(reply);
  uint8_t kind = 0;
  int32_t result = 0;
  if (!message.ValueFromStack(kind) || kind != control::kKindMethodReply) return -100;
  if (!message.ValueFromStack(result) || message.HasValues()) return -100;
  return result;
}

class CoreControlTest : public CoreTest {
 protected:
  // Starts the core with a counted primary thread and connects a console.
  void StartAndConnect() {
    core_->SetThreadBody(CoreThread::kPrimary, [this](CCVNCore& core) -> uint32_t {
      ++primary_starts_;
      core.ThreadStopEvent(CoreThread::kPrimary)->Wait(platform::kInfinite);
      return 0;
    });
    console_ = std::make_unique<ConsolePipe>(console_pipe_);
    ASSERT_TRUE(console_->Start());
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
    // The core reached the console that was already listening.
    ASSERT_TRUE(console_->greeted.Wait(kWaitMs));

    ASSERT_EQ(client_.Open(server_pipe_, kWaitMs), 0u);
    uint8_t hello[2] = {};
    size_t have = 0;
    while (have < 2) {
      size_t got = 0;
      ASSERT_EQ(client_.Read(hello + have, 2 - have, &got, kWaitMs), 0u);
      have += got;
    }
    ASSERT_EQ(hello[0], 'S');
    ASSERT_EQ(hello[1], 'T');
  }

  void TearDown() override {
    client_.Close();
    CoreTest::TearDown();
    console_.reset();
  }

  std::unique_ptr<ConsolePipe> console_;
  ClientPipe client_;
  std::atomic<int> primary_starts_{0};
};

TEST_F(CoreControlTest, MethodCallsPurgeTheQueuesAndReload) {
  StartAndConnect();
  core_->syslog_queue.Push("<14>one");
  core_->syslog_queue.Push("<14>two");
  core_->email_queue.Push(SEmailMessage{u"subject", u"body", "text/plain", 1});

  // 0: purge syslog: the purge event is set and the queue emptied.
  EXPECT_EQ(CallMethod(client_, 0), 0);
  EXPECT_EQ(core_->syslog_queue.Size(), 0u);
  EXPECT_TRUE(core_->SyslogPurgeEvent()->Wait(0));
  EXPECT_EQ(core_->email_queue.Size(), 1u);

  // 1: purge e-mail.
  EXPECT_EQ(CallMethod(client_, 1), 0);
  EXPECT_EQ(core_->email_queue.Size(), 0u);

  // 3: configuration changed: the threads are restarted on the reloaded file.
  CCVNSettings settings;
  settings.Syslog_Port.value = 1514;
  WriteSettings(settings);
  EXPECT_EQ(CallMethod(client_, 3), 0);
  for (uint32_t waited = 0; primary_starts_ < 2 && waited < kWaitMs; waited += 2) {
    platform::SleepMs(2);
  }
  EXPECT_EQ(primary_starts_, 2);
  EXPECT_EQ(core_->Settings().Syslog_Port.value, 1514);

  // 5: purge the database queue; unknown methods do nothing; all answer 0.
  EXPECT_EQ(CallMethod(client_, 5), 0);
  EXPECT_EQ(CallMethod(client_, 200), 0);
  EXPECT_TRUE(core_->IsRunning());

  // Stopping the server closes the channel.
  core_->StopServer();
  uint8_t byte = 0;
  size_t got = 0;
  EXPECT_NE(client_.Read(&byte, 1, &got, kWaitMs), 0u);
}

}  // namespace
}  // namespace cvn::core_test
