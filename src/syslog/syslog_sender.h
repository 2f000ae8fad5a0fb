// One syslog server connection: UDP, TCP or TLS, with the TCP separator added
// to every transmission. The forwarder keeps one sender per configured server.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "transport/secure_socket.h"

namespace cvn {

// The server names of a Syslog/Server text: split at ',', ';' and ' ', empty
// pieces skipped, each converted to the ANSI code page.
std::vector<std::string> SplitSyslogServers(std::u16string_view text);

// How a stream transmission marks where a message ends, by
// Syslog/TcpSeparator: a byte or two after it, or (kOctetCount) its length in
// decimal and a blank before it, which lets the message hold any byte.
enum class SyslogSeparator : int { kNul = 0, kCr = 1, kLf = 2, kCrLf = 3, kOctetCount = 4 };

class CSyslogSender {
 public:
  // How long a connect may take before the server counts as unreachable, so
  // that a server that drops packets does not hold the thread past a stop.
  static constexpr uint32_t kConnectTimeoutMs = 5000;
  // How long the connect and the TLS handshake may take together. Like the
  // send time-out below, shorter than the 10 s a stop grants the threads, so
  // that the forwarder ends in time whatever it was waiting for.
  static constexpr uint32_t kOpenTimeoutMs = 8000;
  // How long a stream connection that has something to read may take to
  // show whether that is the end of the connection.
  static constexpr uint32_t kHousekeepingWaitMs = 50;
  // How long sending one list of messages may take before the connection
  // counts as failed (a server that does not read, or reads only a little).
  static constexpr uint32_t kSendTimeoutMs = 8000;
  // Messages go out together in transmissions of at most this many bytes
  // (TLS: one record's worth, so that a failure loses little certainty about
  // what arrived).
  static constexpr size_t kStreamChunk = 256 * 1024;
  static constexpr size_t kTlsChunk = 16 * 1024;
  // A message on a stream counts as taken only once the server's TCP has
  // acknowledged its bytes, so that a server that dies loses no more than
  // its own buffers held. Where the system cannot tell, the send buffer,
  // capped at this size, bounds what may be lost.
  static constexpr uint32_t kSendBufferBytes = 256 * 1024;

  CSyslogSender() = default;
  ~CSyslogSender() { Close(); }
  CSyslogSender(const CSyslogSender&) = delete;
  CSyslogSender& operator=(const CSyslogSender&) = delete;

  // Resolves host, connects (and runs the TLS handshake with tls): 0, -1 for a
  // port of 0 or an empty host, else the error number. Already connected: 0.
  int32_t Open(const std::string& host, uint16_t port, bool tcp, int separator, bool tls);
  // Sends the messages in order (stream: each with its framing, many in one
  // transmission; datagram: one each). Returns how many of them, from the
  // first, the server took (stream: its TCP acknowledged them; datagram: the
  // system sent them); after a failure the last error text names it and the
  // rest is not tried.
  size_t SendMessages(std::span<const std::string> messages);
  void Close();
  bool IsConnected() const { return connected_; }
  // How a TLS server is checked at the next Open.
  void SetPeerCheck(const platform::TlsPeerCheck& check) { stream_.SetPeerCheck(check); }

  const std::u16string& LastErrorText() const { return last_error_; }

 private:
  // On a stream connection: false when the peer has ended the connection
  // while it was idle, so that nothing is sent into a closed connection
  // (which the system would accept and then lose).
  bool StreamStillOpen();
  size_t SendDatagrams(std::span<const std::string> messages);
  size_t SendStream(std::span<const std::string> messages);
  // After sent bytes of frame_ went to the system: how many of them, from the
  // first, the server has acknowledged by the deadline (all of them where
  // the system cannot tell); *error is set when that is not all.
  size_t AcknowledgedBytes(size_t sent, const platform::Deadline& deadline, uint32_t* error);
  // Appends one message with its framing.
  void AppendFramed(std::string& frame, const std::string& message) const;
  // TCP and TLS go through the stream connection, UDP through the datagram
  // socket. 0 or the error; nothing is left open on failure.
  bool IsStream() const { return tcp_ || tls_; }
  uint32_t OpenStream(const std::string& host);
  uint32_t OpenDatagram();

  bool connected_ = false;
  bool tcp_ = false;
  bool tls_ = false;
  int separator_ = 0;
  platform::SocketHandle datagram_ = platform::kInvalidSocket;
  CSecureSocket stream_;
  std::vector<platform::ResolvedAddress> addresses_;
  std::u16string last_error_;
  std::string tls_failure_;   // the words of the last failed handshake
  std::string frame_;         // one transmission, reused
  std::vector<size_t> ends_;  // where each message of frame_ ends
};

}  // namespace cvn
