// The English Windows texts of the system error numbers that the service can
// meet, for FormatSystemMessage on posix. Each text ends in CR LF, as the
// system's message table gives it.
#include <algorithm>
#include <iterator>

#include "platform/message_module.h"
#include "platform/message_table.h"

namespace cvn::platform {

namespace {

struct SystemText {
  uint32_t code;
  const char16_t* text;
};

// Sorted by code.
constexpr SystemText kSystemTexts[] = {
    {0, u"The operation completed successfully."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough memory resources are available to process this command."},
    {13, u"The data is invalid."},
    {14, u"Not enough storage is available to complete this operation."},
    {32, u"The process cannot access the file because it is being used by another process."},
    {38, u"Reached the end of the file."},
    {80, u"The file exists."},
    {87, u"The parameter is incorrect."},
    {109, u"The pipe has been ended."},
    {112, u"There is not enough space on the disk."},
    {122, u"The data area passed to a system call is too small."},
    {183, u"Cannot create a file when that file already exists."},
    {193, u"%1 is not a valid Win32 application."},
    {231, u"All pipe instances are busy."},
    {232, u"The pipe is being closed."},
    {233, u"No process is on the other end of the pipe."},
    {258, u"The wait operation timed out."},
    {259, u"No more data is available."},
    {317,
     u"The system cannot find message text for message number 0x%1 in the message file for "
     u"%2."},
    {535, u"There is a process on other end of the pipe."},
    {681, u"The create operation stopped after reaching a symbolic link."},
    {995,
     u"The I/O operation has been aborted because of either a thread exit or an application "
     u"request."},
    {997, u"Overlapped I/O operation is in progress."},
    {1053, u"The service did not respond to the start or control request in a timely fashion."},
    {1056, u"An instance of the service is already running."},
    {1058,
     u"The service cannot be started, either because it is disabled or because it has no "
     u"enabled devices associated with it."},
    {1060, u"The specified service does not exist as an installed service."},
    {1061, u"The service cannot accept control messages at this time."},
    {1062, u"The service has not been started."},
    {1063, u"The service process could not connect to the service controller."},
    {1072, u"The specified service has been marked for deletion."},
    {1073, u"The specified service already exists."},
    {1332, u"No mapping between account names and security IDs was done."},
    {1460, u"This operation returned because the timeout period expired."},
    {1503, u"The event log file has changed between read operations."},
    {1717, u"The interface is unknown."},
    {1722, u"The RPC server is unavailable."},
    {1812, u"The specified image file did not contain a resource section."},
    {1813, u"The specified resource type cannot be found in the image file."},
    {1814, u"The specified resource name cannot be found in the image file."},
    {1815, u"The specified resource language ID cannot be found in the image file."},
    {10004, u"A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, u"The file handle supplied is not valid."},
    {10013,
     u"An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014,
     u"The system detected an invalid pointer address in attempting to use a pointer argument "
     u"in a call."},
    {10022, u"An invalid argument was supplied."},
    {10024, u"Too many open sockets."},
    {10035, u"A non-blocking socket operation could not be completed immediately."},
    {10036, u"A blocking operation is currently executing."},
    {10037,
     u"An operation was attempted on a non-blocking socket that already had an operation in "
     u"progress."},
    {10038, u"An operation was attempted on something that is not a socket."},
    {10039, u"A required address was omitted from an operation on a socket."},
    {10040,
     u"A message sent on a datagram socket was larger than the internal message buffer or some "
     u"other network limit, or the buffer used to receive a datagram into was smaller than the "
     u"datagram itself."},
    {10041,
     u"A protocol was specified in the socket function call that does not support the semantics "
     u"of the socket type requested."},
    {10042,
     u"An unknown, invalid, or unsupported option or level was specified in a getsockopt or "
     u"setsockopt call."},
    {10043,
     u"The requested protocol has not been configured into the system, or no implementation for "
     u"it exists."},
    {10044, u"The support for the specified socket type does not exist in this address family."},
    {10045, u"The attempted operation is not supported for the type of object referenced."},
    {10046,
     u"The protocol family has not been configured into the system or no implementation for it "
     u"exists."},
    {10047, u"An address incompatible with the requested protocol was used."},
    {10048,
     u"Only one usage of each socket address (protocol/network address/port) is normally "
     u"permitted."},
    {10049, u"The requested address is not valid in its context."},
    {10050, u"A socket operation encountered a dead network."},
    {10051, u"A socket operation was attempted to an unreachable network."},
    {10052,
     u"The connection has been broken due to keep-alive activity detecting a failure while the "
     u"operation was in progress."},
    {10053, u"An established connection was aborted by the software in your host machine."},
    {10054, u"An existing connection was forcibly closed by the remote host."},
    {10055,
     u"An operation on a socket could not be performed because the system lacked sufficient "
     u"buffer space or because a queue was full."},
    {10056, u"A connect request was made on an already connected socket."},
    {10057,
     u"A request to send or receive data was disallowed because the socket is not connected and "
     u"(when sending on a datagram socket using a sendto call) no address was supplied."},
    {10058,
     u"A request to send or receive data was disallowed because the socket had already been "
     u"shut down in that direction with a previous shutdown call."},
    {10059, u"Too many references to some kernel object."},
    {10060,
     u"A connection attempt failed because the connected party did not properly respond after a "
     u"period of time, or established connection failed because connected host has failed to "
     u"respond."},
    {10061, u"No connection could be made because the target machine actively refused it."},
    {10064, u"A socket operation failed because the destination host was down."},
    {10065, u"A socket operation was attempted to an unreachable host."},
    {10091,
     u"WSAStartup cannot function at this time because the underlying system it uses to provide "
     u"network services is currently unavailable."},
    {10093, u"Either the application has not called WSAStartup, or WSAStartup failed."},
    {10101,
     u"Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful "
     u"shutdown sequence."},
    {10109, u"The specified class was not found."},
    {11001, u"No such host is known."},
    {11002,
     u"This is usually a temporary error during hostname resolution and means that the local "
     u"server did not receive a response from an authoritative server."},
    {11003, u"A non-recoverable error occurred during a database lookup."},
    {11004, u"The requested name is valid, but no data of the requested type was found."},
    {0x80090302u, u"The function requested is not supported"},
    {0x80090308u, u"The token supplied to the function is invalid"},
    {0x8009030Cu, u"The logon attempt failed"},
    {0x80090322u, u"The target principal name is incorrect."},
    {0x80090325u, u"The certificate chain was issued by an authority that is not trusted."},
    {0x80090327u, u"An unknown error occurred while processing the certificate."},
    {0x80090328u, u"The received certificate has expired."},
    {0x80090331u,
     u"The client and server cannot communicate, because they do not possess a common "
     u"algorithm."},
};

}  // namespace

uint32_t FormatSystemMessage(uint32_t code, bool ignore_inserts, std::u16string& text) {
  text.clear();
  const auto it = std::lower_bound(std::begin(kSystemTexts), std::end(kSystemTexts), code,
                                   [](const SystemText& e, uint32_t c) { return e.code < c; });
  if (it == std::end(kSystemTexts) || it->code != code) return msgtable::kErrorMessageNotFound;
  const std::u16string_view message(it->text);
  if (!ignore_inserts && message.find(u'%') != std::u16string_view::npos) return 87;
  text = message;
  text += u"\r\n";
  return 0;
}

}  // namespace cvn::platform
