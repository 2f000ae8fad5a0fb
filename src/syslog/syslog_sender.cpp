#include "syslog/syslog_sender.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "base/text.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/message_module.h"

namespace cvn {

std::vector<std::string> SplitSyslogServers(std::u16string_view text) {
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != u',' && text[i] != u';' && text[i] != u' ') continue;
    if (i > start) names.push_back(platform::ToAnsi(text.substr(start, i - start)));
    start = i + 1;
  }
  return names;
}

int32_t CSyslogSender::Open(const std::string& host, uint16_t port, bool tcp, int separator,
                            bool tls) {
  if (port == 0) {
    last_error_ = u"Invalid syslog port number.";
    return -1;
  }
  if (host.empty()) {
    last_error_ = u"Syslog server address is not specified.";
    return -1;
  }
  if (connected_) return 0;

  tcp_ = tcp;
  tls_ = tls;
  separator_ = separator;
  tls_failure_.clear();
  uint32_t error = platform::ResolveAddress(host, std::to_string(port), &addresses_);
  if (error == 0 && addresses_.empty()) error = err::kWsaHostNotFound;
  if (error == 0) error = IsStream() ? OpenStream(host) : OpenDatagram();
  if (error == 0) {
    connected_ = true;
    return 0;
  }
  addresses_.clear();
  // A refused handshake says why in words (an untrusted certificate, one
  // for another name, a CA file that cannot be read).
  last_error_ =
      tls_failure_.empty() ? platform::FormatSystemError(error) : Utf8ToUtf16(tls_failure_);
  return static_cast<int32_t>(error);
}

uint32_t CSyslogSender::OpenDatagram() {
  const platform::ResolvedAddress& first = addresses_.front();
  uint32_t error = platform::OpenSocket(first.family, platform::SocketType::kDatagram, &datagram_);
  if (error == 0) error = platform::ConnectSocket(datagram_, first.address, kConnectTimeoutMs);
  if (error != 0 && datagram_ != platform::kInvalidSocket) {
    platform::CloseSocket(datagram_);
    datagram_ = platform::kInvalidSocket;
  }
  return error;
}

uint32_t CSyslogSender::OpenStream(const std::string& host) {
  const platform::ResolvedAddress& first = addresses_.front();
  const platform::Deadline deadline(kOpenTimeoutMs);
  uint32_t error = stream_.Open(first.family);
  if (error == 0) {
    stream_.SetReceiveTimeout();
    // A server that stops reading must not hold the forwarder for ever.
    platform::SetSocketSendTimeout(stream_.socket(), kSendTimeoutMs);
    platform::SetSocketSendBuffer(stream_.socket(), kSendBufferBytes);
    error = stream_.Connect(first.address, kConnectTimeoutMs);
  }
  if (error == 0 && tls_ && !stream_.StartTls(host, deadline.Remaining())) {
    error = stream_.LastError();
    tls_failure_ = stream_.LastErrorText();
    // A handshake that failed without a cause still must not count as a
    // success.
    if (error == 0) error = err::kSecInternalError;
  }
  if (error != 0) stream_.Close();
  // The handshake's receives waited only for what was left of its time.
  if (error == 0) stream_.SetReceiveTimeout();
  return error;
}

bool CSyslogSender::StreamStillOpen() {
  const platform::SocketHandle s = stream_.socket();
  std::vector<uint8_t> buffer;
  // A syslog server sends nothing but TLS housekeeping (session tickets, the
  // closing alert): read what waits and look again, a bounded number of times.
  for (int round = 0; round < 8; ++round) {
    bool readable = false;
    if (platform::WaitSocketReadable(s, 0, &readable) != 0) return false;
    if (!readable) return true;
    if (buffer.empty()) buffer.resize(CSecureSocket::kMaxReceive);
    // A TLS record without data for the caller (a session ticket) leaves the
    // receive waiting for more: wait only briefly for it.
    platform::SetSocketReceiveTimeout(s, kHousekeepingWaitMs);
    const int n = stream_.Receive(buffer.data());
    const uint32_t error = stream_.LastError();
    stream_.SetReceiveTimeout();
    if (n == 0) return false;
    if (n < 0) return error == err::kWsaTimedOut;
  }
  return true;
}

void CSyslogSender::AppendFramed(std::string& frame, const std::string& message) const {
  if (separator_ == static_cast<int>(SyslogSeparator::kOctetCount)) {
    frame.append(std::to_string(message.size()));
    frame.push_back(' ');
    frame.append(message);
    return;
  }
  frame.append(message);
  switch (separator_) {
    case static_cast<int>(SyslogSeparator::kCr): frame.push_back('\r'); break;
    case static_cast<int>(SyslogSeparator::kLf): frame.push_back('\n'); break;
    case static_cast<int>(SyslogSeparator::kCrLf): frame.append("\r\n"); break;
    default: frame.push_back('\0'); break;
  }
}

