// Sockets on BSD sockets, with errno and getaddrinfo errors turned into the
// Windows Sockets numbers.
#include "platform/socket.h"

#include "base/win_errors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace cvn::platform {
namespace {

thread_local uint32_t t_last_error = 0;

uint32_t ErrnoToWsa(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return err::kWsaInterrupted;
    case EBADF: return err::kWsaNotSocket;
    case EACCES:
    case EPERM: return err::kWsaAccessDenied;
    case EFAULT: return err::kWsaFault;
    case EINVAL: return err::kWsaInvalidArgument;
    case EMFILE:
    case ENFILE: return err::kWsaTooManySockets;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN: return err::kWsaWouldBlock;
    case EINPROGRESS: return err::kWsaInProgress;
    case EALREADY: return err::kWsaAlready;
    case ENOTSOCK: return err::kWsaNotSocket;
    case EMSGSIZE: return err::kWsaMessageSize;
    case EPROTOTYPE: return err::kWsaProtocolType;
    case EPROTONOSUPPORT: return err::kWsaProtocolNotSupported;
    case ESOCKTNOSUPPORT: return err::kWsaSocketTypeNotSupported;
    case EOPNOTSUPP: return err::kWsaOperationNotSupported;
    case EAFNOSUPPORT:
    case EPFNOSUPPORT: return err::kWsaFamilyNotSupported;
    case EADDRINUSE: return err::kWsaAddressInUse;
    case EADDRNOTAVAIL: return err::kWsaAddressNotAvailable;
    case ENETDOWN: return err::kWsaNetworkDown;
    case ENETUNREACH: return err::kWsaNetworkUnreachable;
    case ENETRESET: return err::kWsaNetworkReset;
    case ECONNABORTED: return err::kWsaConnectionAborted;
    // Writing to a connection the peer has closed: Windows reports a reset.
    case EPIPE:
    case ECONNRESET: return err::kWsaConnectionReset;
    case ENOBUFS:
    case ENOMEM: return err::kWsaNoBufferSpace;
    case EISCONN: return err::kWsaAlreadyConnected;
    case ENOTCONN:
    case EDESTADDRREQ: return err::kWsaNotConnected;
    case ESHUTDOWN: return err::kWsaShutdown;
    case ETIMEDOUT: return err::kWsaTimedOut;
    case ECONNREFUSED: return err::kWsaConnectionRefused;
    case EHOSTDOWN: return err::kWsaHostDown;
    case EHOSTUNREACH: return err::kWsaHostUnreachable;
    default: return err::kWsaInvalidArgument;
  }
}

uint32_t LastWsa() { return ErrnoToWsa(errno); }

uint32_t GaiToWsa(int r) {
  switch (r) {
    case 0: return 0;
    case EAI_AGAIN: return err::kWsaTryAgain;
    case EAI_BADFLAGS: return err::kWsaInvalidArgument;
    case EAI_FAIL: return err::kWsaNoRecovery;
    case EAI_FAMILY: return err::kWsaFamilyNotSupported;
    case EAI_MEMORY: return err::kNotEnoughMemory;
    case EAI_NONAME: return err::kWsaHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA: return err::kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return err::kWsaNoData;
#endif
    case EAI_SERVICE: return err::kWsaTypeNotFound;
    case EAI_SOCKTYPE: return err::kWsaSocketTypeNotSupported;
    case EAI_SYSTEM: return LastWsa();
    default: return err::kWsaNoRecovery;
  }
}

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

SocketAddress FromNative(const sockaddr* sa, socklen_t length) {
  SocketAddress a;
  if (sa == nullptr || length == 0 || length > a.storage.size()) return a;
  a.family = FromNativeFamily(sa->sa_family);
  a.length = static_cast<uint32_t>(length);
  std::memcpy(a.storage.data(), sa, length);
  return a;
}

const sockaddr* Native(const SocketAddress& a) {
  return reinterpret_cast<const sockaddr*>(a.storage.data());
}

int Fd(SocketHandle s) { return static_cast<int>(s); }

// Waits for a non-blocking connect to finish; 0 or the error.
uint32_t WaitConnected(int fd, uint32_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms != kSocketNoTimeout) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return err::kWsaTimedOut;
      wait_ms = static_cast<int>(left);
    }
    pollfd p{fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, wait_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      return LastWsa();
    }
    if (r == 0) continue;  // loop checks the deadline
    int so_error = 0;
    socklen_t len = sizeof(so_error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return LastWsa();
    return ErrnoToWsa(so_error);
  }
}

}  // namespace

uint32_t SocketLastError() { return t_last_error; }
void SetSocketLastError(uint32_t error) { t_last_error = error; }

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
    const auto* in = reinterpret_cast<const sockaddr_in*>(storage.data());
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) == nullptr) return {};
    return std::string(text) + ":" + std::to_string(Port());
  }
  if (family == AddressFamily::kIPv6 && length >= sizeof(sockaddr_in6)) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(storage.data());
    if (::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text)) == nullptr) return {};
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
  const std::string h(host);
  const std::string sv(service);
  addrinfo want{};
  want.ai_family = ToNativeFamily(hints.family);
  want.ai_socktype = ToNativeType(hints.type);
  const bool any_hint =
      hints.family != AddressFamily::kUnspecified || hints.type != SocketType::kAny;
  addrinfo* list = nullptr;
  const int r = ::getaddrinfo(h.empty() ? nullptr : h.c_str(), sv.empty() ? nullptr : sv.c_str(),
                              any_hint ? &want : nullptr, &list);
  if (r != 0) return GaiToWsa(r);
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
  const int native_type = ToNativeType(type);
  if (native_type == 0) return err::kWsaSocketTypeNotSupported;
  const int protocol = type == SocketType::kStream ? IPPROTO_TCP : IPPROTO_UDP;
  const int fd = ::socket(ToNativeFamily(family), native_type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return LastWsa();
  *out = fd;
  return 0;
}

