// The TLS client on OpenSSL. The session reads and writes memory buffers;
// this file moves their bytes to and from the socket itself, so the socket
// seam sees all traffic and a partial record simply waits in the input buffer.
#include "platform/tls.h"
#include "platform/clock.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>

namespace cvn::platform {

namespace {

// Room for several full records, so one Receive can decrypt a burst of them.
constexpr size_t kReadBufferSize = 131072;
constexpr size_t kRecordPlaintext = 16384;

// The session slot that marks a server's request for a client certificate.
int RequestedIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int OnClientCertRequest(SSL* ssl, X509** /*cert*/, EVP_PKEY** /*key*/) {
  SSL_set_ex_data(ssl, RequestedIndex(), reinterpret_cast<void*>(1));
  return 0;  // go on without a certificate; a server that requires one fails
}

bool IsIpLiteral(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

}  // namespace

struct TlsClient::Impl {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* network_in = nullptr;   // bytes from the socket, owned by ssl
  BIO* network_out = nullptr;  // bytes for the socket, owned by ssl
  SocketHandle socket = kInvalidSocket;
  // The time limit of the operation under way (the handshake, a send); each
  // of its socket waits gets only what is left. Set by every operation.
  Deadline deadline;
  std::vector<uint8_t> read_buffer;
  std::vector<uint8_t> write_buffer;
  std::string detail;

  ~Impl() { Release(); }

  void Release() {
    if (ssl != nullptr) SSL_free(ssl);  // frees both BIOs
    if (ctx != nullptr) SSL_CTX_free(ctx);
    ssl = nullptr;
    ctx = nullptr;
    network_in = network_out = nullptr;
    socket = kInvalidSocket;
  }

  // Sends everything the session has written; 0 or the socket error.
  uint32_t Flush() {
    for (;;) {
      const size_t pending = BIO_ctrl_pending(network_out);
      if (pending == 0) return 0;
      write_buffer.resize(pending);
      const int n = BIO_read(network_out, write_buffer.data(), static_cast<int>(pending));
      if (n <= 0) return err::kSecInternalError;
      if (SendAllSocket(socket, write_buffer.data(), static_cast<size_t>(n), nullptr,
                        deadline.Remaining()) < 0) {
        return SocketLastError();
      }
    }
  }

  // One socket receive into the session's input. 1 when bytes came, 0 when
  // the peer closed, -1 on failure with *error.
  int Fill(uint32_t* error) {
    if (const uint32_t e = ArmReceiveDeadline(socket, deadline)) {
      *error = e;
      return -1;
    }
    const int64_t n = ReceiveSocket(socket, read_buffer.data(), read_buffer.size());
    if (n < 0) {
      *error = SocketLastError();
      return -1;
    }
    if (n == 0) return 0;
    if (BIO_write(network_in, read_buffer.data(), static_cast<int>(n)) != n) {
      *error = err::kSecInternalError;
      return -1;
    }
    return 1;
  }

  bool ClientCertRequested() const { return SSL_get_ex_data(ssl, RequestedIndex()) != nullptr; }

