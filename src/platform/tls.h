// A TLS client over a socket that is already connected: the handshake,
// record-wise encryption of what is sent, decryption of what arrives (with
// bytes of incomplete records kept for the next call) and the closing alert.
//
// The server is checked as TlsPeerCheck says: by default its certificate
// chain must lead to a trusted root and the certificate must be for the name
// the caller connected to. A client certificate is offered when one is set.
// TLS 1.2 and 1.3 are negotiated; older versions are refused.
//
// Socket traffic goes through the functions of platform/socket.h, so a test's
// SocketCalls sees (and can disturb) every byte. Failures are Windows numbers:
// socket errors, 240 when the peer closed during the handshake, or security
// status codes (below) for TLS failures, on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace cvn::err {

constexpr uint32_t kOutOfMemory = 14;      // ERROR_OUTOFMEMORY
constexpr uint32_t kVcDisconnected = 240;  // ERROR_VC_DISCONNECTED
constexpr uint32_t kSecContinueNeeded = 0x00090312;
constexpr uint32_t kSecContextExpired = 0x00090317;         // the peer ended TLS
constexpr uint32_t kSecIncompleteCredentials = 0x00090320;  // a client certificate was asked for
constexpr uint32_t kSecRenegotiate = 0x00090321;
constexpr uint32_t kSecUnsupportedFunction = 0x80090302;
constexpr uint32_t kSecInternalError = 0x80090304;
constexpr uint32_t kSecMessageAltered = 0x8009030F;
constexpr uint32_t kSecIncompleteMessage = 0x80090318;
constexpr uint32_t kSecIllegalMessage = 0x80090326;
constexpr uint32_t kSecDecryptFailure = 0x80090330;
constexpr uint32_t kSecAlgorithmMismatch = 0x80090331;  // no common protocol or cipher
constexpr uint32_t kSecNoCredentials = 0x8009030E;      // a CA, certificate or key file failed
constexpr uint32_t kSecWrongPrincipal = 0x80090322;     // the certificate is for another name
constexpr uint32_t kSecUntrustedRoot = 0x80090325;      // the chain leads to no trusted root
constexpr uint32_t kSecCertUnknown = 0x80090327;        // the certificate failed another check
constexpr uint32_t kSecCertExpired = 0x80090328;

}  // namespace cvn::err

namespace cvn::platform {

// How the server is checked, and the client's own certificate. Paths are
// UTF-8 text; the files hold PEM.
struct TlsPeerCheck {
  enum Level : uint32_t {
    kNone = 0,          // any certificate: the connection is not authenticated
    kChain = 1,         // the chain must lead to a trusted root
    kChainAndName = 2,  // ... and the certificate must be for the server's name
  };
  uint32_t level = kChainAndName;
  // Roots trusted instead of the system's store, when not empty.
  std::string ca_file;
  // A client certificate and its key, for servers that ask for one.
  std::string cert_file;
  std::string key_file;
};

// False where TlsPeerCheck's client certificate files cannot be used yet
// (a handshake with one set then fails with kSecNoCredentials).
bool TlsClientCertificateFilesSupported();

class TlsClient {
 public:
  TlsClient();
  // Releases the session without sending anything; the socket stays open.
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Runs the client handshake over s, which stays owned by the caller.
  // server_name (8-bit text) is sent as the server name where the protocol
  // carries one. 0 or the failure; a failure leaves the client inactive.
  // Bytes the server sent behind its last handshake message are kept and
  // returned by the first Receive. With a time-out the whole handshake must
  // end within it (10060 otherwise), however the server spreads its replies.
  // The server must pass check (the default one when none was set); a
  // server refused fails with one of the certificate statuses above and
  // says why in LastFailureDetail, before any data goes out.
  uint32_t Handshake(SocketHandle s, std::string_view server_name,
                     uint32_t timeout_ms = kSocketNoTimeout);
  void SetPeerCheck(const TlsPeerCheck& check);
  bool IsActive() const;
  // The protocol negotiated: "TLSv1.2", "TLSv1.3"; empty when inactive.
  std::string ProtocolName() const;

  // Encrypts all bytes and sends them, record by record, repeating partial
  // sends: 0 or the failure. With a time-out everything must be sent within
  // it (10060 otherwise).
  uint32_t Send(const void* data, size_t length, uint32_t timeout_ms = kSocketNoTimeout);

  // Appends to *out the plaintext of every complete record received, reading
  // the socket only while no complete record is buffered (so it blocks while
  // a record is partly received). Result: the count appended (> 0); 0 when the
  // peer ended the connection (*error = 0x00090317 after its closing alert,
  // 0 when the connection just ended); -1 with *error on failure (10060 when
  // the receive time-out passed; the bytes of a partial record are kept).
  // With a time-out the call ends within it (10060 otherwise), and the
  // socket's receive time-out is changed on the way.
  int64_t Receive(std::vector<uint8_t>* out, uint32_t* error,
                  uint32_t timeout_ms = kSocketNoTimeout);

  // Whether bytes received from the socket wait in the client, not yet handed
  // out by Receive (records, or a part of one): a wait for the socket to turn
  // readable does not see them.
  bool HasBufferedInput() const;

  // Sends the closing alert and ends the session; the socket stays open.
  // 0 or the failure of the send. The client is inactive afterwards.
  uint32_t Close();

  // A description of the last TLS failure from the TLS implementation, for
  // logs; empty when the last failure was a socket error or there was none.
  const std::string& LastFailureDetail() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvn::platform
