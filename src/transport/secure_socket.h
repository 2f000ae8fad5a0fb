// The connection object under the syslog sender over TLS and under the SMTP
// client: one stream socket that its user creates and connects, which can be
// turned into a TLS client connection at any moment (right after the connect,
// or after a STARTTLS reply). Send and Receive then encrypt and decrypt
// transparently; before that they pass bytes straight to the socket.
//
// The server is checked as the peer check says (by default a trusted chain
// for the name StartTls is given); a client certificate is offered when one
// is set.
//
// No operation throws or logs. A failure is reported by the result together
// with the error number, kept in the object (LastError) and set as the
// thread's socket error (platform::SocketLastError), which the callers turn
// into text. One thread at a time uses an object; there is no locking inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "platform/tls.h"

namespace cvn {

class CSecureSocket {
 public:
  // The most one Receive hands out; the caller's buffer holds at least this.
  static constexpr size_t kMaxReceive = 65535;
  // The receive time-out SetReceiveTimeout sets.
  static constexpr uint32_t kReceiveTimeoutMs = 10000;

  CSecureSocket();
  // Performs Close.
  ~CSecureSocket();
  CSecureSocket(const CSecureSocket&) = delete;
  CSecureSocket& operator=(const CSecureSocket&) = delete;

  // The connection: platform::kInvalidSocket when there is none. The user
  // creates and connects the socket and stores it here (or uses Open and
  // Connect); the object closes it.
  platform::SocketHandle socket() const { return socket_; }
  void set_socket(platform::SocketHandle s) { socket_ = s; }

  // Creates a TCP stream socket of the family and stores it (closing one held
  // before): 0 or the socket error.
  uint32_t Open(platform::AddressFamily family);
  // Connects the stored socket: 0 or the socket error.
  uint32_t Connect(const platform::SocketAddress& address,
                   uint32_t timeout_ms = platform::kSocketNoTimeout);

  // Sets the 10-second receive time-out on the socket; returns the socket.
  // The result carries no error indication.
  platform::SocketHandle SetReceiveTimeout();

  // Runs the TLS client handshake over the connected socket; true makes TLS
  // active. On false the last error holds the cause (a socket error, a
  // security status, or 240 when the peer closed during the handshake); the
  // caller closes the socket.
  // With a time-out the whole handshake must end within it.
  bool StartTls(std::string_view server_name, uint32_t timeout_ms = platform::kSocketNoTimeout);
  void SetPeerCheck(const platform::TlsPeerCheck& check) { tls_.SetPeerCheck(check); }
  bool tls_active() const { return tls_active_; }
  // The protocol negotiated ("TLSv1.2", "TLSv1.3"); empty without TLS.
  std::string TlsProtocol() const { return tls_active_ ? tls_.ProtocolName() : std::string(); }

  // Plain: sends the whole buffer (repeating partial sends) and returns the
  // length, or -1 with the socket error. TLS: encrypts record by record and
  // returns the length once everything is on the wire, or -1. taken (when
  // given) receives the bytes the connection surely took, also on failure:
  // plain, what the system accepted; TLS, the length or 0. With a time-out
  // the send ends within it, and the socket's send time-out is changed on
  // the way.
  int Send(const void* data, size_t length, size_t* taken = nullptr,
           uint32_t timeout_ms = platform::kSocketNoTimeout);

  // Fills buffer (at least kMaxReceive bytes) and returns the count, 0 when
  // the peer closed, or -1 (10060 when the receive time-out passed without
  // data). Plain: one socket receive. TLS: returns once every complete record
  // received has been decrypted; plaintext beyond kMaxReceive bytes is kept
  // and handed out by the next calls without reading the socket, and the
  // bytes of a record received in part are kept for the next call. After the
  // peer's closing alert, 0 with last error 0x00090317. With a time-out the
  // receive ends within it instead of the socket's own, which is changed on
  // the way.
  int Receive(void* buffer, uint32_t timeout_ms = platform::kSocketNoTimeout);

  // Whether received bytes wait in the object (plaintext not yet handed out,
  // or TLS records or a part of one), which a wait for the socket to turn
  // readable does not see.
  bool HasBufferedInput() const {
    return pending_offset_ < pending_.size() || (tls_active_ && tls_.HasBufferedInput());
  }

  // Shuts the socket down in both directions.
  void Shutdown();

  // If the socket is valid: ends TLS when active (the closing alert), closes
  // the socket and marks it invalid. TLS is inactive afterwards in every case;
  // pending plaintext is dropped.
  void Close();

  // Told of every TLS session that begins (opened) or ends, with the server's
  // name and the protocol, on the thread of the connection; the service sets
  // it once, before any connection, to write Trace lines.
  using SessionObserver = void (*)(bool opened, const std::string& server,
                                   const std::string& protocol);
  static void SetSessionObserver(SessionObserver observer);

  // The error number of the last failure (0 before any).
  uint32_t LastError() const { return last_error_; }
  // The text of the last failure: the sockets text of a socket error, or the
  // TLS implementation's description of a TLS failure.
  std::string LastErrorText() const;

 private:
  void SetError(uint32_t error);

  platform::SocketHandle socket_ = platform::kInvalidSocket;
  bool tls_active_ = false;
  platform::TlsClient tls_;
  std::vector<uint8_t> pending_;  // decrypted, not yet handed out
  size_t pending_offset_ = 0;
  uint32_t last_error_ = 0;
  std::string last_detail_;
  std::string server_name_;  // of the TLS session while it is active
};

}  // namespace cvn
