// The e-mail channel: each accepted record becomes a message (the filled
// Email/Subject and Email/Tempate), queued in the core's e-mail queue, where
// consecutive records may be consolidated into one message; the e-mailer
// thread sends the queued messages over one SMTP connection per burst, at
// most TimesPerHour messages an hour when asked to, and logs its failures.
//
// The server's word decides a message's fate. A 4xx reply, a server that
// cannot be reached and a connection lost before the final reply put the
// message off: it stays at the head of the queue and is tried again after a
// pause that grows from 30 s to 10 minutes, for as long as that lasts, and
// nothing is counted as failed. A 5xx reply gives it up: counted, logged with
// the server's reply. A message whose final reply was lost is sent again, so
// it may arrive twice.
//
// Every record taken into a message is issued a number of the core's e-mail
// delivery order; the thread acknowledges a message's newest number once the
// message was sent or given up (a purge acknowledges everything), so the
// channel's position in the log waits for the e-mails too. A message cut
// short by a stop is not acknowledged: its records are read again.
#pragma once

#include <cstdint>

#include "config/cvn_settings.h"
#include "core/cvn_core.h"
#include "events/event_record.h"
#include "platform/tls.h"

namespace cvn {

// A consolidated message stops growing at this size of body (UTF-16 bytes).
constexpr size_t kMaxConsolidatedBodyBytes = 1u << 20;
// The pause after the first of a run of temporary failures; it doubles with
// each further one up to the longest.
constexpr uint32_t kEmailRetryFirstMs = 30000;
constexpr uint32_t kEmailRetryLongestMs = 600000;

// The message of one record: the filled and limited subject and body, the
// content type of Email/Format, one event.
// The check of the SMTP server's certificate the e-mail settings ask for.
platform::TlsPeerCheck EmailPeerCheck(const CCVNSettings& settings);

SEmailMessage PrepareEmailMessage(const CCVNSettings& settings, const SEventRecord& record);

// kFull: no room under Email/MaxQueue; kDiscarded: a consolidation value
// outside 0 to 3, which queues nothing.
enum class EmailQueueOutcome { kAppended, kMerged, kFull, kDiscarded };

// Queues a prepared message under Email/Consolidation and Email/MaxQueue
// (0: no bound), issuing its delivery number: a new message, or merged into
// the last one (consolidation 2 or 3, below kMaxConsolidatedBodyBytes).
EmailQueueOutcome QueueEmailMessage(CCVNCore& core, SEmailMessage message);

// The dispatch step of the channel: prepare, count, queue, wake the thread.
// kFull when Email/MaxQueue leaves no room: nothing is counted or numbered,
// and the core offers the record again once HasRoom holds.
class CEmailChannel {
 public:
  Offer ProcessRecord(CCVNCore& core, const SEventRecord& record);
  // At most half of Email/MaxQueue in use (always without a bound), so that
  // a channel that fell behind catches up in long runs.
  static bool HasRoom(CCVNCore& core);
};

// The thread body: runs until the e-mail thread's stop event is set. 0, or
// the error of a failed wait (also stored as the thread's status).
uint32_t EmailerThread(CCVNCore& core);

// The first and the longest pause after a temporary failure (0: 20 times
// the first); tests shorten them. 0 restores 30 s and 10 minutes.
void SetEmailConnectRetryForTesting(uint32_t first_ms, uint32_t longest_ms = 0);

namespace email {

// Registers the e-mailer thread and the channel's dispatch step with the
// core. Called once at start-up, before the core starts.
void InstallEmailChannel(CCVNCore& core);

}  // namespace email
}  // namespace cvn
