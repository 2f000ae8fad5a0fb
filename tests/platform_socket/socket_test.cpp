#include "platform/socket.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace cvn::platform {
namespace {

// A TCP listener on 127.0.0.1 with a port chosen by the system.
struct Listener {
  ScopedSocket socket;
  SocketAddress address;

  Listener() {
    EXPECT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kStream, socket.Receive()), 0u);
    EXPECT_EQ(BindSocket(socket.Get(), SocketAddress::Loopback(0)), 0u);
    EXPECT_EQ(ListenSocket(socket.Get()), 0u);
    EXPECT_EQ(SocketLocalAddress(socket.Get(), &address), 0u);
  }
};

// A connected pair: client and the accepted server end.
struct Connection {
  Listener listener;
  ScopedSocket client;
  ScopedSocket server;

  Connection() {
    EXPECT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kStream, client.Receive()), 0u);
    EXPECT_EQ(ConnectSocket(client.Get(), listener.address, 5000), 0u);
    EXPECT_EQ(AcceptSocket(listener.socket.Get(), server.Receive()), 0u);
  }
};

std::string ReceiveExactly(SocketHandle s, size_t count) {
  std::string got;
  char buf[4096];
  while (got.size() < count) {
    const int64_t n = ReceiveSocket(s, buf, std::min(sizeof(buf), count - got.size()));
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(SocketResolve, NumericAddressGivesItsFamilyAndPort) {
  std::vector<ResolvedAddress> list;
  ASSERT_EQ(ResolveAddress("127.0.0.1", "514", &list), 0u);
  ASSERT_FALSE(list.empty());
  for (const ResolvedAddress& a : list) {
    EXPECT_EQ(a.family, AddressFamily::kIPv4);
    EXPECT_EQ(a.address.Port(), 514);
    EXPECT_EQ(a.address.ToString(), "127.0.0.1:514");
  }
}

TEST(SocketResolve, HintsSelectTheSocketType) {
  std::vector<ResolvedAddress> list;
  ResolveHints hints;
  hints.type = SocketType::kDatagram;
  ASSERT_EQ(ResolveAddress("127.0.0.1", "6514", &list, hints), 0u);
  ASSERT_FALSE(list.empty());
  for (const ResolvedAddress& a : list) EXPECT_EQ(a.type, SocketType::kDatagram);
}

TEST(SocketResolve, BadServiceOrNameFailsWithASocketsError) {
  std::vector<ResolvedAddress> list;
  const uint32_t r = ResolveAddress("", "", &list);
  EXPECT_NE(r, 0u);
  EXPECT_EQ(SocketLastError(), r);
  EXPECT_TRUE(list.empty());
}

TEST(SocketAddressText, LoopbackOfBothFamilies) {
  EXPECT_EQ(SocketAddress::Loopback(25).ToString(), "127.0.0.1:25");
  EXPECT_EQ(SocketAddress::Loopback(6514, AddressFamily::kIPv6).ToString(), "[::1]:6514");
  EXPECT_EQ(SocketAddress().ToString(), "");
  EXPECT_EQ(SocketAddress().Port(), 0);
}

TEST(SocketUdp, ConnectedDatagramArrivesWhole) {
  ScopedSocket receiver;
  ASSERT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kDatagram, receiver.Receive()), 0u);
  ASSERT_EQ(BindSocket(receiver.Get(), SocketAddress::Loopback(0)), 0u);
  SocketAddress to;
  ASSERT_EQ(SocketLocalAddress(receiver.Get(), &to), 0u);
  ASSERT_NE(to.Port(), 0);

  ScopedSocket sender;
  ASSERT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kDatagram, sender.Receive()), 0u);
  ASSERT_EQ(ConnectSocket(sender.Get(), to), 0u);
  const std::string message = "<13>first datagram\n";
  EXPECT_EQ(SendSocket(sender.Get(), message.data(), message.size()),
            static_cast<int64_t>(message.size()));
  ASSERT_EQ(SetSocketReceiveTimeout(receiver.Get(), 5000), 0u);
  char buf[256];
  const int64_t n = ReceiveSocket(receiver.Get(), buf, sizeof(buf));
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), message);

  // An unconnected socket names the destination per datagram.
  ScopedSocket other;
  ASSERT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kDatagram, other.Receive()), 0u);
  EXPECT_EQ(SendToSocket(other.Get(), "x", 1, to), 1);
  EXPECT_EQ(ReceiveSocket(receiver.Get(), buf, sizeof(buf)), 1);
}

