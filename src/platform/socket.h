// Sockets: name resolution, UDP and TCP sockets, connect with a time-out,
// send and receive with a receive time-out. Errors are Windows Sockets error
// numbers on every system (10060 timed out, 10061 refused, 10054 reset, 11001
// host not found, ...), so callers and their error texts read alike.
//
// Every call goes through one replaceable SocketCalls object: tests install
// their own (ScopedSocketCalls) to inject resets, partial writes and resolution
// failures without a network. The win32 layer starts and ends Windows Sockets
// itself; callers never do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace cvn::err {

// Windows Sockets error numbers.
constexpr uint32_t kWsaInterrupted = 10004;             // WSAEINTR
constexpr uint32_t kWsaBadHandle = 10009;               // WSAEBADF
constexpr uint32_t kWsaAccessDenied = 10013;            // WSAEACCES
constexpr uint32_t kWsaFault = 10014;                   // WSAEFAULT
constexpr uint32_t kWsaInvalidArgument = 10022;         // WSAEINVAL
constexpr uint32_t kWsaTooManySockets = 10024;          // WSAEMFILE
constexpr uint32_t kWsaWouldBlock = 10035;              // WSAEWOULDBLOCK
constexpr uint32_t kWsaInProgress = 10036;              // WSAEINPROGRESS
constexpr uint32_t kWsaAlready = 10037;                 // WSAEALREADY
constexpr uint32_t kWsaNotSocket = 10038;               // WSAENOTSOCK
constexpr uint32_t kWsaMessageSize = 10040;             // WSAEMSGSIZE
constexpr uint32_t kWsaProtocolType = 10041;            // WSAEPROTOTYPE
constexpr uint32_t kWsaProtocolNotSupported = 10043;    // WSAEPROTONOSUPPORT
constexpr uint32_t kWsaSocketTypeNotSupported = 10044;  // WSAESOCKTNOSUPPORT
constexpr uint32_t kWsaOperationNotSupported = 10045;   // WSAEOPNOTSUPP
constexpr uint32_t kWsaFamilyNotSupported = 10047;      // WSAEAFNOSUPPORT
constexpr uint32_t kWsaAddressInUse = 10048;            // WSAEADDRINUSE
constexpr uint32_t kWsaAddressNotAvailable = 10049;     // WSAEADDRNOTAVAIL
constexpr uint32_t kWsaNetworkDown = 10050;             // WSAENETDOWN
constexpr uint32_t kWsaNetworkUnreachable = 10051;      // WSAENETUNREACH
constexpr uint32_t kWsaNetworkReset = 10052;            // WSAENETRESET
constexpr uint32_t kWsaConnectionAborted = 10053;       // WSAECONNABORTED
constexpr uint32_t kWsaConnectionReset = 10054;         // WSAECONNRESET
constexpr uint32_t kWsaNoBufferSpace = 10055;           // WSAENOBUFS
constexpr uint32_t kWsaAlreadyConnected = 10056;        // WSAEISCONN
constexpr uint32_t kWsaNotConnected = 10057;            // WSAENOTCONN
constexpr uint32_t kWsaShutdown = 10058;                // WSAESHUTDOWN
constexpr uint32_t kWsaTimedOut = 10060;                // WSAETIMEDOUT
constexpr uint32_t kWsaConnectionRefused = 10061;       // WSAECONNREFUSED
constexpr uint32_t kWsaHostDown = 10064;                // WSAEHOSTDOWN
constexpr uint32_t kWsaHostUnreachable = 10065;         // WSAEHOSTUNREACH
constexpr uint32_t kWsaNotInitialised = 10093;          // WSANOTINITIALISED
constexpr uint32_t kWsaTypeNotFound = 10109;            // WSATYPE_NOT_FOUND
constexpr uint32_t kWsaHostNotFound = 11001;            // WSAHOST_NOT_FOUND
constexpr uint32_t kWsaTryAgain = 11002;                // WSATRY_AGAIN
constexpr uint32_t kWsaNoRecovery = 11003;              // WSANO_RECOVERY
constexpr uint32_t kWsaNoData = 11004;                  // WSANO_DATA

}  // namespace cvn::err

