// The TLS client on OpenSSL. The session reads and writes memory buffers;
// this file moves their bytes to and from the socket itself, so the socket
// seam sees all traffic and a partial record simply waits in the input buffer.
#include "platform/tls.h"
#include "platform/clock.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

// The library's text for its latest error, which is then cleared.
std::string LibraryError() {
  char text[256] = {};
  const unsigned long e = ERR_peek_last_error();
  if (e != 0) ERR_error_string_n(e, text, sizeof(text));
  ERR_clear_error();
  return e != 0 ? text : "unknown failure";
}

// Why a file cannot be read, in words; empty when it can.
std::string FileProblem(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) {
    std::fclose(f);
    return {};
  }
  return errno == ENOENT ? "not found" : std::strerror(errno);
}

// The names a certificate is for: its DNS and IP entries, or else its
// common name; for the log line of a certificate refused for its name.
std::string CertificateNames(X509* cert) {
  std::string names;
  const auto add = [&names](const std::string& name) {
    names += (names.empty() ? "" : ", ") + name;
  };
  auto* entries =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; i < sk_GENERAL_NAME_num(entries); ++i) {
    const GENERAL_NAME* entry = sk_GENERAL_NAME_value(entries, i);
    if (entry->type == GEN_DNS) {
      const ASN1_STRING* dns = entry->d.dNSName;
      add(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                      static_cast<size_t>(ASN1_STRING_length(dns))));
    } else if (entry->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* ip = entry->d.iPAddress;
      char text[INET6_ADDRSTRLEN] = {};
      const int family = ASN1_STRING_length(ip) == 4 ? AF_INET : AF_INET6;
      if (inet_ntop(family, ASN1_STRING_get0_data(ip), text, sizeof(text))) add(text);
    }
  }
  GENERAL_NAMES_free(entries);
  if (names.empty()) {
    char cn[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof(cn)) >
        0) {
      add(cn);
    }
  }
  return names.empty() ? "no name" : names;
}

// Keeps the names of a certificate refused for its name, for the log line.
int OnVerify(int ok, X509_STORE_CTX* store) {
  const int error = X509_STORE_CTX_get_error(store);
  if (!ok && (error == X509_V_ERR_HOSTNAME_MISMATCH || error == X509_V_ERR_IP_ADDRESS_MISMATCH)) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* names = ssl != nullptr ? static_cast<std::string*>(SSL_get_app_data(ssl)) : nullptr;
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    if (names != nullptr && cert != nullptr) *names = CertificateNames(cert);
  }
  return ok;
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
  TlsPeerCheck check;
  std::string server_name;
  std::string peer_names;  // of a certificate refused for its name

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
    if (ssl != nullptr && check.level != TlsPeerCheck::kNone &&
        SSL_get_verify_result(ssl) != X509_V_OK) {
      ERR_clear_error();
      return VerifyFailure(SSL_get_verify_result(ssl));
    }
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

  // The status and the words for a server certificate that was refused.
  uint32_t VerifyFailure(long result) {
    switch (result) {
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
        detail = "the certificate is for " + peer_names + ", not " + server_name;
        return err::kSecWrongPrincipal;
      default: break;
    }
    detail = std::string("certificate verify failed: ") + X509_verify_cert_error_string(result);
    switch (result) {
      case X509_V_ERR_CERT_HAS_EXPIRED:
      case X509_V_ERR_CERT_NOT_YET_VALID: return err::kSecCertExpired;
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      case X509_V_ERR_CERT_UNTRUSTED: return err::kSecUntrustedRoot;
      default: return err::kSecCertUnknown;
    }
  }

  // A file failure: its words in detail, the status as result.
  uint32_t FileFailure(const std::string& what, const std::string& path, std::string why) {
    detail = what + ": " + path + ": " + why;
    return err::kSecNoCredentials;
  }

  // The trusted roots and the check of the server; 0 or the failure.
  uint32_t ConfigureTrust() {
    if (check.level == TlsPeerCheck::kNone) {
      SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
      return 0;
    }
    if (check.ca_file.empty()) {
      SSL_CTX_set_default_verify_paths(ctx);
    } else if (std::string why = FileProblem(check.ca_file); !why.empty()) {
      return FileFailure("no trusted CA file", check.ca_file, why);
    } else if (SSL_CTX_load_verify_locations(ctx, check.ca_file.c_str(), nullptr) != 1) {
      return FileFailure("no trusted CA file", check.ca_file, LibraryError());
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, OnVerify);
    return 0;
  }

  // The client's own certificate, when one is set; 0 or the failure.
  uint32_t ConfigureClientCertificate() {
    if (check.cert_file.empty()) return 0;
    const std::string& key = check.key_file.empty() ? check.cert_file : check.key_file;
    for (const std::string& path : {check.cert_file, key}) {
      if (std::string why = FileProblem(path); !why.empty()) {
        return FileFailure("client certificate", path, why);
      }
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, check.cert_file.c_str()) != 1) {
      return FileFailure("client certificate", check.cert_file, LibraryError());
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
      return FileFailure("client key", key, LibraryError());
    }
    return 0;
  }

  // The name the server's certificate must be for; 0 or the failure.
  uint32_t ConfigureName() {
    if (check.level != TlsPeerCheck::kChainAndName) return 0;
    if (server_name.empty()) {
      detail = "no server name to check the certificate against";
      return err::kSecWrongPrincipal;
    }
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int set = IsIpLiteral(server_name)
                        ? X509_VERIFY_PARAM_set1_ip_asc(param, server_name.c_str())
                        : X509_VERIFY_PARAM_set1_host(param, server_name.c_str(), 0);
    if (set != 1) {
      detail = "the server name " + server_name + " cannot be checked: " + LibraryError();
      return err::kSecWrongPrincipal;
    }
    SSL_set_app_data(ssl, &peer_names);
    return 0;
  }
};

bool TlsClientCertificateFilesSupported() { return true; }

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

void TlsClient::SetPeerCheck(const TlsPeerCheck& check) { impl_->check = check; }

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
  d.server_name = std::string(server_name);
  d.peer_names.clear();
  uint32_t configured = d.ConfigureTrust();
  if (configured == 0) configured = d.ConfigureClientCertificate();
  if (configured != 0) {
    d.Release();
    return configured;
  }
  // Called only when no certificate of the client's own is set.
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
  const std::string& name = d.server_name;
  if (!name.empty() && !IsIpLiteral(name)) SSL_set_tlsext_host_name(d.ssl, name.c_str());
  if (const uint32_t e = d.ConfigureName(); e != 0) {
    d.Release();
    return e;
  }
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
