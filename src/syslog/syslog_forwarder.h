// The syslog forwarder: the worker thread that takes the finished messages
// from the core's syslog queue, in batches, and sends them to every
// configured server. What no server takes goes to the cache file
// (syslog_cache.h), and the thread resends the cached messages oldest first,
// in batches, 10 seconds after a failure, until the file is empty.
//
// A message is durable once a server took it or it is synced into the cache
// file; the thread then acknowledges it on the queue, which lets the reader
// move its bookmarks past the message's record. A message that can be neither
// sent nor cached stays with the thread and is tried again; meanwhile the
// queue fills and the reader waits. At stop, what is not durable is dropped:
// the reader reads those records again at the next start.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/cvn_core.h"
#include "syslog/syslog_sender.h"

namespace cvn {

// The servers of Syslog/Server with one sender each, and the transport
// settings, as read when the thread starts.
class CSyslogForwarder {
 public:
  explicit CSyslogForwarder(CCVNCore& core);

  // Sends the messages, in order, to every server (opening its sender when
  // needed; after a failed send it closes, reopens and sends the rest once
  // more), and records and logs every failure. Returns how many messages,
  // from the first, at least one server took; those count as forwarded, the
  // rest as failures (all of them without servers).
  size_t ForwardSyslogBatch(std::span<const std::string> messages);

  void CloseAll();
  const std::vector<std::string>& servers() const { return servers_; }

 private:
  void Fail(const std::string& server, const std::u16string& reason);
  // Opens the connection to server i; a failure is logged (Fail).
  bool Connect(size_t i);
  // The messages server i took, from the first.
  size_t SendToServer(size_t i, std::span<const std::string> messages);

  CCVNCore& core_;
  std::vector<std::string> servers_;
  std::vector<std::unique_ptr<CSyslogSender>> senders_;
  uint16_t port_ = 0;
  bool tcp_ = false;
  bool tls_ = false;
  bool insecure_ = false;  // TLS without any check of the server
  int separator_ = 0;
};

// The folder of the cache file: General/CacheFolder, or the default cache
// folder when that is empty, ending with a separator; created when needed.
std::u16string SyslogCacheFolder(CCVNCore& core);

// The thread body: runs until the syslog thread's stop event is set. 0, or
// the error of a failed wait (also stored as the thread's status).
uint32_t SyslogForwarderThread(CCVNCore& core);

// Time between a failure and the next resend from the cache file; tests
// shorten it. 0 restores the normal 10 seconds.
void SetSyslogRetryIntervalForTesting(uint32_t ms);

namespace syslog {

// Registers the syslog thread body and the syslog channel's preparation
// (build the message, queue it, wake the thread) with the core. Called once
// at start-up, before the core starts.
void InstallSyslogChannel(CCVNCore& core);

}  // namespace syslog
}  // namespace cvn
