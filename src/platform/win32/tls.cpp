// The TLS client on the SChannel security package through SSPI.
#include "platform/win32/win.h"
// win.h first: it sets up the Windows headers.
#define SECURITY_WIN32
// The TLS 1.3-capable credential form (SCH_CREDENTIALS) needs this switch.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
// subauth.h: UNICODE_STRING for schannel.h.
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/tls.h"
#include "platform/win32/cert_check.h"

namespace cvn::platform {
namespace {

constexpr DWORD kRequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
constexpr DWORD kLoopFlags = kRequestFlags | ISC_REQ_MANUAL_CRED_VALIDATION;
// The package leaves the check of the server to us (CheckServer below), and
// offers no client certificate of its own accord.
constexpr DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_SERVERNAME_CHECK | SCH_CRED_NO_DEFAULT_CREDS;
constexpr size_t kInitialInput = 65536;

wchar_t* PackageName() { return const_cast<wchar_t*>(UNISP_NAME_W); }

uint32_t Status(SECURITY_STATUS s) { return static_cast<uint32_t>(s); }

std::string StatusText(SECURITY_STATUS s) {
  char text[64];
  std::snprintf(text, sizeof(text), "security status 0x%08lX", static_cast<unsigned long>(s));
  return text;
}

}  // namespace

struct TlsClient::Impl {
  CredHandle cred{};
  bool has_cred = false;
  CtxtHandle ctx{};
  bool has_ctx = false;
  SecPkgContext_StreamSizes sizes{};
  SocketHandle socket = kInvalidSocket;
  // The time limit of the operation under way (the handshake, a send); each
  // of its socket waits gets only what is left. Set by every operation.
  Deadline deadline;
  std::wstring target;
  std::vector<uint8_t> in;  // encrypted bytes received and not yet used
  size_t in_count = 0;
  bool cert_requested = false;
  std::string detail;
  TlsPeerCheck check;
  std::string server_name;

  ~Impl() { Release(); }

  void Release() {
    if (has_ctx) ::DeleteSecurityContext(&ctx);
    if (has_cred) ::FreeCredentialsHandle(&cred);
    has_ctx = has_cred = false;
    in_count = 0;
    socket = kInvalidSocket;
  }

  SECURITY_STATUS Acquire() {
    TimeStamp expiry;
    // Newer systems take the TLS 1.3-capable credential form; older ones
    // (and Wine) only the classic one, first with TLS 1.3 and then without.
    TLS_PARAMETERS params{};
    params.grbitDisabledProtocols =
        SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kCredentialFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &params;
    SECURITY_STATUS s =
        ::AcquireCredentialsHandleW(nullptr, PackageName(), SECPKG_CRED_OUTBOUND, nullptr, &modern,
                                    nullptr, nullptr, &cred, &expiry);
    for (DWORD protocols : {static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                            static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
      if (s == SEC_E_OK) break;
      SCHANNEL_CRED classic{};
      classic.dwVersion = SCHANNEL_CRED_VERSION;
      classic.grbitEnabledProtocols = protocols;
      classic.dwFlags = kCredentialFlags;
      s = ::AcquireCredentialsHandleW(nullptr, PackageName(), SECPKG_CRED_OUTBOUND, nullptr,
                                      &classic, nullptr, nullptr, &cred, &expiry);
    }
    has_cred = s == SEC_E_OK;
    return s;
  }

  // Sends a token the package produced and frees it; 0 or the socket error.
  uint32_t SendToken(SecBuffer& token) {
    uint32_t result = 0;
    if (token.pvBuffer != nullptr && token.cbBuffer > 0) {
      if (SendAllSocket(socket, token.pvBuffer, token.cbBuffer, nullptr, deadline.Remaining()) <
          0) {
        result = SocketLastError();
      }
    }
    if (token.pvBuffer != nullptr) ::FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
    return result;
  }

  // One socket receive appended to the input. 1 bytes came, 0 closed, -1 error.
  int Fill(uint32_t* error) {
    if (const uint32_t e = ArmReceiveDeadline(socket, deadline)) {
      *error = e;
      return -1;
    }
    if (in.size() - in_count < 16384) in.resize(std::max(in.size() * 2, kInitialInput));
    const int64_t n = ReceiveSocket(socket, in.data() + in_count, in.size() - in_count);
    if (n < 0) {
      *error = SocketLastError();
      return -1;
    }
    if (n == 0) return 0;
    in_count += static_cast<size_t>(n);
    return 1;
  }

  void KeepExtra(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= in_count) {
      std::memmove(in.data(), in.data() + (in_count - extra.cbBuffer), extra.cbBuffer);
      in_count = extra.cbBuffer;
    } else {
      in_count = 0;
    }
  }

