// CSecureSocket against a TLS server in another process (openssl s_server,
// started by run_with_tls_peer.sh). This is how the Windows build tests its
// TLS client: under Wine the server runs as a native program beside it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "platform/environment.h"
#include "transport/secure_socket.h"

namespace cvn {
namespace {

uint16_t PeerPort(const char16_t* variable = u"CVN_TLS_PEER_PORT") {
  const std::u16string text = platform::GetEnvironmentValue(variable);
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

  // A file of the test CA's folder.
  static std::string TestFile(const char* name) {
    return Utf16ToUtf8(platform::GetEnvironmentValue(u"CVN_TLS_DIR")) + "/" + name;
  }

  static platform::TlsPeerCheck TrustTestCa() {
    platform::TlsPeerCheck check;
    check.ca_file = TestFile("ca.pem");
    return check;
  }

  static void Open(CSecureSocket& client, uint16_t port) {
    ASSERT_EQ(client.Open(platform::AddressFamily::kIPv4), 0u);
    client.SetReceiveTimeout();
    ASSERT_EQ(client.Connect(platform::SocketAddress::Loopback(port), 5000), 0u);
  }

  void Connect(CSecureSocket& client) {
    client.SetPeerCheck(TrustTestCa());
    Open(client, port_);
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

struct CertificateCase {
  const char* label;
  const char16_t* port;  // the variable that holds the server's port
  const char* ca_file;   // in the test CA's folder; empty: the system's store
  uint32_t level;
  const char* server_name;
  bool client_certificate;
  const char* refusal;  // a part of the reason; nullptr: the echo works
};

const CertificateCase kCertificateCases[] = {
    {"ours, by the system's roots", u"CVN_TLS_PEER_PORT", "", 2, "localhost", false,
     "certificate verify failed"},
    {"trusted for its name", u"CVN_TLS_PEER_PORT", "ca.pem", 2, "localhost", false, nullptr},
    {"trusted for its address", u"CVN_TLS_PEER_PORT", "ca.pem", 2, "127.0.0.1", false, nullptr},
    {"for another name", u"CVN_TLS_WRONG_NAME_PORT", "ca.pem", 2, "127.0.0.1", false,
     "the certificate is for attacker.invalid, not 127.0.0.1"},
    {"another name, chain only", u"CVN_TLS_WRONG_NAME_PORT", "ca.pem", 1, "127.0.0.1", false,
     nullptr},
    {"expired", u"CVN_TLS_EXPIRED_PORT", "ca.pem", 2, "localhost", false, "expired"},
    {"self-signed", u"CVN_TLS_SELF_SIGNED_PORT", "ca.pem", 2, "localhost", false,
     "certificate verify failed"},
    {"self-signed, unchecked", u"CVN_TLS_SELF_SIGNED_PORT", "", 0, "localhost", false, nullptr},
    {"CA file missing", u"CVN_TLS_PEER_PORT", "missing.pem", 2, "localhost", false,
     "missing.pem: not found"},
    {"client certificate required", u"CVN_TLS_MUTUAL_PORT", "ca.pem", 2, "localhost", false, ""},
    {"client certificate given", u"CVN_TLS_MUTUAL_PORT", "ca.pem", 2, "localhost", true, nullptr},
};

TEST_F(SecureSocketPeer, CertificatesAreCheckedAsConfigured) {
  for (const CertificateCase& c : kCertificateCases) {
    SCOPED_TRACE(c.label);
    if (c.client_certificate && !platform::TlsClientCertificateFilesSupported()) continue;
    const uint16_t port = PeerPort(c.port);
    ASSERT_NE(port, 0);
    platform::TlsPeerCheck check;
    check.level = c.level;
    if (*c.ca_file != '\0') check.ca_file = TestFile(c.ca_file);
    if (c.client_certificate) {
      check.cert_file = TestFile("client.pem");
      check.key_file = TestFile("client.key");
    }
    CSecureSocket client;
    client.SetPeerCheck(check);
    Open(client, port);
    const bool handshake = client.StartTls(c.server_name);
    // A server that refuses the client's certificate may say so only after
    // the client finished its handshake: the echo shows it.
    const bool echoed =
        handshake && client.Send("hello\n", 6) == 6 && ReceiveLines(client, 1) == "olleh\n";
    if (c.refusal == nullptr) {
      EXPECT_TRUE(echoed) << client.LastError() << ": " << client.LastErrorText();
    } else {
      EXPECT_FALSE(echoed);
      if (!handshake) {
        EXPECT_NE(client.LastErrorText().find(c.refusal), std::string::npos)
            << client.LastErrorText();
      }
    }
    client.Close();
  }
}

}  // namespace
}  // namespace cvn
