#include "platform/win32/cert_check.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

namespace cvn::platform::win32 {
namespace {

constexpr DWORD kIgnoreNameFlag = 0x00001000;  // SECURITY_FLAG_IGNORE_CERT_CN_INVALID
constexpr size_t kMaxCaFileBytes = 4 * 1024 * 1024;

struct StoreCloser {
  void operator()(void* store) const { ::CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

struct EngineCloser {
  void operator()(void* engine) const {
    ::CertFreeCertificateChainEngine(static_cast<HCERTCHAINENGINE>(engine));
  }
};
using Engine = std::unique_ptr<void, EngineCloser>;

struct ChainCloser {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { ::CertFreeCertificateChain(chain); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainCloser>;

std::wstring Wide(const std::string& text, UINT code_page) {
  std::wstring out(text.size() + 1, L'\0');
  const int n =
      text.empty() ? 0
                   : ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()),
                                           out.data(), static_cast<int>(out.size()));
  out.resize(static_cast<size_t>(n > 0 ? n : 0));
  return out;
}

std::string Narrow(const wchar_t* text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string Hex(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

// The bytes of a file (at most kMaxCaFileBytes); why not in words.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& why) {
  const HANDLE file = ::CreateFileW(Wide(path, CP_UTF8).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    why = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? "not found"
                                                                 : "error " + std::to_string(e);
    return false;
  }
  std::vector<char> buffer(kMaxCaFileBytes + 1);
  DWORD got = 0;
  const BOOL ok = ::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
  ::CloseHandle(file);
  if (!ok || got > kMaxCaFileBytes) {
    why = ok ? "larger than 4 MiB" : "error " + std::to_string(::GetLastError());
    return false;
  }
  bytes.assign(buffer.data(), got);
  return true;
}

// The certificates of a PEM file in a store of their own.
Store LoadRoots(const std::string& path, std::string& detail) {
  std::string text;
  std::string why;
  if (!ReadWholeFile(path, text, why)) {
    detail = "no trusted CA file: " + path + ": " + why;
    return nullptr;
  }
  Store store(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!store) {
    detail = "no trusted CA file: " + path + ": error " + std::to_string(::GetLastError());
    return nullptr;
  }
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int count = 0;
  for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at + 1)) {
    const size_t end = text.find(kEnd, at);
    if (end == std::string::npos) break;
    const DWORD length = static_cast<DWORD>(end + kEnd.size() - at);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (::CryptStringToBinaryA(text.data() + at, length, CRYPT_STRING_BASE64HEADER, der.data(),
                               &size, nullptr, nullptr) &&
        ::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                           CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++count;
    }
  }
  if (count == 0) {
    detail = "no trusted CA file: " + path + ": no certificate in it";
    return nullptr;
  }
  return store;
}

// The IP address a name spells, as bytes; empty for a DNS name.
std::vector<uint8_t> AddressBytes(const std::string& name) {
  std::array<uint8_t, 16> bytes{};
  if (::InetPtonA(AF_INET, name.c_str(), bytes.data()) == 1)
    return {bytes.begin(), bytes.begin() + 4};
  if (::InetPtonA(AF_INET6, name.c_str(), bytes.data()) == 1) return {bytes.begin(), bytes.end()};
  return {};
}

// The subject alternative names of a certificate; nullptr when it has none.
std::unique_ptr<CERT_ALT_NAME_INFO, decltype(&::LocalFree)> AltNames(PCCERT_CONTEXT cert) {
  std::unique_ptr<CERT_ALT_NAME_INFO, decltype(&::LocalFree)> none(nullptr, &::LocalFree);
  const CERT_INFO* info = cert->pCertInfo;
  const CERT_EXTENSION* ext =
      ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext == nullptr) return none;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return none;
  }
  return {names, &::LocalFree};
}

// The names a certificate is for: its DNS and IP entries, or its common name.
std::string CertificateNames(PCCERT_CONTEXT cert) {
  std::string names;
  const auto add = [&names](const std::string& name) {
    names += (names.empty() ? "" : ", ") + name;
  };
  if (const auto alt = AltNames(cert)) {
    for (DWORD i = 0; i < alt->cAltEntry; ++i) {
      const CERT_ALT_NAME_ENTRY& entry = alt->rgAltEntry[i];
      if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) add(Narrow(entry.pwszDNSName));
      if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
        char text[64] = {};
        const int family = entry.IPAddress.cbData == 4 ? AF_INET : AF_INET6;
        if (::InetNtopA(family, entry.IPAddress.pbData, text, sizeof text)) add(text);
      }
    }
  }
  if (names.empty()) {
    char cn[256] = {};
    if (::CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn,
                             sizeof cn) > 1) {
      add(cn);
    }
  }
  return names.empty() ? "no name" : names;
}

