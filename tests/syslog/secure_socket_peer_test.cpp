// CSecureSocket against a TLS server in another process (openssl s_server,
// started by run_with_tls_peer.sh). This is how the Windows build tests its
// TLS client: under Wine the server runs as a native program beside it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "platform/environment.h"
#include "syslog/secure_socket.h"

namespace cvn {
namespace {

uint16_t PeerPort() {
  const std::u16string text = platform::GetEnvironmentValue(u"CVN_TLS_PEER_PORT");
  uint32_t port = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return 0;
    port = port * 10 + static_cast<uint32_t>(c - u'0');
  }
  return port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
}

class SecureSocketPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = PeerPort();
    if (port_ == 0) {
      GTEST_SKIP() << "no TLS server: CVN_TLS_PEER_PORT is not set (run through ctest, whose "
                      "run_with_tls_peer.sh starts openssl s_server)";
    }
  }

  void Connect(CSecureSocket& client) {
    ASSERT_EQ(client.Open(platform::AddressFamily::kIPv4), 0u);
    client.SetReceiveTimeout();
    ASSERT_EQ(client.Connect(platform::SocketAddress::Loopback(port_), 5000), 0u);
    ASSERT_TRUE(client.StartTls("localhost"))
        << "error " << client.LastError() << ": " << client.LastErrorText();
  }

  // Receives until the text ends with a line end (or the peer stops).
  static std::string ReceiveLines(CSecureSocket& client, size_t line_count) {
    std::string got;
    std::vector<char> buf(CSecureSocket::kMaxReceive);
    size_t lines = 0;
    while (lines < line_count) {
      const int n = client.Receive(buf.data());
      if (n <= 0) break;
      for (int i = 0; i < n; ++i) lines += buf[static_cast<size_t>(i)] == '\n' ? 1 : 0;
      got.append(buf.data(), static_cast<size_t>(n));
    }
    return got;
  }

  uint16_t port_ = 0;
};

TEST_F(SecureSocketPeer, HandshakeNegotiatesAModernProtocolAndEchoes) {
  CSecureSocket client;
  Connect(client);
  const std::string protocol = client.TlsProtocol();
  EXPECT_TRUE(protocol == "TLSv1.2" || protocol == "TLSv1.3") << protocol;
  EXPECT_EQ(client.Send("hello world\n", 12), 12);
  EXPECT_EQ(ReceiveLines(client, 1), "dlrow olleh\n");
  client.Close();
  EXPECT_FALSE(client.tls_active());
}

TEST_F(SecureSocketPeer, SeveralLinesAndSeveralConnections) {
  for (int round = 0; round < 3; ++round) {
    CSecureSocket client;
    Connect(client);
    const std::string long_line(5000, static_cast<char>('a' + round));
    const std::string text = "abc\n" + long_line + "\nxyz\n";
    EXPECT_EQ(client.Send(text.data(), text.size()), static_cast<int>(text.size()));
    EXPECT_EQ(ReceiveLines(client, 3), "cba\n" + long_line + "\nzyx\n");
    client.Shutdown();
    client.Close();
  }
}

TEST_F(SecureSocketPeer, MoreThan65535BytesEachWayInOneSend) {
  CSecureSocket client;
  Connect(client);
  std::string text;
  std::string reversed;
  for (int i = 0; i < 2000; ++i) {
    std::string line = "line " + std::to_string(100000 + i) + " of the bulk test, padded....";
    text += line + "\n";
    reversed += std::string(line.rbegin(), line.rend()) + "\n";
  }
  ASSERT_GT(text.size(), 65535u);
  EXPECT_EQ(client.Send(text.data(), text.size()), static_cast<int>(text.size()));
  EXPECT_EQ(ReceiveLines(client, 2000), reversed);
  client.Close();
}

}  // namespace
}  // namespace cvn
