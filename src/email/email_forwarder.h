// The e-mail channel: each accepted record becomes a message (the filled
// Email/Subject and Email/Tempate), queued in the core's e-mail queue, where
// consecutive records may be consolidated into one message; the e-mailer
// thread sends the queued messages over one SMTP connection per burst, at
// most TimesPerHour messages an hour when asked to, and counts and logs
// every failure.
//
// Every record taken into a message is issued a number of the core's e-mail
// delivery order; the thread acknowledges a message's newest number once the
// message was sent or given up (a purge acknowledges everything), so the
// reader's bookmarks wait for the e-mails too.
#pragma once

#include <cstdint>

#include "config/cvn_settings.h"
#include "core/cvn_core.h"
#include "events/event_record.h"

namespace cvn {

// A consolidated message stops growing at this size of body (UTF-16 bytes).
constexpr size_t kMaxConsolidatedBodyBytes = 1u << 20;
// Attempts to connect for one message before it is given up, and the pause
// between them.
constexpr uint32_t kEmailConnectAttempts = 3;
constexpr uint32_t kEmailConnectRetryMs = 30000;

// The message of one record: the filled and limited subject and body, the
// content type of Email/Format, one event.
SEmailMessage PrepareEmailMessage(const CCVNSettings& settings, const SEventRecord& record);

// kFull: no room under Email/MaxQueue; kDiscarded: a consolidation value
// outside 0 to 3, which queues nothing.
enum class EmailQueueOutcome { kAppended, kMerged, kFull, kDiscarded };

// Queues a prepared message under Email/Consolidation and Email/MaxQueue
// (0: no bound), issuing its delivery number: a new message, or merged into
// the last one (consolidation 2 or 3, below kMaxConsolidatedBodyBytes).
EmailQueueOutcome QueueEmailMessage(CCVNCore& core, SEmailMessage message);

// The dispatch step of the channel: prepare, count, queue, wake the thread.
// A dropped record counts as failed; the first drop of a run is logged.
class CEmailChannel {
 public:
  bool ProcessRecord(CCVNCore& core, const SEventRecord& record);

 private:
  bool dropping_ = false;
};

// The thread body: runs until the e-mail thread's stop event is set. 0, or
// the error of a failed wait (also stored as the thread's status).
uint32_t EmailerThread(CCVNCore& core);

// The pause between connect attempts; tests shorten it. 0 restores 30 s.
void SetEmailConnectRetryForTesting(uint32_t ms);

namespace email {

// Registers the e-mailer thread and the channel's dispatch step with the
// core. Called once at start-up, before the core starts.
void InstallEmailChannel(CCVNCore& core);

}  // namespace email
}  // namespace cvn
