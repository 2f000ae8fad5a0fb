// A channel with simple handlers that record what they were given, playing
// the service in the control tests.
#pragma once

#include <atomic>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "control/ctrl_intf_pipe.h"
#include "platform/sync.h"

namespace cvn::control::test_support {

// A pipe name no other test (or running service) uses.
inline std::u16string UniquePipeName(const char* role) {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const std::string leaf = std::string("cvn-ctrl-") + role + "-" + std::to_string(rd()) + "-" +
                           std::to_string(counter++);
  return u"\\\\.\\pipe\\" + std::u16string(leaf.begin(), leaf.end());
}

// The service end under test.
class TestChannel : public CSTCtrlIntfPipe {
 public:
  TestChannel(std::u16string server, std::u16string console) {
    SetPipeNames(std::move(server), std::move(console));
  }
  ~TestChannel() override {
    CI_Disconnect();
    CI_Deactivate();
    CI_Cleanup();
  }
  using CSTCtrlIntfPipe::SetReplyTimeout;
  using CSTCtrlIntfPipe::SetTakeTimeout;

  // A reply larger than any pipe buffer, for a console that does not read.
  static constexpr uint8_t kBigProperty = 77;

  int OnNotify(int method) override {
    ++notifications;
    return method * 10 + 1;
  }
  int CI_OnGetProperty(uint8_t id, CSTCtrlMessage& reply) override {
    if (id == kBigProperty) {
      reply.ValueToStack(std::u16string_view(std::u16string(512 * 1024, u'v')));
      return 0;
    }
    reply.ValueToStack(std::u16string_view(u"value"));
    reply.ValueToStack(static_cast<int32_t>(id));
    return 0;
  }
  int CI_OnSetProperty(uint8_t id, CSTCtrlMessage& request) override {
    std::u16string s;
    request.ValueFromStack(s);
    std::lock_guard lk(mu);
    assigned.push_back({id, s});
    return 0;
  }
  bool CI_AllowSetProperty(uint8_t id, uint8_t last_value_byte) override {
    last_allow_byte = last_value_byte;
    return id != 99;
  }
  void CI_OnClientConnected() override {
    ++connects;
    client_connected.Set();
  }
  void CI_OnConsoleStalled(uint32_t) override { ++stalls; }
  void CI_OnClientDisconnected() override {
    ++disconnects;
    client_disconnected.Set();
  }

  std::atomic<int> notifications{0};
  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  std::atomic<int> stalls{0};
  std::atomic<int> last_allow_byte{-1};
  cvn::platform::Event client_connected{cvn::platform::Event::Mode::kAutoReset};
  cvn::platform::Event client_disconnected{cvn::platform::Event::Mode::kAutoReset};
  std::mutex mu;
  std::vector<std::pair<uint8_t, std::u16string>> assigned;
};

}  // namespace cvn::control::test_support
