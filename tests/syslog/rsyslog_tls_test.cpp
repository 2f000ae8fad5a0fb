// CSecureSocket against a real rsyslog TLS input (both of its TLS drivers),
// started on 127.0.0.1 with a generated configuration and certificate.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include "support/temp_dir.h"
#include "transport/secure_socket.h"

namespace cvn {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";

fs::path ModuleFolder() {
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/rsyslog", "/usr/lib/aarch64-linux-gnu/rsyslog",
                          "/usr/lib/rsyslog", "/usr/lib64/rsyslog"}) {
    if (fs::exists(fs::path(dir) / "imtcp.so")) return dir;
  }
  return {};
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One rsyslogd with one TLS input writing the raw messages to a file.
class Rsyslog {
 public:
  // With mutual, rsyslog requires a client certificate from the test CA for
  // the name client.test (its x509/name mode).
  Rsyslog(const fs::path& dir, const std::string& driver, bool mutual) : dir_(dir) {
    fs::create_directories(dir / "work");
    const std::string d = dir.string();
    const std::string make =
        std::string("sh ") + CVN_TEST_CERTIFICATES + " " + d + " >" + d + "/certificates.log 2>&1";
    if (std::system(make.c_str()) != 0) return;
    std::ofstream conf(dir / "rsyslog.conf");
    conf << "global(workDirectory=\"" << d << "/work\" maxMessageSize=\"64k\"\n"
         << "  parser.escapeControlCharactersOnReceive=\"off\"\n"
         << "  defaultNetstreamDriverCAFile=\"" << d << "/ca.pem\"\n"
         << "  defaultNetstreamDriverCertFile=\"" << d << "/good.pem\"\n"
         << "  defaultNetstreamDriverKeyFile=\"" << d << "/good.key\")\n"
         << "module(load=\"imtcp\")\n"
         << "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
         << "ruleset(name=\"tls\") { action(type=\"omfile\" file=\"" << d
         << "/tls.log\" template=\"raw\") }\n"
         << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"0\" listenPortFileName=\"" << d
         << "/tls.port\" ruleset=\"tls\" streamDriver.name=\"" << driver
         << "\" streamDriver.mode=\"1\" streamDriver.authMode=\""
         << (mutual ? "x509/name\" permittedPeer=[\"client.test\"]" : "anon\"")
         << (driver == "gtls" ? " gnutlsPriorityString=\"NORMAL\"" : "") << ")\n";
    conf.close();
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string conf_path = d + "/rsyslog.conf";
      const std::string pid_path = d + "/rsyslogd.pid";
      const std::string out = d + "/stdout";
      freopen(out.c_str(), "w", stdout);
      freopen(out.c_str(), "a", stderr);
      execl(kRsyslogd, kRsyslogd, "-n", "-f", conf_path.c_str(), "-i", pid_path.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  ~Rsyslog() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  // The port from rsyslog's port file; 0 when it did not come up in time.
  uint16_t WaitForPort() const {
    for (int i = 0; i < 300; ++i) {
      const std::string text = ReadAll(dir_ / "tls.port");
      if (!text.empty()) return static_cast<uint16_t>(std::stoi(text));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

  // Waits until the output file holds expected; returns what it holds.
  std::string WaitForOutput(const std::string& expected) const {
    std::string text;
    for (int i = 0; i < 250; ++i) {
      text = ReadAll(dir_ / "tls.log");
      if (text == expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return text;
  }

  std::string Diagnostics() const { return ReadAll(dir_ / "stdout"); }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
};

// The driver, and whether rsyslog requires a client certificate.
class RsyslogTls : public ::testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(RsyslogTls, MessagesSentOverTlsArriveByteForByte) {
  const auto& [driver, mutual] = GetParam();
  const fs::path modules = ModuleFolder();
  if (!fs::exists(kRsyslogd) || modules.empty()) {
    GTEST_SKIP() << "rsyslog is not installed (Debian package rsyslog); skipping";
  }
  if (!fs::exists(modules / ("lmnsd_" + driver + ".so"))) {
    GTEST_SKIP() << "rsyslog's " << driver << " TLS driver is not installed (Debian package "
                 << (driver == "ossl" ? "rsyslog-openssl" : "rsyslog-gnutls") << "); skipping";
  }
  testing::TempDir dir;
  Rsyslog rsyslog(dir.path(), driver, mutual);
  const uint16_t port = rsyslog.WaitForPort();
  ASSERT_NE(port, 0) << "rsyslogd did not start: " << rsyslog.Diagnostics();

  // The server is checked fully against the test CA.
  platform::TlsPeerCheck check;
  check.ca_file = (dir.path() / "ca.pem").string();
  if (mutual) {
    check.cert_file = (dir.path() / "client.pem").string();
    check.key_file = (dir.path() / "client.key").string();
  }
  CSecureSocket client;
  client.SetPeerCheck(check);
  ASSERT_EQ(client.Open(platform::AddressFamily::kIPv4), 0u);
  client.SetReceiveTimeout();
  ASSERT_EQ(client.Connect(platform::SocketAddress::Loopback(port), 5000), 0u);
  ASSERT_TRUE(client.StartTls("localhost")) << client.LastErrorText();
  const std::string first = "<13>Dec  9 07:00:00 host Corvane: first message \xC3\xA9\t tab\n";
  const std::string second = "<11>Dec  9 07:00:01 host Corvane: " + std::string(20000, 'x') + "\n";
  EXPECT_EQ(client.Send(first.data(), first.size()), static_cast<int>(first.size()));
  EXPECT_EQ(client.Send(second.data(), second.size()), static_cast<int>(second.size()));
  client.Shutdown();
  client.Close();
  EXPECT_EQ(rsyslog.WaitForOutput(first + second), first + second) << rsyslog.Diagnostics();
}

INSTANTIATE_TEST_SUITE_P(Drivers, RsyslogTls,
                         ::testing::Combine(::testing::Values("ossl", "gtls"), ::testing::Bool()),
                         [](const auto& info) {
                           return std::get<0>(info.param) +
                                  (std::get<1>(info.param) ? "_x509name" : "_anon");
                         });

}  // namespace
}  // namespace cvn
