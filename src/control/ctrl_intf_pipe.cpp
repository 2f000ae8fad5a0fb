#include "control/ctrl_intf_pipe.h"

#include <array>
#include <vector>

#include "control/ctrl_protocol.h"

namespace cvn::control {
namespace {

constexpr uint32_t kErrorNone = 0xFFFF;
constexpr uint32_t kProtocolFault = 0xFFFE;

constexpr int Code(uint32_t high, uint32_t error) {
  return static_cast<int>((high << 16) | (error & 0xFFFFu));
}

uint32_t LengthOf(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace

CSTCtrlIntfPipe::CSTCtrlIntfPipe()
    : server_pipe_name_(kServerPipeName), console_pipe_name_(kConsolePipeName) {}

CSTCtrlIntfPipe::~CSTCtrlIntfPipe() {
  CSTCtrlIntfPipe::CI_Disconnect();
  CSTCtrlIntfPipe::CI_Deactivate();
  CSTCtrlIntfPipe::CI_Cleanup();
}

void CSTCtrlIntfPipe::SetPipeNames(std::u16string server_pipe, std::u16string console_pipe) {
  server_pipe_name_ = std::move(server_pipe);
  console_pipe_name_ = std::move(console_pipe);
}

int CSTCtrlIntfPipe::CI_Initialize() {
  if (initialized_) return 0;
  stop_event_ = std::make_unique<platform::Event>(platform::Event::Mode::kAutoReset, false);
  if (stop_event_->IsValid()) {
    initialized_ = true;
    return 0;
  }
  CI_Cleanup();
  return Code(0x3000, kErrorNone);
}

int CSTCtrlIntfPipe::CI_Activate() {
  if (activated_) return 0;
  if (!initialized_) return Code(0x3102, kErrorNone);
  if (const uint32_t rc = server_pipe_.Create(server_pipe_name_); rc != 0) {
    CI_Deactivate();
    return Code(0x3104, rc);
  }
  if (const uint32_t rc = server_pipe_.BeginConnect(); rc != 0) {
    CI_Deactivate();
    return Code(0x3108, rc);
  }
  // A stop signalled for a thread that had already ended must not end the
  // new one.
  stop_event_->Reset();
  if (!work_thread_.Start([this] { return CI_WorkThreadBody(); })) {
    CI_Deactivate();
    return Code(0x310C, kErrorNone);
  }
  activated_ = true;
  return 0;
}

int CSTCtrlIntfPipe::CI_Deactivate() {
  if (activated_) {
    stop_event_->Set();
    if (!work_thread_.Join(kStopTimeoutMs)) work_thread_.Terminate(kThreadGivenUp);
    activated_ = false;
  }
  server_pipe_.Close();
  return 0;
}

int CSTCtrlIntfPipe::CI_Cleanup() {
  stop_event_.reset();
  initialized_ = false;
  return 0;
}

int CSTCtrlIntfPipe::CI_Connect() {
  if (connected_) return 0;
  // Same order as every exchange: the exchange lock, then the client lock.
  platform::LockGuard exchange(exchange_lock_);
  platform::LockGuard client(client_lock_);
  if (connected_) return 0;
  if (!activated_) return Code(0x3200, kErrorNone);
  if (const uint32_t rc = client_pipe_.Open(console_pipe_name_, kGreetingTimeoutMs); rc != 0) {
    CI_Disconnect();
    return Code(0x3204, rc);
  }
  std::array<uint8_t, 2> greeting{};
  size_t have = 0;
  while (have < greeting.size()) {
    size_t got = 0;
    const uint32_t rc =
        client_pipe_.Read(greeting.data() + have, greeting.size() - have, &got, kGreetingTimeoutMs);
    if (rc != 0) {
      CI_Disconnect();
      return Code(0x3208, rc);
    }
    have += got;
  }
  if (greeting[0] != kGreeting[0] || greeting[1] != kGreeting[1]) {
    CI_Disconnect();
    return Code(0x320C, 0x00FE);
  }
  console_is_admin_ = client_pipe_.ServerIsAdministrator();
  connected_ = true;
  return 0;
}

int CSTCtrlIntfPipe::CI_Disconnect() {
  // Release a thread blocked in an exchange first, so that the locks below
  // are free soon even when the console stopped answering.
  client_pipe_.Shutdown();
  platform::LockGuard exchange(exchange_lock_);
  platform::LockGuard client(client_lock_);
  client_pipe_.Close();
  connected_ = false;
  return 0;
}

int CSTCtrlIntfPipe::CI_PerformOperation(CSTCtrlMessage& request, CSTCtrlMessage& reply) {
  platform::LockGuard exchange(exchange_lock_);
  if (!connected_) {
    CI_Disconnect();
    return Code(0x0000, kErrorNone);
  }
  auto fail = [this](int code) {
    CI_Disconnect();
    return code;
  };

  request.SetLengthField();
  if (const uint32_t rc = client_pipe_.Write(request.Bytes(), reply_timeout_ms_); rc != 0) {
    return fail(Code(0x0002, rc));
  }

  std::vector<uint8_t> chunk(kChunkSize);
  size_t got = 0;
  if (client_pipe_.Read(chunk.data(), chunk.size(), &got, reply_timeout_ms_) != 0) {
    return fail(Code(0x0004, kErrorNone));
  }
  if (got < kLengthFieldSize + 1) return fail(Code(0x0006, kProtocolFault));
  const uint32_t total = LengthOf(chunk);
  // A reply larger than any message is not a reply to this request; one
  // shorter than its first chunk is discarded with that chunk (see below).
  if (total > kMaxMessageSize) return fail(Code(0x000C, kProtocolFault));
  if (got > total) return Code(0x000C, kProtocolFault);

  std::vector<uint8_t>& out = reply.MutableBytes();
  out.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
  while (out.size() < total) {
    const uint32_t rc = client_pipe_.Read(chunk.data(), chunk.size(), &got, reply_timeout_ms_);
    if (rc != 0) {
      reply.Clear();
      return fail(Code(0x000C, rc));
    }
    // Bytes beyond the declared length would belong to no exchange: the
    // chunk (one pipe message) is discarded with this reply, and the
    // connection, still in step at message bounds, is kept.
    if (out.size() + got > total) {
      reply.Clear();
      return Code(0x000C, kProtocolFault);
    }
    out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
  }
  return 0;
}

void CSTCtrlIntfPipe::DropConnection(bool& greeted, bool& write_pending,
                                     CtrlMessageAssembler& request) {
  request.Reset();
  greeted = false;
  write_pending = false;
  server_pipe_.Disconnect();
  CI_Disconnect();
  CI_OnClientDisconnected();
}

uint32_t CSTCtrlIntfPipe::CI_WorkThreadBody() {
  CtrlMessageAssembler assembler(kMaxRequestSize);
  CSTCtrlMessage reply;
  bool write_pending = false;
  bool greeted = false;
  platform::Event* events[2] = {stop_event_.get(), server_pipe_.Completion()};

  for (;;) {
    // A console waits for its request's reply; one that does not take it in
    // time would hold the single connection for as long as it liked.
    const platform::WaitResult w =
        platform::WaitAny(events, write_pending ? take_timeout_ms_ : platform::kInfinite);
    bool drop = false;
    size_t count = 0;
    if (w.timed_out()) {
      CI_OnConsoleStalled(take_timeout_ms_);
      drop = true;
    } else if (!w.signaled() || w.index != 1) {
      return 0;
    } else if (server_pipe_.Finish(&count) != 0) {
      drop = true;
    } else if (write_pending) {
      write_pending = false;
      if (!greeted) {
        // The greeting went out: reach the console's own pipe before serving.
        if (CI_Connect() != 0) {
          drop = true;
        } else {
          greeted = true;
          CI_OnClientConnected();
        }
      }
      if (!drop) drop = server_pipe_.BeginRead(kChunkSize) != 0;
    } else if (!greeted) {
      // A console connected.
      drop = server_pipe_.BeginWrite(kGreeting) != 0;
      write_pending = !drop;
    } else {
      const auto state = assembler.Add(server_pipe_.ReadData().first(count));
      if (state == CtrlMessageAssembler::kRejected) {
        drop = true;
      } else if (state == CtrlMessageAssembler::kComplete) {
        CSTCtrlMessage request = assembler.Take();
        // A request the dispatcher cannot take gets no answer: the console
        // is dropped instead.
        if (CI_OnPerformOperation(request, reply) != 0) {
          drop = true;
        } else {
          reply.SetLengthField();
          drop = server_pipe_.BeginWrite(reply.Bytes()) != 0;
          write_pending = !drop;
        }
      } else {
        drop = server_pipe_.BeginRead(kChunkSize) != 0;
      }
    }

    if (drop) {
      DropConnection(greeted, write_pending, assembler);
      if (server_pipe_.BeginConnect() != 0) return 0;
    }
  }
}

}  // namespace cvn::control
