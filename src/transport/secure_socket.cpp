#include "transport/secure_socket.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace cvn {

using platform::kInvalidSocket;

CSecureSocket::CSecureSocket() = default;

CSecureSocket::~CSecureSocket() { Close(); }

void CSecureSocket::SetError(uint32_t error) {
  last_error_ = error;
  last_detail_.clear();
  platform::SetSocketLastError(error);
}

uint32_t CSecureSocket::Open(platform::AddressFamily family) {
  Close();
  platform::SocketHandle s = kInvalidSocket;
  const uint32_t r = platform::OpenSocket(family, platform::SocketType::kStream, &s);
  if (r != 0) {
    SetError(r);
    return r;
  }
  socket_ = s;
  return 0;
}

uint32_t CSecureSocket::Connect(const platform::SocketAddress& address, uint32_t timeout_ms) {
  const uint32_t r = socket_ == kInvalidSocket
                         ? err::kWsaNotSocket
                         : platform::ConnectSocket(socket_, address, timeout_ms);
  if (r != 0) SetError(r);
  return r;
}

platform::SocketHandle CSecureSocket::SetReceiveTimeout() {
  if (socket_ != kInvalidSocket) platform::SetSocketReceiveTimeout(socket_, kReceiveTimeoutMs);
  return socket_;
}

namespace {
std::atomic<CSecureSocket::SessionObserver> g_session_observer{nullptr};
}  // namespace

void CSecureSocket::SetSessionObserver(SessionObserver observer) { g_session_observer = observer; }

bool CSecureSocket::StartTls(std::string_view server_name, uint32_t timeout_ms) {
  if (socket_ == kInvalidSocket) {
    SetError(err::kWsaNotSocket);
    return false;
  }
  pending_.clear();
  pending_offset_ = 0;
  const uint32_t r = tls_.Handshake(socket_, server_name, timeout_ms);
  if (r != 0) {
    SetError(r);
    last_detail_ = tls_.LastFailureDetail();
    return false;
  }
  tls_active_ = true;
  server_name_ = std::string(server_name);
  if (const SessionObserver observer = g_session_observer) {
    observer(true, server_name_, tls_.ProtocolName());
  }
  return true;
}

int CSecureSocket::Send(const void* data, size_t length, size_t* taken, uint32_t timeout_ms) {
  size_t local = 0;
  size_t& done = taken != nullptr ? *taken : local;
  done = 0;
  if (length > static_cast<size_t>(INT32_MAX)) {
    SetError(err::kWsaMessageSize);
    return -1;
  }
  if (!tls_active_) {
    if (platform::SendAllSocket(socket_, data, length, &done, timeout_ms) < 0) {
      SetError(platform::SocketLastError());
      return -1;
    }
    return static_cast<int>(length);
  }
  const uint32_t r = tls_.Send(data, length, timeout_ms);
  if (r != 0) {
    SetError(r);
    last_detail_ = tls_.LastFailureDetail();
    return -1;
  }
  done = length;
  return static_cast<int>(length);
}

int CSecureSocket::Receive(void* buffer, uint32_t timeout_ms) {
  if (!tls_active_) {
    if (const uint32_t e = platform::ArmReceiveDeadline(socket_, platform::Deadline(timeout_ms))) {
      SetError(e);
      return -1;
    }
    const int64_t n = platform::ReceiveSocket(socket_, buffer, kMaxReceive);
    if (n < 0) {
      SetError(platform::SocketLastError());
      return -1;
    }
    return static_cast<int>(n);
  }
  if (pending_offset_ == pending_.size()) {
    pending_.clear();
    pending_offset_ = 0;
    uint32_t error = 0;
    const int64_t n = tls_.Receive(&pending_, &error, timeout_ms);
    if (n < 0) {
      SetError(error);
      last_detail_ = tls_.LastFailureDetail();
      return -1;
    }
    if (n == 0) {
      // The peer ended the connection; after its closing alert the cause is
      // kept as the last error, as a closed TLS session reports it.
      if (error != 0) SetError(error);
      return 0;
    }
  }
  const size_t count = std::min(pending_.size() - pending_offset_, kMaxReceive);
  std::memcpy(buffer, pending_.data() + pending_offset_, count);
  pending_offset_ += count;
  if (pending_offset_ == pending_.size()) {
    pending_.clear();
    pending_offset_ = 0;
  }
  return static_cast<int>(count);
}

void CSecureSocket::Shutdown() {
  if (socket_ == kInvalidSocket) return;
  const uint32_t r = platform::ShutdownSocket(socket_, platform::ShutdownHow::kBoth);
  if (r != 0) SetError(r);
}

void CSecureSocket::Close() {
  if (socket_ != kInvalidSocket) {
    if (tls_active_) {
      const std::string protocol = tls_.ProtocolName();
      const uint32_t r = tls_.Close();
      if (r != 0) SetError(r);
      if (const SessionObserver observer = g_session_observer) {
        observer(false, server_name_, protocol);
      }
    }
    platform::CloseSocket(socket_);
    socket_ = kInvalidSocket;
  }
  tls_active_ = false;
  pending_.clear();
  pending_offset_ = 0;
}

std::string CSecureSocket::LastErrorText() const {
  if (!last_detail_.empty()) return last_detail_;
  return platform::SocketErrorText(last_error_);
}

}  // namespace cvn
