// The HTTP responder against clients on the platform's own sockets, on
// loopback with a port chosen by the system.
#include "platform/http_responder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"

namespace cvn::platform {
namespace {

TEST(ListenAddress, ParsesTheForms) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"127.0.0.1:9273", true, "127.0.0.1", 9273},
      {"[::1]:9273", true, "::1", 9273},
      {":9273", true, "", 9273},
      {"localhost:0", true, "localhost", 0},
      {"127.0.0.1", false, "", 0},
      {"::1:9273", false, "", 0},  // a v6 address needs brackets
      {"[]:9273", false, "", 0},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"127.0.0.1:92x", false, "", 0},
      {"127.0.0.1:-1", false, "", 0},
  };
  for (const Case& c : cases) {
    ListenAddress a;
    EXPECT_EQ(ParseListenAddress(c.text, a), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(a.host, c.host) << c.text;
    EXPECT_EQ(a.port, c.port) << c.text;
  }
}

class HttpResponderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    responder_.SetRequestTimeoutForTesting(300);
    ASSERT_EQ(responder_.Start("127.0.0.1:0", {"/metrics", "text/plain; version=0.0.4",
                                               [this] {
                                                 ++served_;
                                                 return std::string("a_metric 1\n");
                                               }}),
              0u);
    ASSERT_NE(responder_.Port(), 0);
  }

  // A client connected to the responder (receive deadline 5 s).
  ScopedSocket Connect() {
    ScopedSocket s;
    EXPECT_EQ(OpenSocket(AddressFamily::kIPv4, SocketType::kStream, s.Receive()), 0u);
    EXPECT_EQ(ConnectSocket(s.Get(), SocketAddress::Loopback(responder_.Port()), 5000), 0u);
    EXPECT_EQ(SetSocketReceiveTimeout(s.Get(), 5000), 0u);
    return s;
  }
  // Everything the responder sends until it closes ("" when it sent
  // nothing); expects the close, not the client's receive deadline.
  static std::string ReadAll(SocketHandle s) {
    std::string got;
    char buf[4096];
    for (;;) {
      const int64_t n = ReceiveSocket(s, buf, sizeof buf);
      EXPECT_GE(n, 0) << "the responder did not close the connection";
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  std::string Exchange(const std::string& request) {
    ScopedSocket s = Connect();
    EXPECT_EQ(SendSocket(s.Get(), request.data(), request.size()),
              static_cast<int64_t>(request.size()));
    return ReadAll(s.Get());
  }

  HttpResponder responder_;
  std::atomic<int> served_{0};
};

TEST_F(HttpResponderTest, AnswersTheRequestsByPathAndMethod) {
  struct Case {
    const char* request;
    const char* status_line;
  };
  const Case cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
      {"GET /metrics/x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
      {"POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
      {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
      {"nonsense\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
  };
  for (const Case& c : cases) {
    const std::string answer = Exchange(c.request);
    EXPECT_EQ(answer.substr(0, answer.find("\r\n") + 2), c.status_line) << c.request;
  }
  EXPECT_EQ(served_, 2);
  const std::string ok = Exchange("GET /metrics HTTP/1.1\r\n\r\n");
  EXPECT_NE(ok.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos) << ok;
  EXPECT_NE(ok.find("\r\nContent-Length: 11\r\n"), std::string::npos) << ok;
  EXPECT_EQ(ok.substr(ok.size() - 11), "a_metric 1\n");
}

TEST_F(HttpResponderTest, ARequestInPiecesIsServed) {
  ScopedSocket s = Connect();
  for (const char* piece : {"GET /met", "rics HTTP/1.1\r\n", "\r\n"}) {
    const std::string text = piece;
    ASSERT_EQ(SendSocket(s.Get(), text.data(), text.size()), static_cast<int64_t>(text.size()));
    SleepMs(20);
  }
  EXPECT_EQ(ReadAll(s.Get()).substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(HttpResponderTest, AClientThatSendsNothingIsClosedAtTheDeadline) {
  // Closed by the 300 ms deadline, before the client's own 5 s.
  ScopedSocket s = Connect();
  EXPECT_EQ(ReadAll(s.Get()), "");
  EXPECT_EQ(served_, 0);
}

TEST_F(HttpResponderTest, ATooLongRequestIsRefused) {
  const std::string request =
      "GET /metrics HTTP/1.1\r\nX: " + std::string(HttpResponder::kMaxRequestBytes, 'a');
  const std::string answer = Exchange(request);
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 431") << answer.substr(0, 40);
  EXPECT_EQ(served_, 0);
}

TEST_F(HttpResponderTest, ConnectionsBeyondTheBoundAreClosedAndTheOthersServed) {
  std::vector<ScopedSocket> idle;
  for (size_t i = 0; i < HttpResponder::kMaxConnections; ++i) idle.push_back(Connect());
  SleepMs(50);  // all of them accepted
  ScopedSocket extra = Connect();
  EXPECT_EQ(ReadAll(extra.Get()), "");
  // One that was waiting still has its answer.
  const std::string request = "GET /metrics HTTP/1.1\r\n\r\n";
  ASSERT_EQ(SendSocket(idle[0].Get(), request.data(), request.size()),
            static_cast<int64_t>(request.size()));
  EXPECT_EQ(ReadAll(idle[0].Get()).substr(0, 15), "HTTP/1.1 200 OK");
  // Once the idle ones are gone, new clients are served again.
  idle.clear();
  SleepMs(50);
  EXPECT_EQ(Exchange(request).substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(HttpResponderTest, AnAddressInUseIsReportedAndStopFreesIt) {
  const std::string address = "127.0.0.1:" + std::to_string(responder_.Port());
  HttpResponder second;
  // Windows may answer "access denied" for a port another socket holds.
  const uint32_t in_use = second.Start(address, {"/metrics", "text/plain", {}});
  EXPECT_TRUE(in_use == err::kWsaAddressInUse || in_use == err::kWsaAccessDenied) << in_use;
  EXPECT_FALSE(second.Running());
  responder_.Stop();
  EXPECT_EQ(second.Start(address, {"/metrics", "text/plain", {}}), 0u);
  EXPECT_EQ(HttpResponder().Start("not-an-address:80", {"/m", "text/plain", {}}),
            err::kWsaHostNotFound);
  EXPECT_EQ(HttpResponder().Start("127.0.0.1", {"/m", "text/plain", {}}), err::kWsaInvalidArgument);
}

}  // namespace
}  // namespace cvn::platform
