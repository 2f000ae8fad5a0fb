// CSecureSocket against an in-process TLS server.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "syslog/tls_test_server.h"
#include "transport/secure_socket.h"

namespace cvn {
namespace {

using platform::SocketCalls;
using platform::SocketHandle;
using testing::TlsServerConnection;
using testing::TlsServerOptions;
using testing::TlsTestServer;

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

// Opens, connects and (unless told otherwise) upgrades a client to TLS.
void ConnectClient(CSecureSocket& client, uint16_t port) {
  client.SetPeerCheck(TlsTestServer::TrustingCheck());
  ASSERT_EQ(client.Open(platform::AddressFamily::kIPv4), 0u);
  ASSERT_NE(client.SetReceiveTimeout(), platform::kInvalidSocket);
  ASSERT_EQ(client.Connect(platform::SocketAddress::Loopback(port), 5000), 0u);
}

std::string ReceiveText(CSecureSocket& client, int* result = nullptr) {
  std::vector<char> buf(CSecureSocket::kMaxReceive);
  const int n = client.Receive(buf.data());
  if (result != nullptr) *result = n;
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

class BothVersions : public ::testing::TestWithParam<int> {};

TEST_P(BothVersions, EchoesBothWaysAndEndsWithTheClosingAlert) {
  std::atomic<bool> got_alert{false};
  std::string seen;
  TlsTestServer server({.max_version = GetParam()}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    seen = c.Read(11);
    c.Send("250 " + seen);
    got_alert = c.ReadsClosingAlert();
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost")) << client.LastErrorText();
  EXPECT_TRUE(client.tls_active());
  EXPECT_EQ(client.TlsProtocol(), GetParam() == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3");
  EXPECT_EQ(client.Send("hello world", 11), 11);
  EXPECT_EQ(ReceiveText(client), "250 hello world");
  client.Close();
  EXPECT_FALSE(client.tls_active());
  EXPECT_EQ(client.socket(), platform::kInvalidSocket);
  ASSERT_TRUE(server.Join());
  EXPECT_EQ(seen, "hello world");
  EXPECT_TRUE(got_alert);
}

INSTANTIATE_TEST_SUITE_P(Tls, BothVersions, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const auto& info) {
                           return std::string(info.param == TLS1_2_VERSION ? "Tls12" : "Tls13");
                         });

TEST(SecureSocketTls, UpgradesAConnectionThatStartedPlain) {
  TlsTestServer server({}, [](TlsServerConnection& c) {
    c.SendRaw("220 ready\r\n");
    if (c.ReadRaw(10) != "STARTTLS\r\n") throw 1;
    c.SendRaw("220 go ahead\r\n");
    if (!c.Handshake()) throw 2;
    c.Send("250 " + c.Read(6));
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  EXPECT_EQ(ReceiveText(client), "220 ready\r\n");
  EXPECT_EQ(client.Send("STARTTLS\r\n", 10), 10);
  EXPECT_EQ(ReceiveText(client), "220 go ahead\r\n");
  ASSERT_TRUE(client.StartTls("localhost"));
  EXPECT_EQ(client.Send("EHLO\r\n", 6), 6);
  EXPECT_EQ(ReceiveText(client), "250 EHLO\r\n");
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, RecordSplitOverThreeSegmentsComesBackWhole) {
  const std::string text = Pattern(3000);
  TlsTestServer server({}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.Write(text);
    const std::string record = c.TakeOutput();
    c.SendRaw(record.substr(0, 3));  // part of the record header only
    Pause();
    c.SendRaw(record.substr(3, 1000));
    Pause();
    c.SendRaw(record.substr(1003));
    c.Read(1);
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  EXPECT_EQ(ReceiveText(client), text);
  client.Send("x", 1);
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, TwoRecordsArrivingTogetherAreBothReturned) {
  TlsTestServer server({}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.Write("first record;");
    c.Write("second record");
    c.FlushOutput();  // one send holding both records
    c.Read(1);
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  EXPECT_EQ(ReceiveText(client), "first record;second record");
  client.Send("x", 1);
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, DataSentWithTheLastHandshakeMessageIsReturnedFirst) {
  TlsTestServer server({.max_version = TLS1_2_VERSION}, [&](TlsServerConnection& c) {
    if (!c.Handshake(/*hold_last_flight=*/true)) throw 1;
    c.Write("220 greeting\r\n");
    c.FlushOutput();  // Finished and the greeting in one segment
    c.Read(1);
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  EXPECT_EQ(ReceiveText(client), "220 greeting\r\n");
  client.Send("x", 1);
  EXPECT_TRUE(server.Join());
}

// Reads through the seam until the expected number of wire bytes arrived, so
// a burst of records is decrypted by one Receive however the kernel splits it.
class CoalescingCalls : public SocketCalls {
 public:
  int64_t Receive(SocketHandle s, void* buffer, size_t capacity, uint32_t* error) override {
    ++receives;
    size_t got = 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    do {
      const int64_t n = SocketCalls::Receive(s, bytes + got, capacity - got, error);
      if (n <= 0) return got > 0 ? static_cast<int64_t>(got) : n;
      got += static_cast<size_t>(n);
      total += static_cast<size_t>(n);
    } while (total < wanted_total && got < capacity);
    return static_cast<int64_t>(got);
  }
  std::atomic<size_t> wanted_total{0};
  size_t total = 0;
  int receives = 0;
};

TEST(SecureSocketTls, MoreThan65535DecryptedBytesAreHandedOutOverTwoCalls) {
  const std::string text = Pattern(70000);
  std::atomic<size_t> wire_size{0};
  // TLS 1.2: nothing follows the handshake but the records of the test.
  TlsTestServer server({.max_version = TLS1_2_VERSION}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.Write(text);
    const std::string wire = c.TakeOutput();
    wire_size = wire.size();
    c.SendRaw(wire);
    c.Read(1);
  });
  CoalescingCalls calls;
  platform::ScopedSocketCalls scoped(&calls);
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  while (wire_size == 0) Pause();
  calls.wanted_total = calls.total + wire_size;
  int n = 0;
  const std::string first = ReceiveText(client, &n);
  ASSERT_EQ(n, 65535);
  const int receives = calls.receives;
  const std::string second = ReceiveText(client, &n);
  EXPECT_EQ(n, 70000 - 65535);
  EXPECT_EQ(calls.receives, receives) << "the rest came without reading the socket";
  EXPECT_EQ(first + second, text);
  client.Send("x", 1);
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, SendLargerThan65535ArrivesIntact) {
  const std::string text = Pattern(200000);
  std::string seen;
  TlsTestServer server({}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    seen = c.Read(text.size());
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  EXPECT_EQ(client.Send(text.data(), text.size()), 200000);
  EXPECT_TRUE(server.Join());
  EXPECT_EQ(seen, text);
}

// A server that stops reading: a send with a time limit ends within it.
TEST(SecureSocketTls, SendToAServerThatDoesNotReadEndsAtItsTimeLimit) {
  std::atomic<bool> done{false};
  TlsTestServer server({}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  const std::string text = Pattern(64 * 1024 * 1024);  // more than the connection buffers
  const auto start = std::chrono::steady_clock::now();
  size_t taken = 1;
  EXPECT_EQ(client.Send(text.data(), text.size(), &taken, 400), -1);
  EXPECT_EQ(client.LastError(), err::kWsaTimedOut);
  EXPECT_EQ(taken, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  done = true;
  client.Close();
  EXPECT_TRUE(server.Join());
}

// Accepts at most a few bytes per send, as a congested socket may.
class PartialSendCalls : public SocketCalls {
 public:
  int64_t Send(SocketHandle s, const void* data, size_t length, uint32_t* error) override {
    return SocketCalls::Send(s, data, std::min<size_t>(length, 7), error);
  }
};

TEST(SecureSocketTls, PartialSendsNeverCorruptTheRecordStream) {
  const std::string text = Pattern(70000);
  std::string seen;
  TlsTestServer server({}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    seen = c.Read(text.size());
    c.Send("ok");
  });
  PartialSendCalls partial;
  platform::ScopedSocketCalls scoped(&partial);
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost")) << client.LastErrorText();
  EXPECT_EQ(client.Send(text.data(), text.size()), 70000);
  EXPECT_EQ(ReceiveText(client), "ok");
  EXPECT_TRUE(server.Join());
  EXPECT_EQ(seen, text);
}

// Fails every send once armed, as a connection reset by the peer does.
class ResettingCalls : public SocketCalls {
 public:
  int64_t Send(SocketHandle s, const void* data, size_t length, uint32_t* error) override {
    if (armed) {
      *error = err::kWsaConnectionReset;
      return -1;
    }
    return SocketCalls::Send(s, data, length, error);
  }
  int64_t Receive(SocketHandle s, void* buffer, size_t capacity, uint32_t* error) override {
    if (armed) {
      *error = err::kWsaConnectionReset;
      return -1;
    }
    return SocketCalls::Receive(s, buffer, capacity, error);
  }
  bool armed = false;
};

TEST(SecureSocketTls, ResetDuringSendOrReceiveIsMinusOneWithTheSocketError) {
  TlsTestServer server({}, [](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.Read(1);
  });
  ResettingCalls resetting;
  platform::ScopedSocketCalls scoped(&resetting);
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  resetting.armed = true;
  EXPECT_EQ(client.Send("message", 7), -1);
  EXPECT_EQ(client.LastError(), err::kWsaConnectionReset);
  EXPECT_EQ(platform::SocketLastError(), err::kWsaConnectionReset);
  int n = 0;
  ReceiveText(client, &n);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(client.LastError(), err::kWsaConnectionReset);
  EXPECT_EQ(client.LastErrorText(),
            "An existing connection was forcibly closed by the remote host.");
  resetting.armed = false;
  client.Close();
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, PeerClosingMidHandshakeFailsWith240) {
  TlsTestServer server({}, [](TlsServerConnection& c) {
    c.ReadRawChunk();  // the ClientHello
    c.CloseSocket();
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  EXPECT_FALSE(client.StartTls("localhost"));
  EXPECT_EQ(client.LastError(), err::kVcDisconnected);
  EXPECT_EQ(platform::SocketLastError(), err::kVcDisconnected);
  EXPECT_FALSE(client.tls_active());
  client.Close();
  EXPECT_TRUE(server.Join());
}

// A server that answers a byte at a time never lets one receive wait long:
// only the handshake's own time limit ends it.
TEST(SecureSocketTls, HandshakeThatTricklesEndsAtItsTimeLimit) {
  TlsTestServer server({}, [](TlsServerConnection& c) {
    c.ReadRawChunk();  // the ClientHello
    // The header of a 16 KiB handshake record, then its body, a byte each 50 ms.
    const std::string header("\x16\x03\x03\x40\x00", 5);
    for (int i = 0; i < 40; ++i) {
      c.SendRaw(i < 5 ? header.substr(i, 1) : std::string("x"));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.StartTls("localhost", 400));
  EXPECT_EQ(client.LastError(), err::kWsaTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  client.Close();
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, ServerSpeakingNoTlsFailsTheHandshake) {
  TlsTestServer server({}, [](TlsServerConnection& c) {
    c.ReadRawChunk();
    c.SendRaw("220 this is not TLS\r\n");
    c.ReadRawChunk();  // until the client gives up
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  EXPECT_FALSE(client.StartTls("localhost"));
  EXPECT_NE(client.LastError(), 0u);
  EXPECT_FALSE(client.LastErrorText().empty());
  client.Close();
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, ServerOfferingOnlyOldProtocolsIsRefused) {
  TlsTestServer server({.min_version = TLS1_VERSION, .max_version = TLS1_1_VERSION},
                       [](TlsServerConnection& c) { c.Handshake(); });
  CSecureSocket client;
  ConnectClient(client, server.port());
  EXPECT_FALSE(client.StartTls("localhost"));
  EXPECT_EQ(client.LastError(), err::kSecAlgorithmMismatch) << client.LastErrorText();
  client.Close();
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, ServerRequiringAClientCertificateFailsWithIncompleteCredentials) {
  TlsTestServer server({.max_version = TLS1_2_VERSION, .require_client_cert = true},
                       [](TlsServerConnection& c) { c.Handshake(); });
  CSecureSocket client;
  ConnectClient(client, server.port());
  EXPECT_FALSE(client.StartTls("localhost"));
  EXPECT_EQ(client.LastError(), err::kSecIncompleteCredentials) << client.LastErrorText();
  client.Close();
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, ServerMerelyAskingForAClientCertificateIsServed) {
  TlsTestServer server({.request_client_cert = true}, [](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.Send(c.Read(4));
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost")) << client.LastErrorText();
  EXPECT_EQ(client.Send("ping", 4), 4);
  EXPECT_EQ(ReceiveText(client), "ping");
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, ReceiveTimeOutKeepsAPartialRecordForTheNextCall) {
  std::atomic<bool> timed_out{false};
  TlsTestServer server({}, [&](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.Write("complete at last");
    const std::string record = c.TakeOutput();
    c.SendRaw(record.substr(0, 10));
    while (!timed_out) Pause();
    c.SendRaw(record.substr(10));
    c.Read(1);
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  // Shorter than the 10 s that SetReceiveTimeout sets, to keep the test quick.
  platform::SetSocketReceiveTimeout(client.socket(), 100);
  int n = 0;
  ReceiveText(client, &n);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(client.LastError(), err::kWsaTimedOut);
  timed_out = true;
  platform::SetSocketReceiveTimeout(client.socket(), 10000);
  EXPECT_EQ(ReceiveText(client), "complete at last");
  client.Send("x", 1);
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, PeerClosingAlertReadsAsZeroWithContextExpired) {
  TlsTestServer server({}, [](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.Send("bye");
    c.SendClosingAlert();
    c.Read(1);
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  std::string got;
  int n = 0;
  do {
    got += ReceiveText(client, &n);
  } while (n > 0);
  EXPECT_EQ(got, "bye");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(client.LastError(), err::kSecContextExpired);
  client.Close();
  EXPECT_TRUE(server.Join());
}

TEST(SecureSocketTls, ConnectionEndingWithoutAlertReadsAsZero) {
  TlsTestServer server({}, [](TlsServerConnection& c) {
    if (!c.Handshake()) throw 1;
    c.CloseSocket();
  });
  CSecureSocket client;
  ConnectClient(client, server.port());
  ASSERT_TRUE(client.StartTls("localhost"));
  int n = -2;
  ReceiveText(client, &n);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(server.Join());
}

}  // namespace
}  // namespace cvn
