#include "syslog/tls_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace cvn::testing {
namespace {

struct Credentials {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

const Credentials& SelfSigned() {
  static Credentials c;
  static std::once_flag once;
  std::call_once(once, [] {
    c.key = EVP_EC_gen("P-256");
    c.cert = X509_new();
    X509_set_version(c.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c.cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(c.cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(c.cert), 365L * 24 * 3600);
    X509_set_pubkey(c.cert, c.key);
    X509_NAME* name = X509_get_subject_name(c.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(c.cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, c.cert, c.cert, nullptr, nullptr, 0);
    X509_EXTENSION* san =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    X509_add_ext(c.cert, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(c.cert, c.key, EVP_sha256());
  });
  return c;
}

int AcceptAnyClientCert(int, X509_STORE_CTX*) { return 1; }

}  // namespace

struct TlsServerConnection::State {
  int fd = -1;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;
  BIO* out = nullptr;
};

TlsServerConnection::TlsServerConnection(std::unique_ptr<State> state) : s_(std::move(state)) {}

TlsServerConnection::~TlsServerConnection() {
  if (s_->ssl != nullptr) SSL_free(s_->ssl);
  if (s_->ctx != nullptr) SSL_CTX_free(s_->ctx);
  CloseSocket();
}

void TlsServerConnection::CloseSocket() {
  if (s_->fd >= 0) ::close(s_->fd);
  s_->fd = -1;
}

void TlsServerConnection::SendRaw(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size() && s_->fd >= 0) {
    const ssize_t n = ::send(s_->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string TlsServerConnection::ReadRawChunk() {
  char buf[65536];
  const ssize_t n = ::recv(s_->fd, buf, sizeof(buf), 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string TlsServerConnection::ReadRaw(size_t count) {
  std::string got;
  while (got.size() < count) {
    char buf[4096];
    const ssize_t n = ::recv(s_->fd, buf, std::min(sizeof(buf), count - got.size()), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string TlsServerConnection::TakeOutput() {
  std::string bytes;
  char buf[16384];
  int n;
  while ((n = BIO_read(s_->out, buf, sizeof(buf))) > 0) bytes.append(buf, static_cast<size_t>(n));
  return bytes;
}

void TlsServerConnection::FlushOutput() { SendRaw(TakeOutput()); }

bool TlsServerConnection::Pump() {
  const std::string chunk = ReadRawChunk();
  if (chunk.empty()) return false;
  BIO_write(s_->in, chunk.data(), static_cast<int>(chunk.size()));
  return true;
}

bool TlsServerConnection::Handshake(bool hold_last_flight) {
  for (;;) {
    const int r = SSL_do_handshake(s_->ssl);
    if (r == 1) {
      if (!hold_last_flight) FlushOutput();
      return true;
    }
    FlushOutput();
    if (SSL_get_error(s_->ssl, r) != SSL_ERROR_WANT_READ || !Pump()) {
      ERR_clear_error();
      return false;
    }
  }
}

std::string TlsServerConnection::Protocol() const { return SSL_get_version(s_->ssl); }

void TlsServerConnection::Write(const std::string& plain) {
  size_t done = 0;
  while (done < plain.size()) {
    const size_t chunk = std::min<size_t>(plain.size() - done, 16384);
    if (SSL_write(s_->ssl, plain.data() + done, static_cast<int>(chunk)) <= 0) return;
    done += chunk;
  }
}

std::string TlsServerConnection::Read(size_t count) {
  std::string got;
  char buf[16384];
  while (got.size() < count) {
    const int r =
        SSL_read(s_->ssl, buf, static_cast<int>(std::min(sizeof(buf), count - got.size())));
    if (r > 0) {
      got.append(buf, static_cast<size_t>(r));
      continue;
    }
    FlushOutput();
    if (SSL_get_error(s_->ssl, r) != SSL_ERROR_WANT_READ || !Pump()) break;
  }
  return got;
}

bool TlsServerConnection::ReadsClosingAlert() {
  char buf[256];
  for (;;) {
    const int r = SSL_read(s_->ssl, buf, sizeof(buf));
    if (r > 0) return false;
    const int e = SSL_get_error(s_->ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) return true;
    if (e != SSL_ERROR_WANT_READ || !Pump()) return false;
  }
}

void TlsServerConnection::SendClosingAlert() {
  SSL_shutdown(s_->ssl);
  FlushOutput();
}

TlsTestServer::TlsTestServer(TlsServerOptions options, Script script)
    : options_(options), script_(std::move(script)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      ::listen(listener_, 4) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    throw std::runtime_error("test server: no listener");
  }
  port_ = ntohs(a.sin_port);
  const Credentials& creds = SelfSigned();
  thread_ = std::thread([this, creds] {
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) {
      ok_ = false;
      return;
    }
    auto state = std::make_unique<TlsServerConnection::State>();
    state->fd = fd;
    state->ctx = SSL_CTX_new(TLS_server_method());
    if (options_.min_version != 0 && options_.min_version < TLS1_2_VERSION) {
      SSL_CTX_set_security_level(state->ctx, 0);
      SSL_CTX_set_cipher_list(state->ctx, "DEFAULT:@SECLEVEL=0");
    }
    if (options_.min_version != 0) SSL_CTX_set_min_proto_version(state->ctx, options_.min_version);
    if (options_.max_version != 0) SSL_CTX_set_max_proto_version(state->ctx, options_.max_version);
    SSL_CTX_use_certificate(state->ctx, creds.cert);
    SSL_CTX_use_PrivateKey(state->ctx, creds.key);
    if (options_.request_client_cert || options_.require_client_cert) {
      int mode = SSL_VERIFY_PEER;
      if (options_.require_client_cert) mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
      SSL_CTX_set_verify(state->ctx, mode, AcceptAnyClientCert);
    }
    state->ssl = SSL_new(state->ctx);
    state->in = BIO_new(BIO_s_mem());
    state->out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(state->in, -1);
    SSL_set_bio(state->ssl, state->in, state->out);
    SSL_set_accept_state(state->ssl);
    TlsServerConnection connection(std::move(state));
    try {
      script_(connection);
    } catch (...) {
      ok_ = false;
    }
  });
}

bool TlsTestServer::Join() {
  if (!joined_) {
    thread_.join();
    joined_ = true;
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
  }
  return ok_;
}

TlsTestServer::~TlsTestServer() {
  if (!joined_) {
    // A script still waiting for a client that never came: wake its accept.
    ::shutdown(listener_, SHUT_RDWR);
    Join();
  }
}

void TlsTestServer::WriteCertificateFiles(const std::filesystem::path& cert,
                                          const std::filesystem::path& key) {
  const Credentials& c = SelfSigned();
  FILE* f = std::fopen(cert.c_str(), "wb");
  if (f != nullptr) {
    PEM_write_X509(f, c.cert);
    std::fclose(f);
  }
  f = std::fopen(key.c_str(), "wb");
  if (f != nullptr) {
    PEM_write_PrivateKey(f, c.key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
  }
}

platform::TlsPeerCheck TlsTestServer::TrustingCheck() {
  static const std::string path = [] {
    const auto file = std::filesystem::temp_directory_path() /
                      ("cvn-tls-test-ca-" + std::to_string(::getpid()) + ".pem");
    WriteCertificateFiles(file, file.string() + ".key");
    return file.string();
  }();
  platform::TlsPeerCheck check;
  check.ca_file = path;
  return check;
}

}  // namespace cvn::testing
