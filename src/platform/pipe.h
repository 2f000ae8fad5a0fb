// Local pipes between the service and its configuration console.
//
// Names have the Windows form "\\.\pipe\<name>". A server pipe has one
// instance: it serves one client at a time, and a second client is turned away
// as busy. Its connect, read and write run asynchronously; when one ends, the
// pipe's completion event is set, so a thread can wait for it together with its
// stop event (WaitAny) and stay stoppable whatever the peer does. A client pipe
// is used synchronously, with a time-out on every call, and can be shut down
// from another thread to release a caller blocked in it.
//
// Who may connect: on Windows the server pipe grants read and write access to
// the local system, the Administrators, the account the server runs as and,
// when it exists, the local group "Corvane Console Users"; nobody else. On posix a pipe is a Unix
// domain socket in the folder "pipes" under the machine root: when the service runs as root the
// folder belongs to root and, if the group "corvane" exists, to that group (mode 0770, sockets
// 0660); otherwise only the owner may enter it (mode 0700, sockets 0600). A socket path that exists
// and is not a socket of the calling user is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/sync.h"

namespace cvn::platform {

// The size of one read, and of the pipes' buffers.
constexpr size_t kPipeChunkSize = 4096;

// Error numbers that pipe calls return besides the file errors (2, 5, ...).
namespace pipe_err {
constexpr uint32_t kBrokenPipe = 109;        // the peer went away
constexpr uint32_t kFilenameTooLong = 206;   // no socket path this long (posix)
constexpr uint32_t kPipeBusy = 231;          // the single instance serves another client
constexpr uint32_t kNoData = 232;            // the pipe is being closed
constexpr uint32_t kPipeNotConnected = 233;  // no client is connected
constexpr uint32_t kOperationAborted = 995;  // cancelled by Disconnect, Close or Shutdown
constexpr uint32_t kIoIncomplete = 996;      // the operation has not ended yet
constexpr uint32_t kIoPending = 997;         // another operation is still pending
constexpr uint32_t kTimeout = 1460;          // a client call ran out of time
}  // namespace pipe_err

class ServerPipe {
 public:
  ServerPipe();
  ~ServerPipe();  // closes the pipe
  ServerPipe(const ServerPipe&) = delete;
  ServerPipe& operator=(const ServerPipe&) = delete;

  // Creates the pipe (one instance, 4096-byte buffers, local clients only).
  // 0, or: 231 when another server holds the name (Windows: a pipe of that
  // name exists, whoever created it, so that nobody can wait under the name
  // for our clients), 5 when the name is not ours to take.
  uint32_t Create(std::u16string_view name);
  bool IsOpen() const;
  // Cancels a pending operation, drops the client and gives the name up.
  void Close();

  // Each starts one operation; only one may be pending. 0 when it started:
  // Completion() is then set when it ends, also when it ended at once.
  // Otherwise the error, and nothing is pending.
  //
  // BeginConnect waits for a client; a client that is already connected
  // completes it at once.
  uint32_t BeginConnect();
  // Reads what arrives, at most max_bytes (up to kPipeChunkSize).
  uint32_t BeginRead(size_t max_bytes);
  // Writes all the bytes (copied).
  uint32_t BeginWrite(std::span<const uint8_t> bytes);

  // A manual-reset event, set while an operation has ended and Finish has not
  // been called. Valid while the object lives.
  Event* Completion();

  // Collects the ended operation and clears the completion event: 0 with the
  // bytes moved (a read's bytes are then in ReadData), or its error (109 when
  // the client went away). 996 while it runs; 233 when nothing was started.
  uint32_t Finish(size_t* bytes);
  std::span<const uint8_t> ReadData() const;

  // Drops the client, cancelling a pending operation; BeginConnect can follow.
  void Disconnect();

  // Runs work on the calling thread with the file-access rights of the
  // connected client and returns its result: posix gives the thread the
  // client's user, group and supplementary groups (from the socket's peer
  // credentials) as its file-system identity, Windows impersonates the pipe
  // client. 233 when no client is connected, 5 when its rights cannot be
  // taken; work does not run then.
  uint32_t RunAsClient(const std::function<uint32_t()>& work);

  // The connected client's account, UTF-8, for log lines: posix "name (uid
  // N)", Windows "DOMAIN\name" (the SID when no account has it); "unknown"
  // when it cannot be told.
  std::string ClientUser();

  // Whether the connected client may change what the service does (reload,
  // purge, reset, reports): Windows: its token holds the Administrators
  // group (an elevated administrator) or is the local system; posix: it is
  // root or a member of the group "corvane". False without a client.
  bool ClientIsAdministrator();

  struct Impl;  // defined per platform

 private:
  std::unique_ptr<Impl> impl_;
};

class ClientPipe {
 public:
  ClientPipe();
  ~ClientPipe();  // closes the pipe
  ClientPipe(const ClientPipe&) = delete;
  ClientPipe& operator=(const ClientPipe&) = delete;

  // What the server may do with this client's identity (Windows): identify
  // it only, or act with its rights (for a server that writes files the
  // client names). Posix servers take the peer's credentials either way.
  enum class Identity { kIdentifyOnly, kImpersonate };

  // Opens a pipe that a server created, waiting up to timeout_ms for it to
  // take this client. 0, or: 2 when no server has the name, 231 when it is
  // busy with another client, 5 when access is denied.
  uint32_t Open(std::u16string_view name, uint32_t timeout_ms,
                Identity identity = Identity::kIdentifyOnly);
  bool IsOpen() const;
  void Close();

  // Reads what is there, at most max bytes, waiting up to timeout_ms (may be
  // kInfinite) for the first: 0 with *got > 0, 109 when the server went away,
  // 1460 on time-out, 995 after Shutdown.
  uint32_t Read(uint8_t* buffer, size_t max, size_t* got, uint32_t timeout_ms);
  // Writes all the bytes within timeout_ms: 0, 109/232 when the server went
  // away, 1460 on time-out, 995 after Shutdown.
  uint32_t Write(std::span<const uint8_t> bytes, uint32_t timeout_ms);

  // Makes a call blocked in Read or Write on another thread, and every later
  // one, fail with 995. Safe from any thread; the pipe stays open until Close.
  void Shutdown();

  // Whether the process serving the opened pipe runs as an administrator,
  // as ServerPipe::ClientIsAdministrator tells it of a client. False when
  // no pipe is open or it cannot be told.
  bool ServerIsAdministrator();

  struct Impl;  // defined per platform

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvn::platform
