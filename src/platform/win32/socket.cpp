// Sockets on Windows Sockets 2. Windows Sockets is started on first use and
// cleaned up at process exit; callers never call WSAStartup.
#include "platform/win32/win.h"
// win.h first: it sets up the Windows headers.
#include <chrono>
#include <cstring>
#include <string>

#include "platform/socket.h"

namespace cvn::platform {
namespace {

// SIO_TCP_INFO and its version 0 answer (Windows 10 1703 and later), spelled
// out here: the headers show them only to programs that require that version.
constexpr DWORD kSioTcpInfo = _WSAIORW(IOC_VENDOR, 39);
struct TcpInfoV0 {
  int State;
  ULONG Mss;
  ULONG64 ConnectionTimeMs;
  BOOLEAN TimestampsEnabled;
  ULONG RttUs;
  ULONG MinRttUs;
  ULONG BytesInFlight;
  ULONG Cwnd;
  ULONG SndWnd;
  ULONG RcvWnd;
  ULONG RcvBuf;
  ULONG64 BytesOut;
  ULONG64 BytesIn;
  ULONG BytesReordered;
  ULONG BytesRetrans;
  ULONG FastRetrans;
  ULONG DupAcksIn;
  ULONG TimeoutEpisodes;
  UCHAR SynRetrans;
};

class Winsock {
 public:
  Winsock() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (started_) ::WSACleanup();
  }
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

// 0 once Windows Sockets runs, else the error to report.
uint32_t EnsureStarted() {
  static Winsock winsock;
  return winsock.started() ? 0 : err::kWsaNotInitialised;
}

uint32_t LastWsa() { return static_cast<uint32_t>(::WSAGetLastError()); }

SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(s); }

int ToNativeFamily(AddressFamily f) {
  switch (f) {
    case AddressFamily::kIPv4: return AF_INET;
    case AddressFamily::kIPv6: return AF_INET6;
    default: return AF_UNSPEC;
  }
}

AddressFamily FromNativeFamily(int f) {
  switch (f) {
    case AF_INET: return AddressFamily::kIPv4;
    case AF_INET6: return AddressFamily::kIPv6;
    default: return AddressFamily::kUnspecified;
  }
}

int ToNativeType(SocketType t) {
  switch (t) {
    case SocketType::kStream: return SOCK_STREAM;
    case SocketType::kDatagram: return SOCK_DGRAM;
    default: return 0;
  }
}

SocketType FromNativeType(int t) {
  switch (t) {
    case SOCK_STREAM: return SocketType::kStream;
    case SOCK_DGRAM: return SocketType::kDatagram;
    default: return SocketType::kAny;
  }
}

SocketAddress FromNative(const sockaddr* sa, size_t length) {
  SocketAddress a;
  if (sa == nullptr || length == 0 || length > a.storage.size()) return a;
  a.family = FromNativeFamily(sa->sa_family);
  a.length = static_cast<uint32_t>(length);
  std::memcpy(a.storage.data(), sa, length);
  return a;
}

const sockaddr* NativeAddress(const SocketAddress& a) {
  return reinterpret_cast<const sockaddr*>(a.storage.data());
}

int ClampLength(size_t length) {
  return length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(length);
}

}  // namespace

uint32_t SocketLastError() { return static_cast<uint32_t>(::WSAGetLastError()); }
void SetSocketLastError(uint32_t error) { ::WSASetLastError(static_cast<int>(error)); }

uint16_t SocketAddress::Port() const {
  if (family == AddressFamily::kIPv4 && length >= sizeof(sockaddr_in)) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(storage.data())->sin_port);
  }
  if (family == AddressFamily::kIPv6 && length >= sizeof(sockaddr_in6)) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(storage.data())->sin6_port);
  }
  return 0;
}

std::string SocketAddress::ToString() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family == AddressFamily::kIPv4 && length >= sizeof(sockaddr_in)) {
    auto in = *reinterpret_cast<const sockaddr_in*>(storage.data());
    if (::inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)) == nullptr) return {};
    return std::string(text) + ":" + std::to_string(Port());
  }
  if (family == AddressFamily::kIPv6 && length >= sizeof(sockaddr_in6)) {
    auto in6 = *reinterpret_cast<const sockaddr_in6*>(storage.data());
    if (::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text)) == nullptr) return {};
    return "[" + std::string(text) + "]:" + std::to_string(Port());
  }
  return {};
}

SocketAddress SocketAddress::Loopback(uint16_t port, AddressFamily family) {
  if (family == AddressFamily::kIPv6) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_addr = in6addr_loopback;
    return FromNative(reinterpret_cast<const sockaddr*>(&in6), sizeof(in6));
  }
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return FromNative(reinterpret_cast<const sockaddr*>(&in), sizeof(in));
}

