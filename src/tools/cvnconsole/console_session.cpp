#include "tools/cvnconsole/console_session.h"

#include <vector>

#include "base/win_errors.h"
#include "control/ctrl_protocol.h"
#include "platform/clock.h"
#include "tools/cvnconsole/console_text.h"

namespace cvn::console {
namespace {

using control::CSTCtrlMessage;

uint32_t LengthOf(std::span<const uint8_t> b) {
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

std::string ErrorText(uint32_t error) {
  switch (error) {
    case platform::pipe_err::kBrokenPipe:
    case platform::pipe_err::kNoData: return "the service closed the connection";
    case platform::pipe_err::kTimeout: return "the service did not answer in time";
    case platform::pipe_err::kOperationAborted: return "cancelled";
    default: return "error " + std::to_string(error);
  }
}

}  // namespace

ConsoleSession::ConsoleSession(std::u16string server_pipe, std::u16string console_pipe,
                               Printer printer, Observer observer)
    : server_pipe_name_(std::move(server_pipe)),
      console_pipe_name_(std::move(console_pipe)),
      printer_(std::move(printer)),
      observer_(std::move(observer)) {}

ConsoleSession::~ConsoleSession() { Close(); }

uint32_t ConsoleSession::OpenServicePipe(uint32_t timeout_ms) {
  // A service that has just reported running creates its pipe a moment
  // later: a missing pipe is tried again for a short while.
  constexpr uint32_t kAppearMs = 1000;
  constexpr uint32_t kRetryMs = 50;
  // The service writes a custom report with the console user's rights.
  constexpr auto kIdentity = platform::ClientPipe::Identity::kImpersonate;
  const uint32_t start = platform::TickCount();
  uint32_t rc = service_.Open(server_pipe_name_, timeout_ms, kIdentity);
  while (rc == err::kFileNotFound && platform::TickCount() - start < kAppearMs) {
    platform::SleepMs(kRetryMs);
    rc = service_.Open(server_pipe_name_, timeout_ms, kIdentity);
  }
  return rc;
}

int ConsoleSession::Open(uint32_t timeout_ms) {
  // The console pipe first: the service connects back to it as soon as it
  // has greeted us, and drops us when it is not there.
  if (const uint32_t rc = listener_.Create(console_pipe_name_); rc != 0) {
    if (rc == platform::pipe_err::kPipeBusy) {
      error_ = "another console is already listening on the console pipe";
      return kExitBusy;
    }
    error_ =
        "cannot create the console pipe: " +
        std::string(rc == err::kAccessDenied ? "access denied" : "error " + std::to_string(rc));
    return rc == err::kAccessDenied ? kExitDenied : kExitFailed;
  }
  listen_thread_ = std::thread([this] { Listen(); });

  if (const uint32_t rc = OpenServicePipe(timeout_ms); rc != 0) {
    switch (rc) {
      case err::kFileNotFound:
        error_ = "the Corvane Service is not running (its control pipe is not there)";
        return kExitNoService;
      case platform::pipe_err::kPipeBusy:
        error_ = "the service is busy with another console";
        return kExitBusy;
      case err::kAccessDenied:
        error_ = "access to the service's control pipe was denied";
        return kExitDenied;
      default:
        error_ = "cannot open the service's control pipe: error " + std::to_string(rc);
        return kExitFailed;
    }
  }
  uint8_t hello[2] = {};
  size_t have = 0;
  while (have < sizeof(hello)) {
    size_t got = 0;
    if (const uint32_t rc = service_.Read(hello + have, sizeof(hello) - have, &got, timeout_ms);
        rc != 0) {
      error_ = "the service did not greet the console: " + ErrorText(rc);
      return kExitFailed;
    }
    have += got;
  }
  if (hello[0] != control::kGreeting[0] || hello[1] != control::kGreeting[1]) {
    error_ = "the program on the control pipe is not the Corvane Service (wrong greeting)";
    return kExitFailed;
  }
  if (!greeted_.Wait(timeout_ms)) {
    error_ = "the service did not connect back to the console pipe";
    return kExitFailed;
  }
  return kExitOk;
}

bool ConsoleSession::Exchange(CSTCtrlMessage& request, CSTCtrlMessage& reply, uint32_t timeout_ms) {
  request.SetLengthField();
  if (const uint32_t rc = service_.Write(request.Bytes(), timeout_ms); rc != 0) {
    error_ = "sending the request failed: " + ErrorText(rc);
    return false;
  }
  std::vector<uint8_t>& out = reply.MutableBytes();
  out.clear();
  std::vector<uint8_t> chunk(control::kChunkSize);
  while (out.size() < control::kLengthFieldSize || out.size() < LengthOf(out)) {
    size_t got = 0;
    if (const uint32_t rc = service_.Read(chunk.data(), chunk.size(), &got, timeout_ms); rc != 0) {
      error_ = "reading the reply failed: " + ErrorText(rc);
      reply.Clear();
      return false;
    }
    out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    if (out.size() >= control::kLengthFieldSize) {
      const uint32_t total = LengthOf(out);
      if (total <= control::kLengthFieldSize || total > control::kMaxMessageSize ||
          out.size() > total) {
        error_ = "the service sent a malformed reply";
        reply.Clear();
        return false;
      }
    }
  }
  return true;
}

bool ConsoleSession::StillConnected(uint32_t timeout_ms) {
  uint8_t b = 0;
  size_t got = 0;
  const uint32_t rc = service_.Read(&b, 1, &got, timeout_ms);
  return rc == 0 || rc == platform::pipe_err::kTimeout;
}

void ConsoleSession::Close() {
  stop_.Set();
  service_.Shutdown();
  if (listen_thread_.joinable()) listen_thread_.join();
  listener_.Close();
  service_.Close();
}

bool ConsoleSession::Await(size_t* bytes) {
  platform::Event* events[2] = {&stop_, listener_.Completion()};
  const platform::WaitResult w = platform::WaitAny(events, platform::kInfinite);
  if (!w.signaled() || w.index != 1) return false;
  size_t n = 0;
  const uint32_t rc = listener_.Finish(&n);
  if (bytes != nullptr) *bytes = n;
  return rc == 0;
}

void ConsoleSession::Listen() {
  while (!stop_.Wait(0)) {
    if (listener_.BeginConnect() != 0) return;
    if (Await(nullptr) && listener_.BeginWrite(control::kGreeting) == 0 && Await(nullptr)) {
      greeted_.Set();
      Serve();
    }
    listener_.Disconnect();
  }
}

void ConsoleSession::Serve() {
  control::CtrlMessageAssembler assembler;
  CSTCtrlMessage reply;
  for (;;) {
    size_t n = 0;
    if (listener_.BeginRead(control::kChunkSize) != 0 || !Await(&n) || n == 0) return;
    const auto state = assembler.Add(listener_.ReadData().first(n));
    if (state == control::CtrlMessageAssembler::kRejected) return;
    if (state == control::CtrlMessageAssembler::kIncomplete) continue;

    CSTCtrlMessage request = assembler.Take();
    if (observer_) observer_(request);
    ++calls_;
    Answer(request, reply);
    if (!reply.HasValues()) return;  // not a request we understand
    reply.SetLengthField();
    if (listener_.BeginWrite(reply.Bytes()) != 0 || !Await(nullptr)) return;
  }
}

void ConsoleSession::Answer(CSTCtrlMessage& request, CSTCtrlMessage& reply) {
  reply.Clear();
  uint8_t kind = 0;
  uint8_t id = 0;
  if (!request.ValueFromStack(kind) || !request.ValueFromStack(id)) return;
  switch (kind) {
    case control::kKindMethodCall:
      printer_(DescribeNotification(id));
      reply.ValueToStack(static_cast<int32_t>(0));
      reply.ValueToStack(static_cast<uint8_t>(control::kKindMethodReply));
      break;
    case control::kKindPropertySet:
      printer_(id == control::kPropPopup ? DescribePopup(request)
                                         : "the service assigned property " + std::to_string(id));
      reply.ValueToStack(static_cast<uint8_t>(control::kKindPropertySetReply));
      break;
    case control::kKindPropertyQuery:
      reply.ValueToStack(static_cast<uint8_t>(control::kKindPropertyReply));
      break;
    default: break;
  }
}

}  // namespace cvn::console