namespace cvn::platform {

// A socket: a SOCKET on Windows, a file descriptor elsewhere. kInvalidSocket
// (-1) marks "no socket".
using SocketHandle = intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

enum class AddressFamily : uint32_t { kUnspecified = 0, kIPv4 = 1, kIPv6 = 2 };
enum class SocketType : uint32_t { kAny = 0, kStream = 1, kDatagram = 2 };

// A socket address of either family, kept in the system's own layout.
struct SocketAddress {
  AddressFamily family = AddressFamily::kUnspecified;
  uint32_t length = 0;                 // bytes of storage in use
  std::array<uint8_t, 128> storage{};  // sockaddr_in / sockaddr_in6

  uint16_t Port() const;
  // "127.0.0.1:514" or "[::1]:514"; empty for an empty address.
  std::string ToString() const;
  // The loopback address of a family (127.0.0.1 or ::1) with a port.
  static SocketAddress Loopback(uint16_t port, AddressFamily family = AddressFamily::kIPv4);
};

// One result of a name resolution.
struct ResolvedAddress {
  AddressFamily family = AddressFamily::kUnspecified;
  SocketType type = SocketType::kAny;
  SocketAddress address;
};

struct ResolveHints {
  AddressFamily family = AddressFamily::kUnspecified;
  SocketType type = SocketType::kAny;
};

// Waits without end when given as a time-out.
constexpr uint32_t kSocketNoTimeout = 0xFFFFFFFFu;

enum class ShutdownHow : uint32_t { kReceive = 0, kSend = 1, kBoth = 2 };

// The system calls behind the functions below. The methods of this class are
// the real calls; a test derives from it, overrides what it wants to fail or
// observe, calls the base for the rest, and installs its object with
// ScopedSocketCalls. Results: 0 or a Windows Sockets error number; Send and
// Receive return a byte count, or -1 with *error set.
class SocketCalls {
 public:
  virtual ~SocketCalls() = default;

  virtual uint32_t Resolve(std::string_view host, std::string_view service,
                           const ResolveHints& hints, std::vector<ResolvedAddress>* out);
  virtual uint32_t Open(AddressFamily family, SocketType type, SocketHandle* out);
  virtual uint32_t Connect(SocketHandle s, const SocketAddress& address, uint32_t timeout_ms);
  virtual uint32_t Bind(SocketHandle s, const SocketAddress& address);
  virtual uint32_t Listen(SocketHandle s, int backlog);
  virtual uint32_t Accept(SocketHandle s, SocketHandle* out);
  virtual uint32_t LocalAddress(SocketHandle s, SocketAddress* out);
  virtual int64_t Send(SocketHandle s, const void* data, size_t length, uint32_t* error);
  virtual int64_t SendTo(SocketHandle s, const void* data, size_t length, const SocketAddress& to,
                         uint32_t* error);
  virtual int64_t Receive(SocketHandle s, void* buffer, size_t capacity, uint32_t* error);
  virtual uint32_t SetReceiveTimeout(SocketHandle s, uint32_t timeout_ms);
  virtual uint32_t SetSendTimeout(SocketHandle s, uint32_t timeout_ms);
  virtual uint32_t SetSendBuffer(SocketHandle s, uint32_t bytes);
  virtual uint32_t UnacknowledgedBytes(SocketHandle s, size_t* out);
  virtual uint32_t Shutdown(SocketHandle s, ShutdownHow how);
  virtual uint32_t Close(SocketHandle s);
  virtual uint32_t WaitReadable(SocketHandle s, uint32_t timeout_ms, bool* readable);
};

// The object in use (the real calls unless a test replaced them).
SocketCalls& CurrentSocketCalls();

// Replaces the socket calls of the whole process for its lifetime.
class ScopedSocketCalls {
 public:
  explicit ScopedSocketCalls(SocketCalls* calls);
  ~ScopedSocketCalls();
  ScopedSocketCalls(const ScopedSocketCalls&) = delete;
  ScopedSocketCalls& operator=(const ScopedSocketCalls&) = delete;