bool HoldsAddress(PCCERT_CONTEXT cert, const std::vector<uint8_t>& address) {
  const auto alt = AltNames(cert);
  for (DWORD i = 0; alt && i < alt->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = alt->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
        entry.IPAddress.cbData == address.size() &&
        std::equal(address.begin(), address.end(), entry.IPAddress.pbData)) {
      return true;
    }
  }
  return false;
}

// The status and words for a chain the SSL policy refused.
uint32_t PolicyFailure(DWORD error, PCCERT_CONTEXT cert, const std::string& server_name,
                       std::string& detail) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      detail = "the certificate is for " + CertificateNames(cert) + ", not " + server_name;
      return err::kSecWrongPrincipal;
    case static_cast<DWORD>(CERT_E_EXPIRED):
      detail = "certificate verify failed: certificate has expired";
      return err::kSecCertExpired;
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING): {
      const CERT_INFO* info = cert->pCertInfo;
      const bool self_signed = ::CertCompareCertificateName(
          X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&info->Subject),
          const_cast<CERT_NAME_BLOB*>(&info->Issuer));
      detail = std::string("certificate verify failed: ") +
               (self_signed ? "self-signed certificate" : "unable to get local issuer certificate");
      return err::kSecUntrustedRoot;
    }
    default: detail = "certificate verify failed: " + Hex(error); return err::kSecCertUnknown;
  }
}

// The policy error for what the chain's trust status reports; 0 for none.
DWORD ChainError(DWORD status) {
  if ((status & CERT_TRUST_IS_NOT_TIME_VALID) != 0) return static_cast<DWORD>(CERT_E_EXPIRED);
  if ((status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) != 0) {
    return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
  }
  if ((status & CERT_TRUST_IS_REVOKED) != 0) return static_cast<DWORD>(CRYPT_E_REVOKED);
  if ((status & (CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC)) != 0) {
    return static_cast<DWORD>(TRUST_E_CERT_SIGNATURE);
  }
  return 0;
}

}  // namespace

uint32_t CheckServerCertificate(PCCERT_CONTEXT cert, const TlsPeerCheck& check,
                                const std::string& server_name, std::string& detail) {
  if (check.level == TlsPeerCheck::kNone) return 0;
  const bool by_name = check.level == TlsPeerCheck::kChainAndName;
  if (by_name && server_name.empty()) {
    detail = "no server name to check the certificate against";
    return err::kSecWrongPrincipal;
  }
  // A CA file becomes the only root of a chain engine of its own.
  Store roots;
  Engine engine;
  if (!check.ca_file.empty()) {
    roots = LoadRoots(check.ca_file, detail);
    if (!roots) return err::kSecNoCredentials;
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof config;
    config.hExclusiveRoot = roots.get();
    HCERTCHAINENGINE made = nullptr;
    if (!::CertCreateCertificateChainEngine(&config, &made)) {
      detail = "the CA file " + check.ca_file + " cannot be used: error " +
               std::to_string(::GetLastError());
      return err::kSecNoCredentials;
    }
    engine.reset(made);
  }
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT made_chain = nullptr;
  if (!::CertGetCertificateChain(static_cast<HCERTCHAINENGINE>(engine.get()), cert, nullptr,
                                 cert->hCertStore, &para, 0, nullptr, &made_chain)) {
    detail = "certificate verify failed: no chain: error " + std::to_string(::GetLastError());
    return err::kSecCertUnknown;
  }
  const Chain chain(made_chain);
  // An address is matched against the certificate's IP entries here: the
  // policy matches DNS names only.
  const std::vector<uint8_t> address = AddressBytes(server_name);
  std::wstring wide_name = Wide(server_name, CP_ACP);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{};
  extra.cbSize = sizeof extra;
  extra.dwAuthType = AUTHTYPE_SERVER;
  if (by_name && address.empty()) {
    extra.pwszServerName = wide_name.data();
  } else {
    extra.fdwChecks = kIgnoreNameFlag;
  }
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &extra;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
    detail = "certificate verify failed: error " + std::to_string(::GetLastError());
    return err::kSecCertUnknown;
  }
  if (status.dwError != 0) return PolicyFailure(status.dwError, cert, server_name, detail);
  // The chain's own verdict as well: some implementations of the policy let
  // a chain pass that leads to no trusted root.
  if (const DWORD e = ChainError(chain->TrustStatus.dwErrorStatus); e != 0) {
    return PolicyFailure(e, cert, server_name, detail);
  }
  if (by_name && !address.empty() && !HoldsAddress(cert, address)) {
    return PolicyFailure(static_cast<DWORD>(CERT_E_CN_NO_MATCH), cert, server_name, detail);
  }
  return 0;
}

}  // namespace cvn::platform::win32
