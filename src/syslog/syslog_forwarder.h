// The syslog forwarder: the worker thread that takes the finished messages
// from the core's syslog queue and sends each to every configured server.
// When no server takes a message it goes to the cache file (syslog_cache.h),
// and the thread resends the cached messages oldest first, one at a time, 10
// seconds after a failure, until the file is empty. At stop, messages still
// waiting in the queue are appended to the cache file, so a stop or a reload
// loses nothing and the next start sends them first.
#pragma once

#include <cstdint>
#include <memory>
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

  // Sends the messages to every server (opening its sender when needed; after
  // a failed send it closes, reopens and sends once more). Counts one
  // forwarded message when any server took the list, else one failure (also
  // without servers), and records and logs every failure. True when at least
  // one server took the whole list.
  bool ForwardSyslogBatch(const std::vector<std::string>& messages);

  void CloseAll();
  const std::vector<std::string>& servers() const { return servers_; }

 private:
  void Fail(const std::string& server, const std::u16string& reason);

  CCVNCore& core_;
  std::vector<std::string> servers_;
  std::vector<std::unique_ptr<CSyslogSender>> senders_;
  uint16_t port_ = 0;
  bool tcp_ = false;
  bool tls_ = false;
  int separator_ = 0;
};

// The folder of the cache file: General/CacheFolder, or the default cache
// folder when that is empty, ending with a separator; created when needed.
std::u16string SyslogCacheFolder(CCVNCore& core);

// The thread body: runs until the syslog thread's stop event is set. 0, or
// the error of a failed wait (also stored as the thread's status).
uint32_t SyslogForwarderThread(CCVNCore& core);

// Appends the messages still in the syslog queue to the cache file, so that
// the next start sends them. For the owner of the core once every thread has
// stopped: a record dispatched while the forwarder was stopping stays queued
// behind it. The forwarder thread must not be running.
void KeepQueuedSyslogMessages(CCVNCore& core);

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