 private:
  SocketCalls* previous_;
};

// The calling thread's last socket error (WSAGetLastError on Windows). Every
// function below that fails sets it; callers that report "the socket error"
// read it here.
uint32_t SocketLastError();
void SetSocketLastError(uint32_t error);

// getaddrinfo: host and service (a port number as text, or empty); the
// results in the resolver's order. 0, or 11001 host not found, 11002 try
// again, 11003 no recovery, 10109 unknown service, ...
uint32_t ResolveAddress(std::string_view host, std::string_view service,
                        std::vector<ResolvedAddress>* out, const ResolveHints& hints = {});

// The local host name as the system's gethostname gives it: 0, or the
// socket error (out is then empty).
uint32_t LocalHostName(std::string* out);

// Creates a socket: UDP for kDatagram, TCP for kStream.
uint32_t OpenSocket(AddressFamily family, SocketType type, SocketHandle* out);
// Connects (for UDP: fixes the destination). With a time-out, a connection
// not made in time fails with 10060 and leaves the socket unusable.
uint32_t ConnectSocket(SocketHandle s, const SocketAddress& address,
                       uint32_t timeout_ms = kSocketNoTimeout);
uint32_t BindSocket(SocketHandle s, const SocketAddress& address);
uint32_t ListenSocket(SocketHandle s, int backlog = 16);
uint32_t AcceptSocket(SocketHandle s, SocketHandle* out);
uint32_t SocketLocalAddress(SocketHandle s, SocketAddress* out);

// One send: the count sent (which may be less than length), or -1.
int64_t SendSocket(SocketHandle s, const void* data, size_t length);
// Sends all bytes, repeating after partial sends: length, or -1. sent (when
// given) receives the bytes the system took, also when the send failed. With
// a time-out the whole send must end within it (10060 otherwise); the
// socket's send time-out is changed on the way.
int64_t SendAllSocket(SocketHandle s, const void* data, size_t length, size_t* sent = nullptr,
                      uint32_t timeout_ms = kSocketNoTimeout);
// One datagram to an address: the count sent, or -1.
int64_t SendToSocket(SocketHandle s, const void* data, size_t length, const SocketAddress& to);
// One receive: the count received, 0 when the peer closed (stream), or -1;
// 10060 when the receive time-out passed without data.
int64_t ReceiveSocket(SocketHandle s, void* buffer, size_t capacity);

// SO_RCVTIMEO in milliseconds; 0 waits without end.
uint32_t SetSocketReceiveTimeout(SocketHandle s, uint32_t timeout_ms);
// Sets the receive time-out to what is left of a deadline: 0, or 10060 when
// nothing is left. Without a limit nothing changes.
uint32_t ArmReceiveDeadline(SocketHandle s, const Deadline& deadline);
// SO_SNDTIMEO in milliseconds; 0 waits without end. A send that finds no room
// for that long fails with 10060, and the connection is then unusable.
uint32_t SetSocketSendTimeout(SocketHandle s, uint32_t timeout_ms);
// SO_SNDBUF: at most this many bytes (the system may double it) wait in a
// stream socket for the peer to take them.
uint32_t SetSocketSendBuffer(SocketHandle s, uint32_t bytes);
// The bytes of a connected stream socket that its peer has not acknowledged
// yet: 0 with *out, 10045 where the system cannot tell, or the socket error.
// Linux counts the bytes still waiting to be sent too; Windows counts only
// the bytes in flight, so its capped send buffer bounds the rest.
uint32_t SocketUnacknowledgedBytes(SocketHandle s, size_t* out);
uint32_t ShutdownSocket(SocketHandle s, ShutdownHow how = ShutdownHow::kBoth);
uint32_t CloseSocket(SocketHandle s);

// Waits at most timeout_ms (0 only looks) until data, the end of the stream or
// an error waits to be received on s: 0 with *readable, or the socket error.
// Lets a sender notice that the peer ended an idle connection before it sends
// into it.
uint32_t WaitSocketReadable(SocketHandle s, uint32_t timeout_ms, bool* readable);

// The system's English text of a Windows Sockets error number, as Windows
// words it; empty for numbers outside the sockets range.
std::string SocketErrorText(uint32_t error);

// A socket that is closed when it goes out of scope.
class ScopedSocket {
 public:
  ScopedSocket() = default;
  explicit ScopedSocket(SocketHandle s) : s_(s) {}
  ~ScopedSocket() { Reset(); }
  ScopedSocket(ScopedSocket&& other) noexcept : s_(other.Release()) {}
  ScopedSocket& operator=(ScopedSocket&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedSocket(const ScopedSocket&) = delete;
  ScopedSocket& operator=(const ScopedSocket&) = delete;

  SocketHandle Get() const { return s_; }
  bool IsValid() const { return s_ != kInvalidSocket; }
  SocketHandle* Receive() {
    Reset();
    return &s_;
  }
  SocketHandle Release() {
    SocketHandle s = s_;
    s_ = kInvalidSocket;
    return s;
  }
  void Reset(SocketHandle s = kInvalidSocket) {
    if (s_ != kInvalidSocket) CloseSocket(s_);
    s_ = s;
  }

 private:
  SocketHandle s_ = kInvalidSocket;
};

}  // namespace cvn::platform
