// The portable half of the sockets capability: the replaceable call table,
// the functions that route through it and keep the thread's last error, and
// the error texts.
#include <atomic>

#include "platform/socket.h"

#include "platform/clock.h"

namespace cvn::platform {
namespace {

SocketCalls& SystemCalls() {
  static SocketCalls calls;
  return calls;
}

std::atomic<SocketCalls*> g_calls{nullptr};

uint32_t Fail(uint32_t error) {
  if (error != 0) SetSocketLastError(error);
  return error;
}

int64_t CountOrFail(int64_t count, uint32_t error) {
  if (count < 0) {
    SetSocketLastError(error != 0 ? error : err::kWsaFault);
    return -1;
  }
  return count;
}

}  // namespace

SocketCalls& CurrentSocketCalls() {
  SocketCalls* calls = g_calls.load(std::memory_order_acquire);
  return calls != nullptr ? *calls : SystemCalls();
}

ScopedSocketCalls::ScopedSocketCalls(SocketCalls* calls)
    : previous_(g_calls.exchange(calls, std::memory_order_acq_rel)) {}

ScopedSocketCalls::~ScopedSocketCalls() { g_calls.store(previous_, std::memory_order_release); }

uint32_t ResolveAddress(std::string_view host, std::string_view service,
                        std::vector<ResolvedAddress>* out, const ResolveHints& hints) {
  out->clear();
  return Fail(CurrentSocketCalls().Resolve(host, service, hints, out));
}

uint32_t OpenSocket(AddressFamily family, SocketType type, SocketHandle* out) {
  *out = kInvalidSocket;
  return Fail(CurrentSocketCalls().Open(family, type, out));
}

uint32_t ConnectSocket(SocketHandle s, const SocketAddress& address, uint32_t timeout_ms) {
  return Fail(CurrentSocketCalls().Connect(s, address, timeout_ms));
}

uint32_t BindSocket(SocketHandle s, const SocketAddress& address) {
  return Fail(CurrentSocketCalls().Bind(s, address));
}

uint32_t ListenSocket(SocketHandle s, int backlog) {
  return Fail(CurrentSocketCalls().Listen(s, backlog));
}

uint32_t AcceptSocket(SocketHandle s, SocketHandle* out) {
  *out = kInvalidSocket;
  return Fail(CurrentSocketCalls().Accept(s, out));
}

uint32_t SocketLocalAddress(SocketHandle s, SocketAddress* out) {
  *out = SocketAddress{};
  return Fail(CurrentSocketCalls().LocalAddress(s, out));
}

int64_t SendSocket(SocketHandle s, const void* data, size_t length) {
  uint32_t error = 0;
  const int64_t n = CurrentSocketCalls().Send(s, data, length, &error);
  return CountOrFail(n, error);
}

int64_t SendAllSocket(SocketHandle s, const void* data, size_t length, size_t* sent,
                      uint32_t timeout_ms) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t local = 0;
  size_t& done = sent != nullptr ? *sent : local;
  done = 0;
  const Deadline deadline(timeout_ms);
  // A blocking socket that accepts nothing is broken; give up rather than spin.
  int zero_sends = 0;
  while (done < length) {
    if (deadline.limited()) {
      // Each send waits only for what is left of the time, so a receiver
      // that takes a little now and then cannot stretch it.
      const uint32_t left = deadline.Remaining();
      const uint32_t error =
          left == 0 ? static_cast<uint32_t>(err::kWsaTimedOut) : SetSocketSendTimeout(s, left);
      if (error != 0) {
        SetSocketLastError(error);
        return -1;
      }
    }
    const int64_t n = SendSocket(s, bytes + done, length - done);
    if (n < 0) return -1;
    if (n == 0) {
      if (++zero_sends == 3) {
        SetSocketLastError(err::kWsaConnectionAborted);
        return -1;
      }
      continue;
    }
    zero_sends = 0;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(length);
}

int64_t SendToSocket(SocketHandle s, const void* data, size_t length, const SocketAddress& to) {
  uint32_t error = 0;
  const int64_t n = CurrentSocketCalls().SendTo(s, data, length, to, &error);
  return CountOrFail(n, error);
}

int64_t ReceiveSocket(SocketHandle s, void* buffer, size_t capacity) {
  uint32_t error = 0;
  const int64_t n = CurrentSocketCalls().Receive(s, buffer, capacity, &error);
  return CountOrFail(n, error);
}

uint32_t SetSocketReceiveTimeout(SocketHandle s, uint32_t timeout_ms) {
  return Fail(CurrentSocketCalls().SetReceiveTimeout(s, timeout_ms));
}

uint32_t ArmReceiveDeadline(SocketHandle s, const Deadline& deadline) {
  if (!deadline.limited()) return 0;
  const uint32_t left = deadline.Remaining();
  return left == 0 ? static_cast<uint32_t>(err::kWsaTimedOut) : SetSocketReceiveTimeout(s, left);
}

uint32_t SetSocketSendTimeout(SocketHandle s, uint32_t timeout_ms) {
  return Fail(CurrentSocketCalls().SetSendTimeout(s, timeout_ms));
}

uint32_t SetSocketSendBuffer(SocketHandle s, uint32_t bytes) {
  return Fail(CurrentSocketCalls().SetSendBuffer(s, bytes));
}

uint32_t SocketUnacknowledgedBytes(SocketHandle s, size_t* out) {
  *out = 0;
  return Fail(CurrentSocketCalls().UnacknowledgedBytes(s, out));
}

uint32_t ShutdownSocket(SocketHandle s, ShutdownHow how) {
  return Fail(CurrentSocketCalls().Shutdown(s, how));
}

uint32_t CloseSocket(SocketHandle s) {
  if (s == kInvalidSocket) return Fail(err::kWsaNotSocket);
  return Fail(CurrentSocketCalls().Close(s));
}

uint32_t WaitSocketReadable(SocketHandle s, uint32_t timeout_ms, bool* readable) {
  *readable = false;
  return Fail(CurrentSocketCalls().WaitReadable(s, timeout_ms, readable));
}

std::string SocketErrorText(uint32_t error) {
  switch (error) {
    case err::kWsaInterrupted:
      return "A blocking operation was interrupted by a call to WSACancelBlockingCall.";
    case err::kWsaBadHandle: return "The file handle supplied is not valid.";
    case err::kWsaAccessDenied:
      return "An attempt was made to access a socket in a way forbidden by its access "
             "permissions.";
    case err::kWsaFault:
      return "The system detected an invalid pointer address in attempting to use a pointer "
             "argument in a call.";
    case err::kWsaInvalidArgument: return "An invalid argument was supplied.";
    case err::kWsaTooManySockets: return "Too many open sockets.";
    case err::kWsaWouldBlock:
      return "A non-blocking socket operation could not be completed immediately.";
    case err::kWsaInProgress: return "A blocking operation is currently executing.";
    case err::kWsaAlready:
      return "An operation was attempted on a non-blocking socket that already had an "
             "operation in progress.";
    case err::kWsaNotSocket: return "An operation was attempted on something that is not a socket.";
    case err::kWsaMessageSize:
      return "A message sent on a datagram socket was larger than the internal message buffer "
             "or some other network limit, or the buffer used to receive a datagram into was "
             "smaller than the datagram itself.";
    case err::kWsaProtocolType:
      return "A protocol was specified in the socket function call that does not support the "
             "semantics of the socket type requested.";
    case err::kWsaProtocolNotSupported:
      return "The requested protocol has not been configured into the system, or no "
             "implementation for it exists.";
    case err::kWsaSocketTypeNotSupported:
      return "The support for the specified socket type does not exist in this address "
             "family.";
    case err::kWsaOperationNotSupported:
      return "The attempted operation is not supported for the type of object referenced.";
    case err::kWsaFamilyNotSupported:
      return "An address incompatible with the requested protocol was used.";
    case err::kWsaAddressInUse:
      return "Only one usage of each socket address (protocol/network address/port) is "
             "normally permitted.";
    case err::kWsaAddressNotAvailable: return "The requested address is not valid in its context.";
    case err::kWsaNetworkDown: return "A socket operation encountered a dead network.";
    case err::kWsaNetworkUnreachable:
      return "A socket operation was attempted to an unreachable network.";
    case err::kWsaNetworkReset:
      return "The connection has been broken due to keep-alive activity detecting a failure "
             "while the operation was in progress.";
    case err::kWsaConnectionAborted:
      return "An established connection was aborted by the software in your host machine.";
    case err::kWsaConnectionReset:
      return "An existing connection was forcibly closed by the remote host.";
    case err::kWsaNoBufferSpace:
      return "An operation on a socket could not be performed because the system lacked "
             "sufficient buffer space or because a queue was full.";
    case err::kWsaAlreadyConnected:
      return "A connect request was made on an already connected socket.";
    case err::kWsaNotConnected:
      return "A request to send or receive data was disallowed because the socket is not "
             "connected and (when sending on a datagram socket using a sendto call) no "
             "address was supplied.";
    case err::kWsaShutdown:
      return "A request to send or receive data was disallowed because the socket had "
             "already been shut down in that direction with a previous shutdown call.";
    case err::kWsaTimedOut:
      return "A connection attempt failed because the connected party did not properly "
             "respond after a period of time, or established connection failed because "
             "connected host has failed to respond.";
    case err::kWsaConnectionRefused:
      return "No connection could be made because the target machine actively refused it.";
    case err::kWsaHostDown:
      return "A socket operation failed because the destination host was down.";
    case err::kWsaHostUnreachable:
      return "A socket operation was attempted to an unreachable host.";
    case err::kWsaNotInitialised:
      return "Either the application has not called WSAStartup, or WSAStartup failed.";
    case err::kWsaTypeNotFound: return "The specified class was not found.";
    case err::kWsaHostNotFound: return "No such host is known.";
    case err::kWsaTryAgain:
      return "This is usually a temporary error during hostname resolution and means that "
             "the local server did not receive a response from an authoritative server.";
    case err::kWsaNoRecovery: return "A non-recoverable error occurred during a database lookup.";
    case err::kWsaNoData:
      return "The requested name is valid, but no data of the requested type was found.";
    default: return std::string();
  }
}

}  // namespace cvn::platform