uint32_t SocketCalls::Resolve(std::string_view host, std::string_view service,
                              const ResolveHints& hints, std::vector<ResolvedAddress>* out) {
  if (const uint32_t e = EnsureStarted()) return e;
  const std::string h(host);
  const std::string sv(service);
  addrinfo want{};
  want.ai_family = ToNativeFamily(hints.family);
  want.ai_socktype = ToNativeType(hints.type);
  const bool any_hint =
      hints.family != AddressFamily::kUnspecified || hints.type != SocketType::kAny;
  addrinfo* list = nullptr;
  // getaddrinfo returns the Windows Sockets error itself.
  const int r = ::getaddrinfo(h.empty() ? nullptr : h.c_str(), sv.empty() ? nullptr : sv.c_str(),
                              any_hint ? &want : nullptr, &list);
  if (r != 0) return static_cast<uint32_t>(r);
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    ResolvedAddress ra;
    ra.family = FromNativeFamily(ai->ai_family);
    ra.type = FromNativeType(ai->ai_socktype);
    ra.address = FromNative(ai->ai_addr, ai->ai_addrlen);
    out->push_back(ra);
  }
  ::freeaddrinfo(list);
  return out->empty() ? err::kWsaNoData : 0;
}

uint32_t SocketCalls::Open(AddressFamily family, SocketType type, SocketHandle* out) {
  if (const uint32_t e = EnsureStarted()) return e;
  const int native_type = ToNativeType(type);
  if (native_type == 0) return err::kWsaSocketTypeNotSupported;
  const int protocol = type == SocketType::kStream ? IPPROTO_TCP : IPPROTO_UDP;
  // Not inheritable: a child process must not keep a connection open.
  const SOCKET s = ::WSASocketW(ToNativeFamily(family), native_type, protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | 0x80 /* WSA_FLAG_NO_HANDLE_INHERIT */);
  if (s == INVALID_SOCKET) {
    // Systems before Windows 7 SP1 do not know the no-inherit flag.
    const SOCKET plain = ::socket(ToNativeFamily(family), native_type, protocol);
    if (plain == INVALID_SOCKET) return LastWsa();
    *out = static_cast<SocketHandle>(plain);
    return 0;
  }
  *out = static_cast<SocketHandle>(s);
  return 0;
}

uint32_t SocketCalls::Connect(SocketHandle s, const SocketAddress& address, uint32_t timeout_ms) {
  if (const uint32_t e = EnsureStarted()) return e;
  const SOCKET sock = Native(s);
  const int length = static_cast<int>(address.length);
  if (timeout_ms == kSocketNoTimeout) {
    return ::connect(sock, NativeAddress(address), length) == 0 ? 0 : LastWsa();
  }
  u_long non_blocking = 1;
  if (::ioctlsocket(sock, FIONBIO, &non_blocking) != 0) return LastWsa();
  uint32_t result = 0;
  if (::connect(sock, NativeAddress(address), length) != 0) {
    result = LastWsa();
    if (result == err::kWsaWouldBlock) {
      fd_set writable;
      fd_set failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(sock, &writable);
      FD_SET(sock, &failed);
      timeval tv{};
      tv.tv_sec = static_cast<long>(timeout_ms / 1000);
      tv.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
      const int r = ::select(0, nullptr, &writable, &failed, &tv);
      if (r == 0) {
        result = err::kWsaTimedOut;
      } else if (r < 0) {
        result = LastWsa();
      } else if (FD_ISSET(sock, &failed)) {
        int so_error = 0;
        int len = sizeof(so_error);
        ::getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len);
        result = so_error != 0 ? static_cast<uint32_t>(so_error) : err::kWsaConnectionRefused;
      } else {
        result = 0;
      }
    }
  }
  u_long blocking = 0;
  if (::ioctlsocket(sock, FIONBIO, &blocking) != 0 && result == 0) result = LastWsa();
  return result;
}

uint32_t SocketCalls::Bind(SocketHandle s, const SocketAddress& address) {
  if (const uint32_t e = EnsureStarted()) return e;
  return ::bind(Native(s), NativeAddress(address), static_cast<int>(address.length)) == 0
             ? 0
             : LastWsa();
}

