// Helpers of the forwarder tests: a scripted syslog receiver on the loopback
// (accepting and reading with time-outs, so that a missing message fails the
// test instead of hanging it), polling, and the service log.
#pragma once

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"

namespace cvn::syslog_test {

// A port on 127.0.0.1 that nobody listens on (bound once, then released).
uint16_t FreePort(platform::SocketType type = platform::SocketType::kStream);

class FakePeer {
 public:
  // Listens on 127.0.0.1:port (0 picks one).
  explicit FakePeer(uint16_t port = 0);
  uint16_t port() const { return port_; }

  // Accepts the next connection (waiting up to 5 s), which becomes the
  // current one; earlier ones stay open. False when none came.
  bool Accept();
  // Reads from the current connection until it holds expected, the peer
  // closes or 5 s pass; returns what arrived.
  std::string ReadUntil(const std::string& expected);
  // Reads until the client closes the connection; returns what arrived.
  std::string ReadToEnd();
  // Closes the current connection from this side.
  void CloseConnection() { Current().Reset(); }

 private:
  platform::ScopedSocket& Current() { return connections_.back(); }

  platform::ScopedSocket listener_;
  std::vector<platform::ScopedSocket> connections_;
  uint16_t port_ = 0;
};

// Polls until done() holds or 10 s pass.
template <class F>
bool Eventually(F done) {
  for (int i = 0; i < 1000 && !done(); ++i) platform::SleepMs(10);
  return done();
}

// A pipe name no other test uses, for a core of its own.
std::u16string UniquePipeName(const char* role);

// Everything in the service's day log files.
std::string ServiceLogs();

}  // namespace cvn::syslog_test
