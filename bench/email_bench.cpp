// E-mail throughput against a local aiosmtpd that discards what it receives
// (python3-aiosmtpd, its Sink handler), 1,000 messages per iteration:
//   BM_SmtpClientBurst  the SMTP client alone: Connect, 1,000 SendMail, Quit
//                       over one connection;
//   BM_EmailerThread    1,000 records queued with consolidation 0 and sent by
//                       the e-mailer thread over one connection (each pass
//                       of the thread begins with its 25 ms pause).
// Both report messages_per_s. Run with:
//   build/bench/email_bench
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>

#include "base/text.h"
#include "core/cvn_core.h"
#include "email/email_forwarder.h"
#include "email/smtp_client.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace {

using namespace cvn;
using Clock = std::chrono::steady_clock;

constexpr int kMessages = 1000;

uint16_t FreePort() {
  platform::ScopedSocket s;
  if (platform::OpenSocket(platform::AddressFamily::kIPv4, platform::SocketType::kStream,
                           s.Receive()) != 0 ||
      platform::BindSocket(s.Get(), platform::SocketAddress::Loopback(0)) != 0) {
    return 0;
  }
  platform::SocketAddress bound;
  return platform::SocketLocalAddress(s.Get(), &bound) == 0 ? bound.Port() : 0;
}

// aiosmtpd with the Sink handler on 127.0.0.1, for the life of the object.
class SinkServer {
 public:
  SinkServer() : port_(FreePort()) {
    const std::string listen = "127.0.0.1:" + std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execl("/usr/bin/python3", "python3", "-m", "aiosmtpd", "-n", "-l", listen.c_str(), "-c",
            "aiosmtpd.handlers.Sink", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~SinkServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  // True once the server takes connections (up to 10 s).
  bool WaitReady() const {
    for (int i = 0; i < 1000; ++i) {
      platform::ScopedSocket probe;
      if (platform::OpenSocket(platform::AddressFamily::kIPv4, platform::SocketType::kStream,
                               probe.Receive()) == 0 &&
          platform::ConnectSocket(probe.Get(), platform::SocketAddress::Loopback(port_), 1000) ==
              0) {
        return true;
      }
      platform::SleepMs(10);
    }
    return false;
  }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_;
  pid_t pid_ = -1;
};

const std::u16string kBody =
    u"1042   /   10.12.2026 03:04:05   /   Application\r\n"
    u"----------------------------------------------------------------------\r\n"
    u"Source   : Disk\r\nType     : Error\r\nEvent ID : 7\r\n"
    u"Description:\r\nThe device has a bad block.\r\n";

void BM_SmtpClientBurst(benchmark::State& state) {
  SinkServer server;
  if (!server.WaitReady()) return state.SkipWithError("aiosmtpd did not start");
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    CSTEMail2 client("127.0.0.1", server.port(), kSmtpPlain);
    if (client.Connect(kSmtpAuthNone, "", "") != 0) return state.SkipWithError("connect failed");
    for (int i = 0; i < kMessages; ++i) {
      if (client.SendMail("service@example.test", "ops@example.test", u"HOST: 1 event(s)", kBody,
                          "text/plain") != 0) {
        return state.SkipWithError("a message was refused");
      }
    }
    client.Quit();
    const double spent = std::chrono::duration<double>(Clock::now() - start).count();
    seconds += spent;
    state.SetIterationTime(spent);
  }
  state.counters["messages_per_s"] = static_cast<double>(kMessages) * state.iterations() / seconds;
}
BENCHMARK(BM_SmtpClientBurst)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_EmailerThread(benchmark::State& state) {
  SinkServer server;
  if (!server.WaitReady()) return state.SkipWithError("aiosmtpd did not start");
  cvn::testing::ScopedMachineRoot root;
  double seconds = 0;
  for (auto _ : state) {
    CCVNCore core;
    std::random_device rd;
    core.SetPipeNames(u"\\\\.\\pipe\\cvn-bench-email-s" + Utf8ToUtf16(std::to_string(rd())),
                      u"\\\\.\\pipe\\cvn-bench-email-c" + Utf8ToUtf16(std::to_string(rd())));
    CCVNSettings& s = core.Settings();
    s.Email_Server.value = u"127.0.0.1";
    s.Email_Port.value = server.port();
    s.Email_From.value = u"service@example.test";
    s.Email_To.value = u"ops@example.test";
    s.Email_Consolidation.value = 0;
    s.Email_MaxQueue.value = 0;
    if (core.InitCore() != 0) return state.SkipWithError("InitCore failed");
    for (int i = 0; i < kMessages; ++i) {
      core.email_queue.Push(SEmailMessage{u"HOST: %NUMBER_OF_EVENTS% event(s)", kBody, "text/plain",
                                          1, core.email_progress.Issue()});
    }
    const auto start = Clock::now();
    platform::Thread thread;
    thread.Start([&core] { return EmailerThread(core); });
    core.ThreadWakeEvent(CoreThread::kEmail)->Set();
    while (core.email_sent + core.email_failed < kMessages) platform::SleepMs(5);
    const double spent = std::chrono::duration<double>(Clock::now() - start).count();
    seconds += spent;
    state.SetIterationTime(spent);
    core.ThreadStopEvent(CoreThread::kEmail)->Set();
    thread.Join(15000);
    if (core.email_failed != 0) return state.SkipWithError("messages failed");
  }
  state.counters["messages_per_s"] = static_cast<double>(kMessages) * state.iterations() / seconds;
}
BENCHMARK(BM_EmailerThread)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