TEST(SocketUdp, DatagramsKeepTheirBoundaries) {
  ScopedSocket receiver;
  ASSERT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kDatagram, receiver.Receive()), 0u);
  ASSERT_EQ(BindSocket(receiver.Get(), SocketAddress::Loopback(0)), 0u);
  SocketAddress to;
  ASSERT_EQ(SocketLocalAddress(receiver.Get(), &to), 0u);
  ScopedSocket sender;
  ASSERT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kDatagram, sender.Receive()), 0u);
  ASSERT_EQ(ConnectSocket(sender.Get(), to), 0u);
  ASSERT_EQ(SendSocket(sender.Get(), "one", 3), 3);
  ASSERT_EQ(SendSocket(sender.Get(), "three", 5), 5);
  ASSERT_EQ(SetSocketReceiveTimeout(receiver.Get(), 5000), 0u);
  char buf[64];
  EXPECT_EQ(ReceiveSocket(receiver.Get(), buf, sizeof(buf)), 3);
  EXPECT_EQ(std::string(buf, 3), "one");
  EXPECT_EQ(ReceiveSocket(receiver.Get(), buf, sizeof(buf)), 5);
  EXPECT_EQ(std::string(buf, 5), "three");
}

TEST(SocketTcp, BytesFlowBothWaysAndPeerCloseReadsAsZero) {
  Connection c;
  const std::string request = "EHLO host\r\n";
  EXPECT_EQ(SendAllSocket(c.client.Get(), request.data(), request.size()),
            static_cast<int64_t>(request.size()));
  EXPECT_EQ(ReceiveExactly(c.server.Get(), request.size()), request);
  const std::string reply(100000, 'r');
  std::thread writer([&] { SendAllSocket(c.server.Get(), reply.data(), reply.size()); });
  EXPECT_EQ(ReceiveExactly(c.client.Get(), reply.size()), reply);
  writer.join();

  c.server.Reset();
  char buf[16];
  EXPECT_EQ(ReceiveSocket(c.client.Get(), buf, sizeof(buf)), 0);
}

TEST(SocketTcp, ShutdownOfTheSendSideEndsThePeersStream) {
  Connection c;
  ASSERT_EQ(SendAllSocket(c.client.Get(), "bye", 3), 3);
  ASSERT_EQ(ShutdownSocket(c.client.Get(), ShutdownHow::kSend), 0u);
  EXPECT_EQ(ReceiveExactly(c.server.Get(), 3), "bye");
  char buf[16];
  EXPECT_EQ(ReceiveSocket(c.server.Get(), buf, sizeof(buf)), 0);
}

TEST(SocketTcp, ReceiveTimeOutIs10060) {
  Connection c;
  ASSERT_EQ(SetSocketReceiveTimeout(c.client.Get(), 100), 0u);
  char buf[16];
  EXPECT_EQ(ReceiveSocket(c.client.Get(), buf, sizeof(buf)), -1);
  EXPECT_EQ(SocketLastError(), err::kWsaTimedOut);
  // The connection stays usable after a time-out.
  ASSERT_EQ(SendAllSocket(c.server.Get(), "late", 4), 4);
  ASSERT_EQ(SetSocketReceiveTimeout(c.client.Get(), 5000), 0u);
  EXPECT_EQ(ReceiveExactly(c.client.Get(), 4), "late");
}

// What the peer has received is no longer unacknowledged; a system that
// cannot tell says so (Wine, Windows before 10 1703).
TEST(SocketTcp, UnacknowledgedBytesEndAtZeroOnceThePeerHasThem) {
  Connection c;
  ASSERT_EQ(SetSocketSendBuffer(c.client.Get(), 256 * 1024), 0u);
  size_t unacknowledged = 1;
  const uint32_t error = SocketUnacknowledgedBytes(c.client.Get(), &unacknowledged);
  if (error == err::kWsaOperationNotSupported) {
    GTEST_SKIP() << "the system does not tell the unacknowledged bytes of a connection";
  }
  ASSERT_EQ(error, 0u);
  EXPECT_EQ(unacknowledged, 0u);
  const std::string data(100000, 'd');
  std::thread reader([&] { EXPECT_EQ(ReceiveExactly(c.server.Get(), data.size()), data); });
  ASSERT_EQ(SendAllSocket(c.client.Get(), data.data(), data.size()),
            static_cast<int64_t>(data.size()));
  reader.join();
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(SocketUnacknowledgedBytes(c.client.Get(), &unacknowledged), 0u);
    if (unacknowledged == 0) break;
    SleepMs(10);
  }
  EXPECT_EQ(unacknowledged, 0u);
  EXPECT_NE(SocketUnacknowledgedBytes(kInvalidSocket, &unacknowledged), 0u);
}