  // The security status for a failed TLS operation, with the library's reason
  // kept as detail.
  uint32_t Failure(int ssl_error) {
    const unsigned long e = ERR_peek_last_error();
    char text[256] = {};
    if (e != 0) {
      ERR_error_string_n(e, text, sizeof(text));
      detail = text;
    } else if (ssl_error == SSL_ERROR_SYSCALL) {
      detail = "unexpected end of the TLS stream";
    } else {
      detail = "TLS failure " + std::to_string(ssl_error);
    }
    ERR_clear_error();
    if (ssl != nullptr && ClientCertRequested()) return err::kSecIncompleteCredentials;
    if (e == 0) return err::kSecIllegalMessage;
    switch (ERR_GET_REASON(e)) {
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_NO_PROTOCOLS_AVAILABLE:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_NO_SHARED_CIPHER:
      case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
      case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY: return err::kSecAlgorithmMismatch;
      case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC: return err::kSecDecryptFailure;
      default: return err::kSecIllegalMessage;
    }
  }
};

TlsClient::TlsClient() : impl_(std::make_unique<Impl>()) {}
TlsClient::~TlsClient() = default;

bool TlsClient::IsActive() const { return impl_->ssl != nullptr; }

bool TlsClient::HasBufferedInput() const {
  const Impl& d = *impl_;
  return d.ssl != nullptr && (SSL_has_pending(d.ssl) == 1 || BIO_ctrl_pending(d.network_in) > 0);
}

std::string TlsClient::ProtocolName() const {
  return impl_->ssl != nullptr ? SSL_get_version(impl_->ssl) : std::string();
}

const std::string& TlsClient::LastFailureDetail() const { return impl_->detail; }

uint32_t TlsClient::Handshake(SocketHandle s, std::string_view server_name, uint32_t timeout_ms) {
  Impl& d = *impl_;
  d.deadline = Deadline(timeout_ms);
  d.Release();
  d.detail.clear();
  RequestedIndex();  // created before any session can need it

  ERR_clear_error();
  d.ctx = SSL_CTX_new(TLS_client_method());
  if (d.ctx == nullptr) return d.Failure(SSL_ERROR_SSL);
  SSL_CTX_set_min_proto_version(d.ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(d.ctx, TLS1_3_VERSION);
  SSL_CTX_set_verify(d.ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_client_cert_cb(d.ctx, OnClientCertRequest);
  d.ssl = SSL_new(d.ctx);
  d.network_in = BIO_new(BIO_s_mem());
  d.network_out = BIO_new(BIO_s_mem());
  if (d.ssl == nullptr || d.network_in == nullptr || d.network_out == nullptr) {
    if (d.network_in != nullptr) BIO_free(d.network_in);
    if (d.network_out != nullptr) BIO_free(d.network_out);
    d.network_in = d.network_out = nullptr;
    const uint32_t e = d.Failure(SSL_ERROR_SSL);
    d.Release();
    return e;
  }
  // An empty input buffer means "wait for more", not end of stream.
  BIO_set_mem_eof_return(d.network_in, -1);
  SSL_set_bio(d.ssl, d.network_in, d.network_out);
  SSL_set_connect_state(d.ssl);
  const std::string name(server_name);
  if (!name.empty() && !IsIpLiteral(name)) SSL_set_tlsext_host_name(d.ssl, name.c_str());
  d.socket = s;
  d.read_buffer.resize(kReadBufferSize);

  for (;;) {
    ERR_clear_error();
    const int r = SSL_do_handshake(d.ssl);
    const int ssl_error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(d.ssl, r);
    // Our next flight, or the alert that reports a failure to the server.
    const uint32_t sent = d.Flush();
    if (ssl_error == SSL_ERROR_NONE) {
      if (sent != 0) {
        d.Release();
        return sent;
      }
      return 0;
    }
    uint32_t error = 0;
    if (ssl_error == SSL_ERROR_WANT_READ && sent == 0) {
      const int got = d.Fill(&error);
      if (got > 0) continue;
      if (got == 0) {
        error = d.ClientCertRequested() ? err::kSecIncompleteCredentials : err::kVcDisconnected;
      }
    } else if (sent != 0) {
      error = sent;
    } else {
      error = d.Failure(ssl_error);
    }
    d.Release();
    return error;
  }
}

uint32_t TlsClient::Send(const void* data, size_t length, uint32_t timeout_ms) {
  Impl& d = *impl_;
  d.deadline = Deadline(timeout_ms);
  if (d.ssl == nullptr) return err::kSecContextExpired;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    const size_t chunk = std::min(length - done, kRecordPlaintext);
    ERR_clear_error();
    const int r = SSL_write(d.ssl, bytes + done, static_cast<int>(chunk));
    if (r <= 0) {
      const int ssl_error = SSL_get_error(d.ssl, r);
      const uint32_t sent = d.Flush();
      if (sent != 0) return sent;
      return d.Failure(ssl_error);
    }
    done += static_cast<size_t>(r);
    const uint32_t sent = d.Flush();
    if (sent != 0) return sent;
  }
  return 0;
}

int64_t TlsClient::Receive(std::vector<uint8_t>* out, uint32_t* error, uint32_t timeout_ms) {
  Impl& d = *impl_;
  d.deadline = Deadline(timeout_ms);
  *error = 0;
  if (d.ssl == nullptr) {
    *error = err::kSecContextExpired;
    return -1;
  }
  uint8_t plain[kRecordPlaintext];
  for (;;) {
    int64_t got = 0;
    bool peer_closed = false;
    uint32_t failure = 0;
    for (;;) {
      ERR_clear_error();
      const int r = SSL_read(d.ssl, plain, sizeof(plain));
      if (r > 0) {
        out->insert(out->end(), plain, plain + r);
        got += r;
        continue;
      }
      const int ssl_error = SSL_get_error(d.ssl, r);
      // Handshake messages the session answers while reading (renegotiation,
      // key updates) go out now.
      const uint32_t sent = d.Flush();
      if (ssl_error == SSL_ERROR_WANT_READ) {
        failure = sent;
      } else if (ssl_error == SSL_ERROR_ZERO_RETURN) {
        peer_closed = true;
      } else {
        failure = d.Failure(ssl_error);
      }
      break;
    }
    // Data first; a failure behind it shows again at the next call.
    if (got > 0) return got;
    if (failure != 0) {
      *error = failure;
      return -1;
    }
    if (peer_closed) {
      *error = err::kSecContextExpired;
      return 0;
    }
    const int filled = d.Fill(error);
    if (filled < 0) return -1;
    if (filled == 0) return 0;
  }
}

uint32_t TlsClient::Close() {
  Impl& d = *impl_;
  d.deadline = Deadline();  // no limit of its own
  if (d.ssl == nullptr) return 0;
  ERR_clear_error();
  SSL_shutdown(d.ssl);
  const uint32_t sent = d.Flush();
  ERR_clear_error();
  d.Release();
  return sent;
}

}  // namespace cvn::platform