uint32_t SocketCalls::Connect(SocketHandle s, const SocketAddress& address, uint32_t timeout_ms) {
  const int fd = Fd(s);
  if (timeout_ms == kSocketNoTimeout) {
    if (::connect(fd, Native(address), address.length) == 0) return 0;
    // An interrupted connect goes on in the background; wait for its end.
    return errno == EINTR ? WaitConnected(fd, kSocketNoTimeout) : LastWsa();
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return LastWsa();
  uint32_t result = 0;
  if (::connect(fd, Native(address), address.length) != 0) {
    result = (errno == EINPROGRESS || errno == EINTR) ? WaitConnected(fd, timeout_ms) : LastWsa();
  }
  if (::fcntl(fd, F_SETFL, flags) != 0 && result == 0) result = LastWsa();
  return result;
}

uint32_t SocketCalls::Bind(SocketHandle s, const SocketAddress& address) {
  return ::bind(Fd(s), Native(address), address.length) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::Listen(SocketHandle s, int backlog) {
  return ::listen(Fd(s), backlog) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::Accept(SocketHandle s, SocketHandle* out) {
  for (;;) {
    const int fd = ::accept4(Fd(s), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      *out = fd;
      return 0;
    }
    if (errno != EINTR) return LastWsa();
  }
}

uint32_t SocketCalls::LocalAddress(SocketHandle s, SocketAddress* out) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return LastWsa();
  *out = FromNative(reinterpret_cast<const sockaddr*>(&ss), len);
  return 0;
}

int64_t SocketCalls::Send(SocketHandle s, const void* data, size_t length, uint32_t* error) {
  for (;;) {
    // MSG_NOSIGNAL: a closed peer is an error result, never a SIGPIPE.
    const ssize_t n = ::send(Fd(s), data, length, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    // The send time-out of a blocking socket, as Windows reports it.
    *error = (errno == EAGAIN || errno == EWOULDBLOCK) ? err::kWsaTimedOut : LastWsa();
    return -1;
  }
}

int64_t SocketCalls::SendTo(SocketHandle s, const void* data, size_t length,
                            const SocketAddress& to, uint32_t* error) {
  for (;;) {
    const ssize_t n = ::sendto(Fd(s), data, length, MSG_NOSIGNAL, Native(to), to.length);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    *error = LastWsa();
    return -1;
  }
}

int64_t SocketCalls::Receive(SocketHandle s, void* buffer, size_t capacity, uint32_t* error) {
  for (;;) {
    const ssize_t n = ::recv(Fd(s), buffer, capacity, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    // SO_RCVTIMEO expiring shows as EAGAIN here and as a time-out on Windows.
    *error = (errno == EAGAIN || errno == EWOULDBLOCK) ? err::kWsaTimedOut : LastWsa();
    return -1;
  }
}

uint32_t SocketCalls::SetReceiveTimeout(SocketHandle s, uint32_t timeout_ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  return ::setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::SetSendTimeout(SocketHandle s, uint32_t timeout_ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  return ::setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::SetSendBuffer(SocketHandle s, uint32_t bytes) {
  const int value = static_cast<int>(std::min<uint32_t>(bytes, 0x7FFFFFFF));
  return ::setsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, &value, sizeof(value)) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::UnacknowledgedBytes(SocketHandle s, size_t* out) {
  // The send queue: sent and not yet acknowledged, and not yet sent.
  int queued = 0;
  if (::ioctl(Fd(s), SIOCOUTQ, &queued) != 0) return LastWsa();
  *out = queued > 0 ? static_cast<size_t>(queued) : 0;
  return 0;
}

uint32_t SocketCalls::Shutdown(SocketHandle s, ShutdownHow how) {
  const int native = how == ShutdownHow::kReceive ? SHUT_RD
                     : how == ShutdownHow::kSend  ? SHUT_WR
                                                  : SHUT_RDWR;
  return ::shutdown(Fd(s), native) == 0 ? 0 : LastWsa();
}

uint32_t SocketCalls::Close(SocketHandle s) {
  // close() releases the descriptor even when it reports EINTR; never retry.
  return ::close(Fd(s)) == 0 || errno == EINTR ? 0 : LastWsa();
}

uint32_t SocketCalls::WaitReadable(SocketHandle s, uint32_t timeout_ms, bool* readable) {
  pollfd p{};
  p.fd = Fd(s);
  p.events = POLLIN;
  const int wait = timeout_ms == kSocketNoTimeout ? -1 : static_cast<int>(timeout_ms);
  for (;;) {
    const int n = ::poll(&p, 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastWsa();
    // A hang-up or an error counts as readable: the receive reports it.
    *readable = n > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return 0;
  }
}

uint32_t LocalHostName(std::string* out) {
  out->clear();
  char name[260] = {};
  if (gethostname(name, sizeof name - 1) != 0) return LastWsa();
  out->assign(name);
  return 0;
}

}  // namespace cvn::platform
