// The control channel end to end over real pipes: a test channel with simple
// handlers plays the service, a ClientPipe plays the console's requests and a
// scripted server on the console pipe plays the console's answers.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/ctrl_intf_pipe.h"
#include "control/ctrl_protocol.h"
#include "platform/pipe.h"
#include "support/temp_dir.h"
#include "test_channel.h"

namespace cvn::control {
namespace {

using platform::ClientPipe;
using platform::Event;
using platform::ServerPipe;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kWaitMs = 10000;

using test_support::TestChannel;
using test_support::UniquePipeName;

void PutLength(Bytes& b) {
  const auto n = static_cast<uint32_t>(b.size());
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(n >> (8 * i));
}

uint32_t LengthOf(const Bytes& b) {
  return b.size() < 4 ? 0 : b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// A complete message from values and a kind.
Bytes Message(const CSTCtrlMessage& values, uint8_t kind) {
  Bytes b = values.Bytes();
  b.push_back(kind);
  PutLength(b);
  return b;
}

// The console's own pipe: greets, collects each request and answers it as the
// script says.
class FakeConsole {
 public:
  struct Answer {
    Bytes bytes;           // written as they are (empty: no answer)
    bool hang_up = false;  // drop the connection after writing
  };
  using Script = std::function<Answer(const Bytes& request)>;

  explicit FakeConsole(std::u16string name) : name_(std::move(name)) {}
  ~FakeConsole() { Stop(); }

  bool Start() {
    if (pipe_.Create(name_) != 0) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  void Stop() {
    stop_.Set();
    if (thread_.joinable()) thread_.join();
    pipe_.Close();
  }

  Bytes greeting = {'S', 'T'};
  Script script = [](const Bytes& request) {
    // A method call is answered with its method number + 100.
    CSTCtrlMessage reply;
    reply.ValueToStack(static_cast<int32_t>(request[4] + 100));
    return Answer{Message(reply, kKindMethodReply)};
  };

  std::vector<Bytes> Requests() {
    std::lock_guard lk(mu_);
    return requests_;
  }

 private:
  bool Await(size_t* n = nullptr) {
    Event* events[2] = {&stop_, pipe_.Completion()};
    const auto w = platform::WaitAny(events, platform::kInfinite);
    if (!w.signaled() || w.index != 1) return false;
    size_t moved = 0;
    const uint32_t rc = pipe_.Finish(&moved);
    if (n != nullptr) *n = moved;
    return rc == 0;
  }

  void Run() {
    for (;;) {
      if (pipe_.BeginConnect() != 0) return;
      if (!Await()) {
        if (stop_.Wait(0)) return;
        continue;
      }
      if (pipe_.BeginWrite(greeting) == 0 && Await()) Serve();
      if (stop_.Wait(0)) return;
      pipe_.Disconnect();
    }
  }

  void Serve() {
    Bytes request;
    for (;;) {
      size_t n = 0;
      if (pipe_.BeginRead(platform::kPipeChunkSize) != 0 || !Await(&n) || n == 0) return;
      auto data = pipe_.ReadData().first(n);
      request.insert(request.end(), data.begin(), data.end());
      if (request.size() < 4 || request.size() < LengthOf(request)) continue;
      {
        std::lock_guard lk(mu_);
        requests_.push_back(request);
      }
      const Answer answer = script(request);
      request.clear();
      if (!answer.bytes.empty() && (pipe_.BeginWrite(answer.bytes) != 0 || !Await())) return;
      if (answer.hang_up) return;
    }
  }

  std::u16string name_;
  ServerPipe pipe_;
  std::thread thread_;
  Event stop_{Event::Mode::kManualReset};
  std::mutex mu_;
  std::vector<Bytes> requests_;
};

class ControlChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(channel_.CI_Initialize(), 0);
    ASSERT_EQ(channel_.CI_Activate(), 0);
  }

  // A console that connects to the service's pipe and expects the greeting.
  void OpenConsole(ClientPipe& client) {
    ASSERT_EQ(client.Open(server_name_, kWaitMs), 0u);
    uint8_t hello[2] = {};
    size_t have = 0;
    while (have < 2) {
      size_t got = 0;
      ASSERT_EQ(client.Read(hello + have, 2 - have, &got, kWaitMs), 0u);
      have += got;
    }
    EXPECT_EQ(hello[0], 'S');
    EXPECT_EQ(hello[1], 'T');
  }

  // A console with its own pipe, fully connected.
  void ConnectConsole(ClientPipe& client) {
    OpenConsole(client);
    ASSERT_TRUE(channel_.client_connected.Wait(kWaitMs));
    ASSERT_TRUE(channel_.CI_IsConnected());
  }

  // One request-reply exchange on the service's pipe.
  Bytes Exchange(ClientPipe& client, const Bytes& request) {
    EXPECT_EQ(client.Write(request, kWaitMs), 0u);
    Bytes reply;
    uint8_t buf[platform::kPipeChunkSize];
    while (reply.size() < 4 || reply.size() < LengthOf(reply)) {
      size_t got = 0;
      if (client.Read(buf, sizeof(buf), &got, kWaitMs) != 0) break;
      reply.insert(reply.end(), buf, buf + got);
    }
    return reply;
  }

  // True when the service ended the connection (as opposed to waiting).
  static bool Dropped(ClientPipe& client) {
    uint8_t buf[16];
    size_t got = 0;
    const uint32_t rc = client.Read(buf, sizeof(buf), &got, kWaitMs);
    return rc != 0 && rc != platform::pipe_err::kTimeout;
  }

  cvn::testing::ScopedMachineRoot root_;
  std::u16string server_name_ = UniquePipeName("service");
  std::u16string console_name_ = UniquePipeName("console");
  TestChannel channel_{server_name_, console_name_};
  FakeConsole console_{console_name_};
};

TEST_F(ControlChannelTest, GreetsAndDropsAConsoleWithoutItsOwnPipe) {
  {
    ClientPipe client;
    OpenConsole(client);
    EXPECT_TRUE(Dropped(client));
    EXPECT_TRUE(channel_.client_disconnected.Wait(kWaitMs));
  }
  EXPECT_EQ(channel_.connects.load(), 0);
  EXPECT_FALSE(channel_.CI_IsConnected());

  // Listening again: a console with its pipe is served.
  ASSERT_TRUE(console_.Start());
  ClientPipe client;
  ConnectConsole(client);
  EXPECT_EQ(channel_.connects.load(), 1);
}

TEST_F(ControlChannelTest, DispatchesTheThreeRequestKinds) {
  ASSERT_TRUE(console_.Start());
  ClientPipe client;
  ConnectConsole(client);

  CSTCtrlMessage call;
  call.ValueToStack(static_cast<uint8_t>(7));
  Bytes reply = Exchange(client, Message(call, kKindMethodCall));
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_EQ(LengthOf(reply), reply.size());
  CSTCtrlMessage r;
  r.Assign(reply);
  uint8_t kind = 0;
  int32_t result = 0;
  ASSERT_TRUE(r.ValueFromStack(kind));
  ASSERT_TRUE(r.ValueFromStack(result));
  EXPECT_EQ(kind, kKindMethodReply);
  EXPECT_EQ(result, 71);

  CSTCtrlMessage query;
  query.ValueToStack(static_cast<uint8_t>(12));
  reply = Exchange(client, Message(query, kKindPropertyQuery));
  EXPECT_EQ(LengthOf(reply), reply.size());
  r.Assign(reply);
  std::u16string text;
  int32_t id = 0;
  ASSERT_TRUE(r.ValueFromStack(kind));
  ASSERT_TRUE(r.ValueFromStack(id));
  ASSERT_TRUE(r.ValueFromStack(text));
  EXPECT_EQ(kind, kKindPropertyReply);
  EXPECT_EQ(id, 12);
  EXPECT_EQ(text, u"value");

  CSTCtrlMessage set;
  set.ValueToStack(std::u16string_view(u"abc"));
  set.ValueToStack(static_cast<uint8_t>(3));
  reply = Exchange(client, Message(set, kKindPropertySet));
  EXPECT_EQ(reply, (Bytes{5, 0, 0, 0, kKindPropertySetReply}));
  std::lock_guard lk(channel_.mu);
  ASSERT_EQ(channel_.assigned.size(), 1u);
  EXPECT_EQ(channel_.assigned[0].first, 3);
  EXPECT_EQ(channel_.assigned[0].second, u"abc");
}

TEST_F(ControlChannelTest, AssemblesARequestSentInThreeChunks) {
  ASSERT_TRUE(console_.Start());
  ClientPipe client;
  ConnectConsole(client);

  // 4 + 2 * 4141 + 4 + 1 + 1 = 8292 bytes: chunks of 4096, 4096 and 100.
  CSTCtrlMessage set;
  const std::u16string big(4141, u'q');
  set.ValueToStack(std::u16string_view(big));
  set.ValueToStack(static_cast<uint8_t>(11));
  const Bytes request = Message(set, kKindPropertySet);
  ASSERT_EQ(request.size(), 8292u);
  for (size_t pos = 0; pos < request.size(); pos += 4096) {
    const size_t n = std::min<size_t>(4096, request.size() - pos);
    ASSERT_EQ(client.Write(std::span(request).subspan(pos, n), kWaitMs), 0u);
  }
  Bytes reply;
  uint8_t buf[64];
  while (reply.size() < 5) {
    size_t got = 0;
    ASSERT_EQ(client.Read(buf, sizeof(buf), &got, kWaitMs), 0u);
    reply.insert(reply.end(), buf, buf + got);
  }
  EXPECT_EQ(reply, (Bytes{5, 0, 0, 0, kKindPropertySetReply}));
  std::lock_guard lk(channel_.mu);
  ASSERT_EQ(channel_.assigned.size(), 1u);
  EXPECT_EQ(channel_.assigned[0].second, big);
}

TEST_F(ControlChannelTest, MalformedRequestsDropTheConsole) {
  ASSERT_TRUE(console_.Start());
  struct Case {
    const char* what;
    Bytes bytes;
  };
  Bytes huge = {0, 0, 0, 0, 1, 1};
  const uint32_t too_big = kMaxRequestSize + 1;
  for (int i = 0; i < 4; ++i) huge[i] = static_cast<uint8_t>(too_big >> (8 * i));
  const std::vector<Case> cases = {
      {"a first chunk of only the length", {6, 0, 0, 0}},
      {"a declared length below the first chunk", {5, 0, 0, 0, 7, 1, 1, 1}},
      {"a declared length above 1 MiB", huge},
      {"an unknown kind", {6, 0, 0, 0, 1, 9}},
      {"a method call without its method", {5, 0, 0, 0, kKindMethodCall}},
      {"a property query without its id", {5, 0, 0, 0, kKindPropertyQuery}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClientPipe client;
    ConnectConsole(client);
    ASSERT_EQ(client.Write(c.bytes, kWaitMs), 0u);
    EXPECT_TRUE(Dropped(client));
    EXPECT_TRUE(channel_.client_disconnected.Wait(kWaitMs));
  }
  EXPECT_EQ(channel_.notifications.load(), 0);

  // Still serving afterwards.
  ClientPipe client;
  ConnectConsole(client);
  CSTCtrlMessage call;
  call.ValueToStack(static_cast<uint8_t>(1));
  EXPECT_EQ(Exchange(client, Message(call, kKindMethodCall)).size(), 9u);
}

TEST_F(ControlChannelTest, ALongMessageWithinTheBoundWaitsForItsBytes) {
  ASSERT_TRUE(console_.Start());
  ClientPipe client;
  ConnectConsole(client);
  Bytes first(100, 0);
  for (int i = 0; i < 4; ++i) first[i] = static_cast<uint8_t>(kMaxRequestSize >> (8 * i));
  ASSERT_EQ(client.Write(first, kWaitMs), 0u);
  uint8_t buf[8];
  size_t got = 0;
  EXPECT_EQ(client.Read(buf, sizeof(buf), &got, 300), platform::pipe_err::kTimeout);
  EXPECT_EQ(channel_.disconnects.load(), 0);
}

TEST_F(ControlChannelTest, AConsoleThatDoesNotTakeItsReplyIsDroppedInTime) {
  ASSERT_TRUE(console_.Start());
  channel_.SetTakeTimeout(300);
  ClientPipe client;
  ConnectConsole(client);
  CSTCtrlMessage query;
  query.ValueToStack(TestChannel::kBigProperty);
  ASSERT_EQ(client.Write(Message(query, kKindPropertyQuery), kWaitMs), 0u);
  EXPECT_TRUE(channel_.client_disconnected.Wait(kWaitMs));
  EXPECT_EQ(channel_.stalls.load(), 1);
  ClientPipe next;
  ConnectConsole(next);
}

TEST_F(ControlChannelTest, AConsoleThatVanishesMidMessageIsDropped) {
  ASSERT_TRUE(console_.Start());
  {
    ClientPipe client;
    ConnectConsole(client);
    Bytes half(50, 0);
    half[0] = 100;
    ASSERT_EQ(client.Write(half, kWaitMs), 0u);
  }
  EXPECT_TRUE(channel_.client_disconnected.Wait(kWaitMs));
  EXPECT_FALSE(channel_.CI_IsConnected());
  ClientPipe next;
  ConnectConsole(next);
}

TEST_F(ControlChannelTest, DeactivatingWithAConsoleConnectedEndsTheChannel) {
  ASSERT_TRUE(console_.Start());
  ClientPipe client;
  ConnectConsole(client);
  EXPECT_EQ(channel_.CI_Disconnect(), 0);
  EXPECT_EQ(channel_.CI_Deactivate(), 0);
  EXPECT_FALSE(channel_.CI_IsActivated());
  EXPECT_TRUE(Dropped(client));
  // And it can serve again.
  ASSERT_EQ(channel_.CI_Activate(), 0);
  ClientPipe again;
  ConnectConsole(again);
}

// --- Calls towards the console -------------------------------------------

class ConsoleCallTest : public ControlChannelTest {
 protected:
  void SetUp() override {
    ControlChannelTest::SetUp();
    ASSERT_TRUE(console_.Start());
  }
};

TEST_F(ConsoleCallTest, ConnectNeedsTheGreeting) {
  int result = 0;
  EXPECT_EQ(channel_.CI_CallMethod(2, result), kNotConnected);

  console_.greeting = {'X', 'X'};
  EXPECT_EQ(static_cast<uint32_t>(channel_.CI_Connect()), 0x320C00FEu);
  EXPECT_FALSE(channel_.CI_IsConnected());

  TestChannel no_console(UniquePipeName("service"), UniquePipeName("console"));
  ASSERT_EQ(no_console.CI_Initialize(), 0);
  EXPECT_EQ(static_cast<uint32_t>(no_console.CI_Connect()), 0x3200FFFFu);
  ASSERT_EQ(no_console.CI_Activate(), 0);
  EXPECT_EQ(static_cast<uint32_t>(no_console.CI_Connect()), 0x32040002u);
}

TEST_F(ConsoleCallTest, MethodCallsAndTheirReplies) {
  ASSERT_EQ(channel_.CI_Connect(), 0);
  int result = 0;
  EXPECT_EQ(channel_.CI_CallMethod(2, result), 0);
  EXPECT_EQ(result, 102);
  EXPECT_EQ(console_.Requests().back(), (Bytes{6, 0, 0, 0, 2, kKindMethodCall}));

  // A reply of another kind.
  console_.script = [](const Bytes&) {
    return FakeConsole::Answer{{5, 0, 0, 0, kKindPropertySetReply}};
  };
  EXPECT_EQ(static_cast<uint32_t>(channel_.CI_CallMethod(2, result)), 0x0004FFFEu);
  EXPECT_TRUE(channel_.CI_IsConnected());

  // A reply longer than one chunk is assembled.
  console_.script = [](const Bytes&) {
    CSTCtrlMessage reply;
    reply.ValueToStack(std::u16string_view(std::u16string(5000, u'p')));
    reply.ValueToStack(static_cast<int32_t>(-7));
    return FakeConsole::Answer{Message(reply, kKindMethodReply)};
  };
  EXPECT_EQ(channel_.CI_CallMethod(4, result), 0);
  EXPECT_EQ(result, -7);
}

TEST_F(ConsoleCallTest, BadRepliesFailTheCallAndCloseTheBackConnectionUnlessInStep) {
  struct Case {
    const char* what;
    FakeConsole::Answer answer;
    uint32_t expected;
    bool kept = false;  // an overrunning chunk is discarded; the pipe stays in step
  };
  Bytes huge = {0, 0, 0, 0, 2};
  const uint32_t too_big = kMaxMessageSize + 1;
  for (int i = 0; i < 4; ++i) huge[i] = static_cast<uint8_t>(too_big >> (8 * i));
  Bytes overlong = {5, 0, 0, 0, 2, 9, 9};
  Bytes cut = {20, 0, 0, 0, 1, 2, 3, 4, 5};
  const std::vector<Case> cases = {
      {"a reply shorter than five bytes", {{3, 0, 0}}, 0x0006FFFEu},
      {"a reply above 16 MiB", {huge}, 0x000CFFFEu},
      {"a reply longer than it says", {overlong}, 0x000CFFFEu, true},
      {"a console that vanishes mid-reply",
       {cut, true},
       0x000C0000u | platform::pipe_err::kBrokenPipe},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    console_.script = [&](const Bytes&) { return c.answer; };
    ASSERT_EQ(channel_.CI_Connect(), 0);
    int result = 0;
    EXPECT_EQ(static_cast<uint32_t>(channel_.CI_CallMethod(2, result)),
              0x00020000u | (c.expected & 0xFFFFu));
    EXPECT_EQ(channel_.CI_IsConnected(), c.kept);
    channel_.CI_Disconnect();
  }
}

TEST_F(ConsoleCallTest, AConsoleThatNeverAnswersIsGivenUp) {
  console_.script = [](const Bytes&) { return FakeConsole::Answer{}; };
  ASSERT_EQ(channel_.CI_Connect(), 0);

  channel_.SetReplyTimeout(100);
  int result = 0;
  EXPECT_EQ(static_cast<uint32_t>(channel_.CI_CallMethod(2, result)), 0x0002FFFFu);
  EXPECT_FALSE(channel_.CI_IsConnected());

  // Without a time-out, a disconnect from another thread releases the caller.
  channel_.SetReplyTimeout(platform::kInfinite);
  ASSERT_EQ(channel_.CI_Connect(), 0);
  std::atomic<int> rc{0};
  std::thread caller([&] {
    int r = 0;
    rc = channel_.CI_CallMethod(2, r);
  });
  while (console_.Requests().size() < 2) std::this_thread::yield();
  EXPECT_EQ(channel_.CI_Disconnect(), 0);
  caller.join();
  EXPECT_EQ(static_cast<uint32_t>(rc.load()) >> 16, 2u);
}

TEST_F(ConsoleCallTest, PropertyAssignments) {
  CSTCtrlMessage values;
  EXPECT_EQ(channel_.CI_SetProperty(kPropPopup, values), kNotConnected);
  ASSERT_EQ(channel_.CI_Connect(), 0);
  EXPECT_EQ(static_cast<uint32_t>(channel_.CI_SetProperty(kPropPopup, values)), 0x0000FFFFu);

  values.ValueToStack(std::u16string_view(u"log"));
  values.ValueToStack(static_cast<int32_t>(kPopupRecordTag));
  EXPECT_EQ(static_cast<uint32_t>(channel_.CI_SetProperty(99, values)), 0x0002FFFFu);
  EXPECT_EQ(channel_.last_allow_byte.load(), 0);  // the tag's most significant byte
  EXPECT_TRUE(console_.Requests().empty());

  // Whatever the console answers, a completed exchange is a success.
  console_.script = [](const Bytes&) { return FakeConsole::Answer{{5, 0, 0, 0, 0x77}}; };
  EXPECT_EQ(channel_.CI_SetProperty(kPropPopup, values), 0);
  Bytes expected = values.Bytes();
  expected.push_back(kPropPopup);
  expected.push_back(kKindPropertySet);
  PutLength(expected);
  EXPECT_EQ(console_.Requests().back(), expected);
}

TEST_F(ConsoleCallTest, ConcurrentCallsDoNotInterleave) {
  // Each request carries a string of one letter, long enough to span several
  // chunks; the console checks that every request it got is one sender's.
  std::atomic<int> mixed{0};
  console_.script = [&](const Bytes& request) {
    CSTCtrlMessage m;
    m.Assign(request);
    uint8_t kind = 0, id = 0;
    std::u16string s;
    if (LengthOf(request) != request.size() || !m.ValueFromStack(kind) || !m.ValueFromStack(id) ||
        !m.ValueFromStack(s) || s.empty() || s.find_first_not_of(s[0]) != std::u16string::npos ||
        m.HasValues()) {
      ++mixed;
    }
    return FakeConsole::Answer{{5, 0, 0, 0, kKindPropertySetReply}};
  };
  ASSERT_EQ(channel_.CI_Connect(), 0);
  constexpr int kThreads = 4;
  constexpr int kCalls = 20;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CSTCtrlMessage values;
      values.ValueToStack(
          std::u16string_view(std::u16string(3000 + t * 500, static_cast<char16_t>(u'a' + t))));
      for (int i = 0; i < kCalls; ++i) {
        if (channel_.CI_SetProperty(kPropPopup, values) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_EQ(console_.Requests().size(), static_cast<size_t>(kThreads * kCalls));
}

}  // namespace
}  // namespace cvn::control