uint32_t SocketCalls::Listen(SocketHandle s, int backlog) {
  if (const uint32_t e = EnsureStarted()) return e;
  return ::listen(Native(s), backlog) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::Accept(SocketHandle s, SocketHandle* out) {
  if (const uint32_t e = EnsureStarted()) return e;
  const SOCKET a = ::accept(Native(s), nullptr, nullptr);
  if (a == INVALID_SOCKET) return LastWsa();
  *out = static_cast<SocketHandle>(a);
  return 0;
}

uint32_t SocketCalls::LocalAddress(SocketHandle s, SocketAddress* out) {
  if (const uint32_t e = EnsureStarted()) return e;
  sockaddr_storage ss{};
  int len = sizeof(ss);
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return LastWsa();
  *out = FromNative(reinterpret_cast<const sockaddr*>(&ss), static_cast<size_t>(len));
  return 0;
}

int64_t SocketCalls::Send(SocketHandle s, const void* data, size_t length, uint32_t* error) {
  if ((*error = EnsureStarted()) != 0) return -1;
  const int n = ::send(Native(s), static_cast<const char*>(data), ClampLength(length), 0);
  if (n == SOCKET_ERROR) {
    *error = LastWsa();
    return -1;
  }
  return n;
}

int64_t SocketCalls::SendTo(SocketHandle s, const void* data, size_t length,
                            const SocketAddress& to, uint32_t* error) {
  if ((*error = EnsureStarted()) != 0) return -1;
  const int n = ::sendto(Native(s), static_cast<const char*>(data), ClampLength(length), 0,
                         NativeAddress(to), static_cast<int>(to.length));
  if (n == SOCKET_ERROR) {
    *error = LastWsa();
    return -1;
  }
  return n;
}

int64_t SocketCalls::Receive(SocketHandle s, void* buffer, size_t capacity, uint32_t* error) {
  if ((*error = EnsureStarted()) != 0) return -1;
  const int n = ::recv(Native(s), static_cast<char*>(buffer), ClampLength(capacity), 0);
  if (n == SOCKET_ERROR) {
    *error = LastWsa();
    return -1;
  }
  return n;
}

uint32_t SocketCalls::SetReceiveTimeout(SocketHandle s, uint32_t timeout_ms) {
  if (const uint32_t e = EnsureStarted()) return e;
  const DWORD value = timeout_ms;
  return ::setsockopt(Native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof(value)) == 0
             ? 0
             : LastWsa();
}

uint32_t SocketCalls::SetSendTimeout(SocketHandle s, uint32_t timeout_ms) {
  if (const uint32_t e = EnsureStarted()) return e;
  const DWORD value = timeout_ms;
  return ::setsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof(value)) == 0
             ? 0
             : LastWsa();
}

uint32_t SocketCalls::SetSendBuffer(SocketHandle s, uint32_t bytes) {
  if (const uint32_t e = EnsureStarted()) return e;
  const int value = static_cast<int>(bytes > 0x7FFFFFFFu ? 0x7FFFFFFFu : bytes);
  return ::setsockopt(Native(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&value),
                      sizeof(value)) == 0
             ? 0
             : LastWsa();
}

uint32_t SocketCalls::UnacknowledgedBytes(SocketHandle s, size_t* out) {
  if (const uint32_t e = EnsureStarted()) return e;
  // Windows 10 1703 and later: the connection's bytes in flight (sent, not
  // yet acknowledged). Older systems (and Wine) answer with an error: the
  // caller then relies on the capped send buffer.
  DWORD version = 0;
  TcpInfoV0 info{};
  DWORD returned = 0;
  if (::WSAIoctl(Native(s), kSioTcpInfo, &version, sizeof(version), &info, sizeof(info), &returned,
                 nullptr, nullptr) != 0 ||
      returned < sizeof(info)) {
    return err::kWsaOperationNotSupported;
  }
  *out = info.BytesInFlight;
  return 0;
}

uint32_t SocketCalls::Shutdown(SocketHandle s, ShutdownHow how) {
  if (const uint32_t e = EnsureStarted()) return e;
  const int native = how == ShutdownHow::kReceive ? SD_RECEIVE
                     : how == ShutdownHow::kSend  ? SD_SEND
                                                  : SD_BOTH;
  return ::shutdown(Native(s), native) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::Close(SocketHandle s) {
  if (const uint32_t e = EnsureStarted()) return e;
  return ::closesocket(Native(s)) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::WaitReadable(SocketHandle s, uint32_t timeout_ms, bool* readable) {
  if (const uint32_t e = EnsureStarted()) return e;
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(Native(s), &read_set);
  timeval tv{};
  tv.tv_sec = static_cast<long>(timeout_ms / 1000);
  tv.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
  const int n =
      ::select(0, &read_set, nullptr, nullptr, timeout_ms == kSocketNoTimeout ? nullptr : &tv);
  if (n == SOCKET_ERROR) return LastWsa();
  *readable = n > 0;
  return 0;
}

uint32_t LocalHostName(std::string* out) {
  out->clear();
  if (const uint32_t error = EnsureStarted(); error != 0) return error;
  char name[260] = {};
  if (::gethostname(name, static_cast<int>(sizeof name - 1)) != 0) return LastWsa();
  out->assign(name);
  return 0;
}

}  // namespace cvn::platform