size_t CSyslogSender::SendDatagrams(std::span<const std::string> messages) {
  for (size_t i = 0; i < messages.size(); ++i) {
    if (platform::SendSocket(datagram_, messages[i].data(), messages[i].size()) < 0) {
      last_error_ = platform::FormatSystemError(platform::SocketLastError());
      return i;
    }
  }
  return messages.size();
}

namespace {
// Rounds of looking again at once (giving the processor to others in
// between) before the wait for an acknowledgement sleeps.
constexpr int kYieldRounds = 200;
// The most framing one message gets: a length of up to 20 digits and a blank.
constexpr size_t kMaxFramingBytes = 21;
}  // namespace

size_t CSyslogSender::SendStream(std::span<const std::string> messages) {
  const size_t chunk = tls_ ? kTlsChunk : kStreamChunk;
  // One time limit for the whole list: a receiver that reads a little now
  // and then cannot hold the thread past a stop.
  const platform::Deadline deadline(kSendTimeoutMs);
  size_t done = 0;
  while (done < messages.size()) {
    if (deadline.Remaining() == 0) {
      last_error_ = platform::FormatSystemError(err::kWsaTimedOut);
      return done;
    }
    // As many whole messages as fit one transmission, each with its
    // framing; the messages themselves stay without it, so a resend or the
    // cache never sees one.
    frame_.clear();
    ends_.clear();
    size_t next = done;
    while (next < messages.size() &&
           (next == done || frame_.size() + messages[next].size() + kMaxFramingBytes <= chunk)) {
      AppendFramed(frame_, messages[next]);
      ends_.push_back(frame_.size());
      ++next;
    }
    size_t taken = 0;
    uint32_t error = 0;
    if (stream_.Send(frame_.data(), frame_.size(), &taken, deadline.Remaining()) < 0) {
      // Of what the system took before the failure, only what the server
      // acknowledged has arrived.
      error = stream_.LastError();
      uint32_t ignored = 0;
      taken = AcknowledgedBytes(taken, platform::Deadline(0), &ignored);
    } else {
      taken = AcknowledgedBytes(frame_.size(), deadline, &error);
    }
    if (error != 0) {
      last_error_ = platform::FormatSystemError(error);
      for (size_t end : ends_) {
        if (end > taken) break;
        ++done;
      }
      return done;
    }
    done = next;
  }
  return done;
}

size_t CSyslogSender::AcknowledgedBytes(size_t sent, const platform::Deadline& deadline,
                                        uint32_t* error) {
  // Acknowledgements come without any event to wait for: look again after a
  // short pause, longer the longer they take (a server that reads answers
  // within microseconds, a stalled one not before the deadline).
  uint32_t pause_ms = 0;
  for (int round = 0;; ++round) {
    size_t unacknowledged = 0;
    const uint32_t e = platform::SocketUnacknowledgedBytes(stream_.socket(), &unacknowledged);
    if (e == err::kWsaOperationNotSupported) return sent;
    if (e != 0) {
      *error = e;
      return 0;
    }
    if (unacknowledged == 0) return sent;
    if (deadline.Remaining() == 0) {
      *error = err::kWsaTimedOut;
      // Over TLS the bytes on the wire are not those of the frame: a
      // transmission is acknowledged as a whole or not at all.
      return tls_ || unacknowledged > sent ? 0 : sent - unacknowledged;
    }
    if (round < kYieldRounds) {
      std::this_thread::yield();
      continue;
    }
    platform::SleepMs(std::min(pause_ms, deadline.Remaining()));
    pause_ms = std::min<uint32_t>(pause_ms + 1, 20);
  }
}

size_t CSyslogSender::SendMessages(std::span<const std::string> messages) {
  if (!connected_) {
    last_error_ = u"Syslog sender is not connected.";
    return 0;
  }
  if (!IsStream()) return SendDatagrams(messages);
  if (!StreamStillOpen()) {
    last_error_ = platform::FormatSystemError(err::kWsaConnectionReset);
    return 0;
  }
  return SendStream(messages);
}

void CSyslogSender::Close() {
  if (!connected_) return;
  if (IsStream()) {
    // Without TLS the connection is shut down first; with TLS, Close sends
    // the closing alert before it closes the socket.
    if (!tls_) stream_.Shutdown();
    stream_.Close();
  } else if (datagram_ != platform::kInvalidSocket) {
    platform::CloseSocket(datagram_);
    datagram_ = platform::kInvalidSocket;
  }
  addresses_.clear();
  connected_ = false;
}

}  // namespace cvn
