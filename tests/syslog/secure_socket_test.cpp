// CSecureSocket on plain connections (no TLS server needed).
#include "transport/secure_socket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cvn {
namespace {

using platform::ScopedSocket;

// A listener on 127.0.0.1, a client CSecureSocket connected to it and the
// accepted server end.
struct PlainPair {
  ScopedSocket listener;
  ScopedSocket server;
  CSecureSocket client;

  PlainPair() {
    platform::SocketAddress address;
    EXPECT_EQ(platform::OpenSocket(platform::AddressFamily::kIPv4, platform::SocketType::kStream,
                                   listener.Receive()),
              0u);
    EXPECT_EQ(platform::BindSocket(listener.Get(), platform::SocketAddress::Loopback(0)), 0u);
    EXPECT_EQ(platform::ListenSocket(listener.Get()), 0u);
    EXPECT_EQ(platform::SocketLocalAddress(listener.Get(), &address), 0u);
    EXPECT_EQ(client.Open(platform::AddressFamily::kIPv4), 0u);
    EXPECT_EQ(client.SetReceiveTimeout(), client.socket());
    EXPECT_EQ(client.Connect(address, 5000), 0u);
    EXPECT_EQ(platform::AcceptSocket(listener.Get(), server.Receive()), 0u);
  }
};

std::string ReceiveText(CSecureSocket& s, int* result) {
  std::vector<char> buf(CSecureSocket::kMaxReceive);
  *result = s.Receive(buf.data());
  return *result > 0 ? std::string(buf.data(), static_cast<size_t>(*result)) : std::string();
}

TEST(SecureSocketPlain, BytesPassStraightThroughAndPeerCloseReadsAsZero) {
  PlainPair p;
  EXPECT_FALSE(p.client.tls_active());
  EXPECT_EQ(p.client.Send("HELO x\r\n", 8), 8);
  char buf[16] = {};
  EXPECT_EQ(platform::ReceiveSocket(p.server.Get(), buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), "HELO x\r\n");

  EXPECT_EQ(platform::SendAllSocket(p.server.Get(), "250 ok\r\n", 8), 8);
  int n = 0;
  EXPECT_EQ(ReceiveText(p.client, &n), "250 ok\r\n");
  p.server.Reset();
  ReceiveText(p.client, &n);
  EXPECT_EQ(n, 0);
}

TEST(SecureSocketPlain, ReceiveAsksForAtMost65535Bytes) {
  PlainPair p;
  const std::string big(100000, 'b');
  std::string got;
  const int64_t sent = platform::SendAllSocket(p.server.Get(), big.data(), big.size());
  ASSERT_EQ(sent, static_cast<int64_t>(big.size()));
  while (got.size() < big.size()) {
    int n = 0;
    const std::string part = ReceiveText(p.client, &n);
    ASSERT_GT(n, 0);
    EXPECT_LE(n, 65535);
    got += part;
  }
  EXPECT_EQ(got, big);
}

TEST(SecureSocketPlain, ReceiveTimeOutIsMinusOneWith10060) {
  PlainPair p;
  platform::SetSocketReceiveTimeout(p.client.socket(), 100);
  int n = 0;
  ReceiveText(p.client, &n);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(p.client.LastError(), err::kWsaTimedOut);
  EXPECT_EQ(platform::SocketLastError(), err::kWsaTimedOut);
  EXPECT_FALSE(p.client.LastErrorText().empty());
}

TEST(SecureSocketPlain, CloseReleasesTheSocketAndCanBeRepeated) {
  PlainPair p;
  p.client.Shutdown();
  int n = -2;
  char buf[4];
  EXPECT_EQ(platform::ReceiveSocket(p.server.Get(), buf, sizeof(buf)), 0) << "shut down";
  p.client.Close();
  EXPECT_EQ(p.client.socket(), platform::kInvalidSocket);
  p.client.Close();
  EXPECT_EQ(p.client.Send("x", 1), -1);
  ReceiveText(p.client, &n);
  EXPECT_EQ(n, -1);
}

TEST(SecureSocketPlain, FailuresWithoutAConnection) {
  CSecureSocket s;
  EXPECT_EQ(s.SetReceiveTimeout(), platform::kInvalidSocket);
  EXPECT_FALSE(s.StartTls("localhost"));
  EXPECT_EQ(s.LastError(), err::kWsaNotSocket);
  EXPECT_EQ(s.Connect(platform::SocketAddress::Loopback(1)), err::kWsaNotSocket);

  // A refused connection reports the socket error.
  ASSERT_EQ(s.Open(platform::AddressFamily::kIPv4), 0u);
  ScopedSocket probe;
  platform::SocketAddress free_port;
  ASSERT_EQ(platform::OpenSocket(platform::AddressFamily::kIPv4, platform::SocketType::kStream,
                                 probe.Receive()),
            0u);
  ASSERT_EQ(platform::BindSocket(probe.Get(), platform::SocketAddress::Loopback(0)), 0u);
  ASSERT_EQ(platform::SocketLocalAddress(probe.Get(), &free_port), 0u);
  probe.Reset();
  EXPECT_EQ(s.Connect(free_port, 5000), err::kWsaConnectionRefused);
  EXPECT_EQ(s.LastError(), err::kWsaConnectionRefused);
}

}  // namespace
}  // namespace cvn