TEST(SocketTcp, Ipv6LoopbackWhereTheSystemHasIt) {
  ScopedSocket listener;
  if (OpenSocket(AddressFamily::kIPv6, SocketType::kStream, listener.Receive()) != 0 ||
      BindSocket(listener.Get(), SocketAddress::Loopback(0, AddressFamily::kIPv6)) != 0) {
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  ASSERT_EQ(ListenSocket(listener.Get()), 0u);
  SocketAddress address;
  ASSERT_EQ(SocketLocalAddress(listener.Get(), &address), 0u);
  EXPECT_EQ(address.family, AddressFamily::kIPv6);
  EXPECT_EQ(address.ToString(), "[::1]:" + std::to_string(address.Port()));
  std::vector<ResolvedAddress> list;
  ASSERT_EQ(ResolveAddress("::1", std::to_string(address.Port()), &list), 0u);
  ASSERT_FALSE(list.empty());
  ScopedSocket client;
  ASSERT_EQ(OpenSocket(list[0].family, SocketType::kStream, client.Receive()), 0u);
  ASSERT_EQ(ConnectSocket(client.Get(), list[0].address, 5000), 0u);
  ScopedSocket server;
  ASSERT_EQ(AcceptSocket(listener.Get(), server.Receive()), 0u);
  ASSERT_EQ(SendAllSocket(client.Get(), "v6", 2), 2);
  EXPECT_EQ(ReceiveExactly(server.Get(), 2), "v6");
}

TEST(SocketTcp, ConnectToAClosedPortIsRefused) {
  SocketAddress unused;
  {
    Listener l;  // a port that is free again once the listener is closed
    unused = l.address;
  }
  ScopedSocket s;
  ASSERT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kStream, s.Receive()), 0u);
  EXPECT_EQ(ConnectSocket(s.Get(), unused, 5000), err::kWsaConnectionRefused);
  EXPECT_EQ(SocketLastError(), err::kWsaConnectionRefused);
}

TEST(SocketTcp, OperationsOnNoSocketFail) {
  char buf[4];
  EXPECT_EQ(CloseSocket(kInvalidSocket), err::kWsaNotSocket);
  EXPECT_EQ(SendSocket(kInvalidSocket, buf, 1), -1);
  EXPECT_EQ(SocketLastError(), err::kWsaNotSocket);
  EXPECT_EQ(ReceiveSocket(kInvalidSocket, buf, sizeof(buf)), -1);
  EXPECT_EQ(SocketLastError(), err::kWsaNotSocket);
}

// The seam: a replacement sees every call and can fail or shorten it.
class ChoppingCalls : public SocketCalls {
 public:
  int64_t Send(SocketHandle s, const void* data, size_t length, uint32_t* error) override {
    ++sends;
    return SocketCalls::Send(s, data, std::min<size_t>(length, 5), error);
  }
  uint32_t Resolve(std::string_view, std::string_view, const ResolveHints&,
                   std::vector<ResolvedAddress>*) override {
    return err::kWsaHostNotFound;
  }
  int sends = 0;
};

TEST(SocketSeam, ReplacementSeesCallsAndPartialSendsAreRepeated) {
  Connection c;
  ChoppingCalls chopping;
  {
    ScopedSocketCalls scoped(&chopping);
    const std::string text = "a message of forty-two bytes, more or less";
    EXPECT_EQ(SendAllSocket(c.client.Get(), text.data(), text.size()),
              static_cast<int64_t>(text.size()));
    EXPECT_EQ(chopping.sends, static_cast<int>((text.size() + 4) / 5));
    EXPECT_EQ(ReceiveExactly(c.server.Get(), text.size()), text);

    std::vector<ResolvedAddress> list;
    EXPECT_EQ(ResolveAddress("127.0.0.1", "1", &list), err::kWsaHostNotFound);
    EXPECT_EQ(SocketLastError(), err::kWsaHostNotFound);
  }
  std::vector<ResolvedAddress> list;
  EXPECT_EQ(ResolveAddress("127.0.0.1", "1", &list), 0u) << "the real calls are back";
}

TEST(SocketErrorTexts, KnownNumbersHaveTheSystemWording) {
  EXPECT_EQ(SocketErrorText(err::kWsaConnectionRefused),
            "No connection could be made because the target machine actively refused it.");
  EXPECT_EQ(SocketErrorText(err::kWsaHostNotFound), "No such host is known.");
  EXPECT_FALSE(SocketErrorText(err::kWsaTimedOut).empty());
  EXPECT_EQ(SocketErrorText(2), "");
}

}  // namespace
}  // namespace cvn::platform
