#include "scripted_smtp_peer.h"

#include "platform/clock.h"

namespace cvn::email_test {

using namespace cvn::platform;

namespace {
constexpr uint32_t kTimeoutMs = 5000;
}

ScriptedSmtpPeer::ScriptedSmtpPeer(std::vector<std::string> greeting, Responder responder,
                                   int connections, uint16_t port)
    : greeting_(std::move(greeting)), responder_(std::move(responder)) {
  if (OpenSocket(AddressFamily::kIPv4, SocketType::kStream, listener_.Receive()) != 0) return;
  if (BindSocket(listener_.Get(), SocketAddress::Loopback(port)) != 0) return;
  if (ListenSocket(listener_.Get()) != 0) return;
  SocketAddress bound;
  if (SocketLocalAddress(listener_.Get(), &bound) == 0) port_ = bound.Port();
  thread_ = std::thread([this, connections] { Serve(connections); });
}

ScriptedSmtpPeer::~ScriptedSmtpPeer() {
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> ScriptedSmtpPeer::Commands() {
  std::lock_guard<std::mutex> guard(lock_);
  return commands_;
}

bool ScriptedSmtpPeer::Next(std::string& command, bool message) {
  const std::string end = message ? "\r\n.\r\n" : "\r\n";
  char buffer[4096];
  for (;;) {
    if (const size_t at = pending_.find(end); at != std::string::npos) {
      command = pending_.substr(0, at + (message ? end.size() : 0));
      pending_.erase(0, at + end.size());
      return true;
    }
    const int64_t n = ReceiveSocket(connection_.Get(), buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

void ScriptedSmtpPeer::Serve(int connections) {
  for (int i = 0; i < connections; ++i) ServeOne();
}

void ScriptedSmtpPeer::ServeOne() {
  pending_.clear();
  bool readable = false;
  if (WaitSocketReadable(listener_.Get(), kTimeoutMs, &readable) != 0 || !readable) return;
  if (AcceptSocket(listener_.Get(), connection_.Receive()) != 0) return;
  SetSocketReceiveTimeout(connection_.Get(), kTimeoutMs);
  for (size_t i = 0; i < greeting_.size(); ++i) {
    if (i != 0) SleepMs(100);  // two reads for the client
    SendAllSocket(connection_.Get(), greeting_[i].data(), greeting_[i].size());
  }
  bool message = false;
  std::string command;
  while (Next(command, message)) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      commands_.push_back(command);
    }
    const std::string reply = responder_(command);
    if (reply.empty()) break;
    message = reply.rfind("354", 0) == 0;
    SendAllSocket(connection_.Get(), reply.data(), reply.size());
  }
  connection_.Reset();
}

EndlessReplyPeer::EndlessReplyPeer(std::string greeting, std::string chunk, uint32_t pause_ms)
    : greeting_(std::move(greeting)), chunk_(std::move(chunk)), pause_ms_(pause_ms) {
  if (OpenSocket(AddressFamily::kIPv4, SocketType::kStream, listener_.Receive()) != 0) return;
  if (BindSocket(listener_.Get(), SocketAddress::Loopback(0)) != 0) return;
  if (ListenSocket(listener_.Get()) != 0) return;
  SocketAddress bound;
  if (SocketLocalAddress(listener_.Get(), &bound) == 0) port_ = bound.Port();
  thread_ = std::thread([this] { Serve(); });
}

EndlessReplyPeer::~EndlessReplyPeer() {
  if (thread_.joinable()) thread_.join();
}

void EndlessReplyPeer::Serve() {
  bool readable = false;
  if (WaitSocketReadable(listener_.Get(), kTimeoutMs, &readable) != 0 || !readable) return;
  ScopedSocket connection;
  if (AcceptSocket(listener_.Get(), connection.Receive()) != 0) return;
  SetSocketReceiveTimeout(connection.Get(), kTimeoutMs);
  char buffer[4096];
  if (!greeting_.empty()) {
    SendAllSocket(connection.Get(), greeting_.data(), greeting_.size());
    std::string line;
    while (line.find('\n') == std::string::npos) {
      const int64_t n = ReceiveSocket(connection.Get(), buffer, sizeof buffer);
      if (n <= 0) return;
      line.append(buffer, static_cast<size_t>(n));
    }
  }
  const Deadline deadline(30000);
  while (deadline.Remaining() != 0) {
    // Whatever the client sends now (its close included) ends the stream.
    if (WaitSocketReadable(connection.Get(), pause_ms_, &readable) != 0 || readable) return;
    if (SendAllSocket(connection.Get(), chunk_.data(), chunk_.size(), nullptr, kTimeoutMs) < 0) {
      return;
    }
  }
}

uint16_t FreePort() {
  ScopedSocket s;
  if (OpenSocket(AddressFamily::kIPv4, SocketType::kStream, s.Receive()) != 0) return 0;
  if (BindSocket(s.Get(), SocketAddress::Loopback(0)) != 0) return 0;
  SocketAddress bound;
  if (SocketLocalAddress(s.Get(), &bound) != 0) return 0;
  return bound.Port();
}

std::string EhloReply(const std::vector<std::string>& extensions) {
  std::string reply = "250";
  reply += extensions.empty() ? " " : "-";
  reply += "mail.test\r\n";
  for (size_t i = 0; i < extensions.size(); ++i) {
    reply += (i + 1 == extensions.size() ? "250 " : "250-") + extensions[i] + "\r\n";
  }
  return reply;
}

}  // namespace cvn::email_test
