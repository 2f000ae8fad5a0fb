// A scripted syslog receiver on the loopback: the test accepts connections
// and reads what arrived, in its own thread, with time-outs so that a missing
// message fails the test instead of hanging it.
#pragma once

#include <string>
#include <vector>

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

// A UDP receiver on 127.0.0.1.
class UdpPeer {
 public:
  UdpPeer();
  uint16_t port() const { return port_; }
  // The next datagram, or empty after 5 s.
  std::string Receive();

 private:
  platform::ScopedSocket socket_;
  uint16_t port_ = 0;
};

}  // namespace cvn::syslog_test
