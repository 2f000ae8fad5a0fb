#include "fake_peer.h"

#include <atomic>
#include <random>
#include <vector>

#include "base/text.h"
#include "core/cvn_core.h"
#include "platform/file.h"
#include "support/temp_dir.h"

namespace cvn::syslog_test {

using namespace cvn::platform;

namespace {
constexpr uint32_t kTimeoutMs = 5000;
}

uint16_t FreePort(SocketType type) {
  ScopedSocket s;
  if (OpenSocket(AddressFamily::kIPv4, type, s.Receive()) != 0) return 0;
  if (BindSocket(s.Get(), SocketAddress::Loopback(0)) != 0) return 0;
  SocketAddress bound;
  if (SocketLocalAddress(s.Get(), &bound) != 0) return 0;
  return bound.Port();
}

FakePeer::FakePeer(uint16_t port) {
  if (OpenSocket(AddressFamily::kIPv4, SocketType::kStream, listener_.Receive()) != 0) return;
  if (BindSocket(listener_.Get(), SocketAddress::Loopback(port)) != 0) return;
  if (ListenSocket(listener_.Get()) != 0) return;
  SocketAddress bound;
  if (SocketLocalAddress(listener_.Get(), &bound) == 0) port_ = bound.Port();
}

bool FakePeer::Accept() {
  bool readable = false;
  if (!listener_.IsValid() || WaitSocketReadable(listener_.Get(), kTimeoutMs, &readable) != 0 ||
      !readable) {
    return false;
  }
  ScopedSocket accepted;
  if (AcceptSocket(listener_.Get(), accepted.Receive()) != 0) return false;
  SetSocketReceiveTimeout(accepted.Get(), kTimeoutMs);
  connections_.push_back(std::move(accepted));
  return true;
}

std::string FakePeer::ReadUntil(const std::string& expected) {
  std::string got;
  std::vector<char> buffer(65536);
  if (connections_.empty()) return got;
  while (Current().IsValid() && got.size() < expected.size()) {
    const int64_t n = ReceiveSocket(Current().Get(), buffer.data(), buffer.size());
    if (n <= 0) break;
    got.append(buffer.data(), static_cast<size_t>(n));
  }
  return got;
}

std::string FakePeer::ReadToEnd() {
  std::string got;
  std::vector<char> buffer(65536);
  if (connections_.empty()) return got;
  while (Current().IsValid()) {
    const int64_t n = ReceiveSocket(Current().Get(), buffer.data(), buffer.size());
    if (n <= 0) break;
    got.append(buffer.data(), static_cast<size_t>(n));
  }
  return got;
}

std::u16string UniquePipeName(const char* role) {
  static std::atomic<unsigned> counter{0};
  return u"\\\\.\\pipe\\" +
         Utf8ToUtf16(std::string("cvn-fwd-") + role + "-" + std::to_string(std::random_device{}()) +
                     "-" + std::to_string(counter++));
}

std::string ServiceLogs() {
  std::string text;
  const std::u16string folder = WithTrailingSeparator(CCVNCore::GetLogsFolder());
  for (const auto& name : FindFiles(folder, u"CVN*.log")) {
    text += cvn::testing::ReadFileBytes(std::filesystem::path(folder + name));
  }
  return text;
}

}  // namespace cvn::syslog_test