  // The server's certificate against the check; 0 or the failure.
  uint32_t CheckServer() {
    PCCERT_CONTEXT cert = nullptr;
    if (check.level == TlsPeerCheck::kNone) return 0;
    const SECURITY_STATUS q =
        ::QueryContextAttributesW(&ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
    if (q != SEC_E_OK || cert == nullptr) {
      detail = "certificate verify failed: the server sent no certificate";
      return err::kSecCertUnknown;
    }
    const uint32_t result = win32::CheckServerCertificate(cert, check, server_name, detail);
    ::CertFreeCertificateContext(cert);
    return result;
  }

  // The handshake loop over the input buffer; read_first says whether the
  // first step needs new bytes from the server. 0 or the failure.
  uint32_t Loop(bool read_first) {
    SECURITY_STATUS s = SEC_I_CONTINUE_NEEDED;
    bool retried_credentials = false;
    for (;;) {
      if ((in_count == 0 && read_first) || s == SEC_E_INCOMPLETE_MESSAGE) {
        uint32_t error = 0;
        const int got = Fill(&error);
        if (got < 0) return error;
        if (got == 0) return cert_requested ? err::kSecIncompleteCredentials : err::kVcDisconnected;
      }
      read_first = true;
      SecBuffer in_bufs[2] = {{static_cast<unsigned long>(in_count), SECBUFFER_TOKEN, in.data()},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_bufs};
      SecBuffer out_buf{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buf};
      unsigned long attrs = 0;
      s = ::InitializeSecurityContextW(&cred, &ctx, target.data(), kLoopFlags, 0, 0, &in_desc, 0,
                                       nullptr, &out_desc, &attrs, nullptr);
      if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED ||
          (FAILED(s) && (attrs & ISC_RET_EXTENDED_ERROR) != 0)) {
        const uint32_t sent = SendToken(out_buf);
        if (sent != 0) return sent;
      } else if (out_buf.pvBuffer != nullptr) {
        ::FreeContextBuffer(out_buf.pvBuffer);
      }
      if (s == SEC_E_INCOMPLETE_MESSAGE) continue;
      if (s == SEC_I_INCOMPLETE_CREDENTIALS) {
        // Asked for a client certificate: go on without one, once.
        cert_requested = true;
        if (retried_credentials) return err::kSecIncompleteCredentials;
        retried_credentials = true;
        s = SEC_I_CONTINUE_NEEDED;
        read_first = false;
        continue;
      }
      if (s == SEC_E_OK) {
        KeepExtra(in_bufs[1]);
        return 0;
      }
      if (s != SEC_I_CONTINUE_NEEDED) {
        detail = StatusText(s);
        return cert_requested ? err::kSecIncompleteCredentials : Status(s);
      }
      KeepExtra(in_bufs[1]);
      read_first = in_count == 0;
    }
  }
};

bool TlsClientCertificateFilesSupported() { return false; }

TlsClient::TlsClient() : impl_(std::make_unique<Impl>()) {}
TlsClient::~TlsClient() = default;

bool TlsClient::IsActive() const { return impl_->has_ctx && impl_->socket != kInvalidSocket; }

bool TlsClient::HasBufferedInput() const { return IsActive() && impl_->in_count > 0; }

std::string TlsClient::ProtocolName() const {
  if (!IsActive()) return {};
  SecPkgContext_ConnectionInfo info{};
  if (::QueryContextAttributesW(&impl_->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
    return {};
  }
  if ((info.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0) return "TLSv1.3";
  if ((info.dwProtocol & SP_PROT_TLS1_2_CLIENT) != 0) return "TLSv1.2";
  return "TLS";
}

const std::string& TlsClient::LastFailureDetail() const { return impl_->detail; }

void TlsClient::SetPeerCheck(const TlsPeerCheck& check) { impl_->check = check; }

uint32_t TlsClient::Handshake(SocketHandle s, std::string_view server_name, uint32_t timeout_ms) {
  Impl& d = *impl_;
  d.deadline = Deadline(timeout_ms);
  d.Release();
  d.detail.clear();
  d.cert_requested = false;
  d.server_name = std::string(server_name);
  if (!d.check.cert_file.empty()) {
    d.detail = "client certificate " + d.check.cert_file +
               ": client certificates are not supported on Windows yet";
    return err::kSecNoCredentials;
  }
  d.socket = s;
  d.in.assign(kInitialInput, 0);

  // The name in the system's ANSI code page, as the callers hold it.
  d.target.assign(server_name.size() + 1, L'\0');
  const int wide = server_name.empty()
                       ? 0
                       : ::MultiByteToWideChar(CP_ACP, 0, server_name.data(),
                                               static_cast<int>(server_name.size()),
                                               d.target.data(), static_cast<int>(d.target.size()));
  d.target.resize(static_cast<size_t>(std::max(wide, 0)));

  SECURITY_STATUS st = d.Acquire();
  if (st != SEC_E_OK) {
    d.detail = StatusText(st);
    d.Release();
    return Status(st);
  }
  SecBuffer out_buf{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buf};
  unsigned long attrs = 0;
  st = ::InitializeSecurityContextW(&d.cred, nullptr, d.target.empty() ? nullptr : d.target.data(),
                                    kRequestFlags, 0, 0, nullptr, 0, &d.ctx, &out_desc, &attrs,
                                    nullptr);
  if (st != SEC_I_CONTINUE_NEEDED) {
    if (out_buf.pvBuffer != nullptr) ::FreeContextBuffer(out_buf.pvBuffer);
    d.detail = StatusText(st);
    d.Release();
    return Status(st);
  }
  d.has_ctx = true;
  uint32_t r = d.SendToken(out_buf);
  if (r == 0) r = d.Loop(/*read_first=*/true);
  if (r == 0) {
    const SECURITY_STATUS q = ::QueryContextAttributesW(&d.ctx, SECPKG_ATTR_STREAM_SIZES, &d.sizes);
    if (q != SEC_E_OK) r = Status(q);
  }
  // Before any data goes out: a refused server gets nothing.
  if (r == 0) r = d.CheckServer();
  if (r != 0) {
    d.Release();
    return r;
  }
  return 0;
}

uint32_t TlsClient::Send(const void* data, size_t length, uint32_t timeout_ms) {
  Impl& d = *impl_;
  d.deadline = Deadline(timeout_ms);
  if (!IsActive()) return err::kSecContextExpired;
  const size_t max_message = d.sizes.cbMaximumMessage;
  std::vector<uint8_t> record(d.sizes.cbHeader + max_message + d.sizes.cbTrailer);
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    const size_t chunk = std::min(length - done, max_message);
    std::fill(record.begin(), record.end(), 0);
    std::memcpy(record.data() + d.sizes.cbHeader, bytes + done, chunk);
    SecBuffer bufs[4] = {
        {d.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record.data() + d.sizes.cbHeader},
        {d.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + d.sizes.cbHeader + chunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
    const SECURITY_STATUS s = ::EncryptMessage(&d.ctx, 0, &desc, 0);
    if (s != SEC_E_OK) {
      d.detail = StatusText(s);
      return Status(s);
    }
    const size_t wire = bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer;
    if (SendAllSocket(d.socket, record.data(), wire, nullptr, d.deadline.Remaining()) < 0) {
      return SocketLastError();
    }
    done += chunk;
  }
  return 0;
}

int64_t TlsClient::Receive(std::vector<uint8_t>* out, uint32_t* error, uint32_t timeout_ms) {
  Impl& d = *impl_;
  d.deadline = Deadline(timeout_ms);
  *error = 0;
  if (!IsActive()) {
    *error = err::kSecContextExpired;
    return -1;
  }
  int64_t got = 0;
  bool need_bytes = d.in_count == 0;
  for (;;) {
    if (need_bytes) {
      if (got > 0) return got;
      const int filled = d.Fill(error);
      if (filled < 0) return -1;
      if (filled == 0) return 0;
      need_bytes = false;
    }
    SecBuffer bufs[4] = {{static_cast<unsigned long>(d.in_count), SECBUFFER_DATA, d.in.data()},
                         {0, SECBUFFER_EMPTY, nullptr},
                         {0, SECBUFFER_EMPTY, nullptr},
                         {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
    const SECURITY_STATUS s = ::DecryptMessage(&d.ctx, &desc, 0, nullptr);
    if (s == SEC_E_INCOMPLETE_MESSAGE) {
      need_bytes = true;
      continue;
    }
    if (s == SEC_I_CONTEXT_EXPIRED) {
      if (got > 0) return got;
      *error = err::kSecContextExpired;
      return 0;
    }
    if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE) {
      if (got > 0) return got;
      d.detail = StatusText(s);
      *error = Status(s);
      return -1;
    }
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& b : bufs) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        const auto* p = static_cast<const uint8_t*>(b.pvBuffer);
        out->insert(out->end(), p, p + b.cbBuffer);
        got += b.cbBuffer;
      } else if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) {
        extra = &b;
      }
    }
    if (extra != nullptr) {
      d.KeepExtra(*extra);
    } else {
      d.in_count = 0;
    }
    if (s == SEC_I_RENEGOTIATE) {
      // New handshake messages (or a TLS 1.3 session ticket) sit in the input.
      const uint32_t r = d.Loop(/*read_first=*/d.in_count == 0);
      if (r != 0) {
        if (got > 0) return got;
        *error = r;
        return -1;
      }
    }
    need_bytes = d.in_count == 0;
  }
}

uint32_t TlsClient::Close() {
  Impl& d = *impl_;
  d.deadline = Deadline();  // no limit of its own
  if (!IsActive()) {
    d.Release();
    return 0;
  }
  uint32_t result = 0;
  DWORD token = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof(token), SECBUFFER_TOKEN, &token};
  SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
  SECURITY_STATUS s = ::ApplyControlToken(&d.ctx, &control_desc);
  if (s != SEC_E_OK) {
    result = Status(s);
  } else {
    SecBuffer out_buf{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out_buf};
    unsigned long attrs = 0;
    s = ::InitializeSecurityContextW(&d.cred, &d.ctx, d.target.empty() ? nullptr : d.target.data(),
                                     kRequestFlags, 0, 0, nullptr, 0, nullptr, &out_desc, &attrs,
                                     nullptr);
    if (FAILED(s)) {
      if (out_buf.pvBuffer != nullptr) ::FreeContextBuffer(out_buf.pvBuffer);
      result = Status(s);
    } else {
      result = d.SendToken(out_buf);
    }
  }
  d.Release();
  return result;
}

}  // namespace cvn::platform
