#include "email/email_forwarder.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

#include "base/text.h"
#include "email/smtp_client.h"
#include "events/placeholders.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace cvn {
namespace {

constexpr std::u16string_view kNumberOfEvents = u"%NUMBER_OF_EVENTS%";
constexpr char16_t kConnectFailed[] = u"Failed to connect to the e-mail server.";
constexpr char16_t kSendFailed[] = u"Failed to send e-mail to the server.";
// The thread's status when it cannot wait for its events.
constexpr uint32_t kErrorInvalidHandle = 6;
// The pause at the start of every pass of the e-mailer.
constexpr uint32_t kPassSleepMs = 25;

std::atomic<uint32_t> g_connect_retry_ms{kEmailConnectRetryMs};

void CutTo(std::u16string& text, bool limit, int32_t length) {
  if (limit && length >= 0 && text.size() > static_cast<size_t>(length)) {
    text.resize(static_cast<size_t>(length));
  }
}

bool MayConsolidate(int32_t consolidation) { return consolidation == 2 || consolidation == 3; }

// Milliseconds since a tick count, safe across the counter's wrap.
uint32_t Since(uint32_t tick) { return platform::TickCount() - tick; }

}  // namespace

void SetEmailConnectRetryForTesting(uint32_t ms) {
  g_connect_retry_ms = ms == 0 ? kEmailConnectRetryMs : ms;
}

SEmailMessage PrepareEmailMessage(const CCVNSettings& settings, const SEventRecord& record) {
  SEmailMessage message;
  FillEmailTemplates(settings, record, &message.subject, &message.body);
  CutTo(message.subject, settings.Email_LimitSubject.value, settings.Email_LimitSubjectTo.value);
  CutTo(message.body, settings.Email_LimitBody.value, settings.Email_LimitBodyTo.value);
  message.content_type = settings.Email_Format.value != 0 ? "text/html" : "text/plain";
  message.event_count = 1;
  return message;
}

EmailQueueOutcome QueueEmailMessage(CCVNCore& core, SEmailMessage message) {
  const int32_t consolidation = core.Settings().Email_Consolidation.value;
  if (consolidation < 0 || consolidation > 3) return EmailQueueOutcome::kDiscarded;
  const int32_t bound = core.Settings().Email_MaxQueue.value;
  auto& queue = core.email_queue;
  platform::LockGuard guard(queue.lock);
  if (MayConsolidate(consolidation) && !queue.items.empty()) {
    SEmailMessage& last = queue.items.back();
    if (last.body.size() * sizeof(char16_t) < kMaxConsolidatedBodyBytes) {
      last.body += message.body;
      ++last.event_count;
      last.seq = core.email_progress.Issue();
      return EmailQueueOutcome::kMerged;
    }
  }
  if (bound > 0 && queue.items.size() >= static_cast<size_t>(bound)) {
    return EmailQueueOutcome::kFull;
  }
  message.seq = core.email_progress.Issue();
  queue.items.push_back(std::move(message));
  return EmailQueueOutcome::kAppended;
}

bool CEmailChannel::ProcessRecord(CCVNCore& core, const SEventRecord& record) {
  SEmailMessage message = PrepareEmailMessage(core.Settings(), record);
  ++core.email_counter;
  if (QueueEmailMessage(core, std::move(message)) == EmailQueueOutcome::kFull) {
    ++core.email_failed;
    if (!dropping_) {
      core.LogFormat('E', "E-mail",
                     "The e-mail queue is full (%d messages); records are dropped until it has "
                     "room again.",
                     core.Settings().Email_MaxQueue.value);
    }
    dropping_ = true;
  } else {
    dropping_ = false;
  }
  if (platform::Event* wake = core.ThreadWakeEvent(CoreThread::kEmail)) wake->Set();
  return true;
}

namespace {

class Emailer {
 public:
  explicit Emailer(CCVNCore& core)
      : core_(core),
        settings_(core.Settings()),
        client_(platform::ToAnsi(settings_.Email_Server.value),
                static_cast<uint16_t>(settings_.Email_Port.value),
                settings_.Email_SecureConnection.value) {
    client_.SetAbortCheck([&core] { return core.StopRequested(); });
  }

  uint32_t Run();

 private:
  // One pass after a wake-up or a time-out; sets wait_ms_ and quit.
  void Pass(bool& quit);
  // The rest of the hourly interval, or nullopt when a message may go now.
  std::optional<uint32_t> HeldByInterval();
  std::optional<SEmailMessage> TakeFirst(bool& more);
  // False when the connect failed; the message is then back in the queue or
  // given up.
  bool EnsureConnected(SEmailMessage& message, bool& failed);
  bool Send(const SEmailMessage& message);
  void Fail(const char16_t* reason);

  CCVNCore& core_;
  const CCVNSettings& settings_;
  CSTEMail2 client_;
  bool connected_ = false;
  uint32_t interval_ms_ = 0;
  uint32_t last_sent_ = 0;
  uint32_t wait_ms_ = platform::kInfinite;
  uint32_t retry_from_ = 0;  // tick of the last failed connect
};

uint32_t Emailer::Run() {
  if (TraceLogEnabled) core_.Log('N', "Trace", "Emailer thread started");
  const int32_t per_hour = settings_.Email_TimesPerHour.value;
  if (settings_.Email_Consolidation.value == 3 && per_hour > 0) {
    interval_ms_ = static_cast<uint32_t>(3600 / per_hour) * 1000;
    last_sent_ = platform::TickCount();
  }
  platform::Event* stop = core_.ThreadStopEvent(CoreThread::kEmail);
  platform::Event* wake = core_.ThreadWakeEvent(CoreThread::kEmail);
  uint32_t status = (!stop || !wake) ? kErrorInvalidHandle : 0;
  platform::Event* const events[] = {stop, wake};
  bool running = status == 0;
  while (running) {
    platform::SleepMs(kPassSleepMs);
    bool quit = true;
    const platform::WaitResult result = platform::WaitAny(events, wait_ms_);
    if (result.kind == platform::WaitResult::Kind::kFailed) {
      status = kErrorInvalidHandle;
      running = false;
    } else if (result.signaled() && result.index == 0) {
      running = false;
    } else {
      Pass(quit);
    }
    if (connected_ && (!running || quit)) {
      client_.Quit();
      connected_ = false;
    }
  }
  core_.ThreadStatus(CoreThread::kEmail) = static_cast<int32_t>(status);
  if (TraceLogEnabled) core_.Log('N', "Trace", "Emailer thread stopped");
  return status;
}

std::optional<uint32_t> Emailer::HeldByInterval() {
  if (interval_ms_ == 0) return std::nullopt;
  const uint32_t elapsed = Since(last_sent_);
  if (elapsed >= interval_ms_) return std::nullopt;
  return interval_ms_ - elapsed;
}

std::optional<SEmailMessage> Emailer::TakeFirst(bool& more) {
  auto& queue = core_.email_queue;
  platform::LockGuard guard(queue.lock);
  if (queue.items.empty()) return std::nullopt;
  // A message whose connect failed waits out the pause first.
  if (queue.items.front().connect_attempts != 0) {
    const uint32_t since = Since(retry_from_);
    if (since < g_connect_retry_ms) {
      wait_ms_ = std::min(wait_ms_, g_connect_retry_ms - since);
      return std::nullopt;
    }
  }
  SEmailMessage message = std::move(queue.items.front());
  queue.items.pop_front();
  more = !queue.items.empty();
  return message;
}

void Emailer::Pass(bool& quit) {
  wait_ms_ = interval_ms_ != 0 ? interval_ms_ : platform::kInfinite;
  if (const std::optional<uint32_t> rest = HeldByInterval()) {
    wait_ms_ = *rest;
    return;
  }
  bool more = false;
  std::optional<SEmailMessage> message = TakeFirst(more);
  if (!message) return;
  bool failed = false;
  if (EnsureConnected(*message, failed)) failed = !Send(*message);
  if (more && (interval_ms_ == 0 || failed)) {
    core_.ThreadWakeEvent(CoreThread::kEmail)->Set();
    quit = false;
  }
}

void Emailer::Fail(const char16_t* reason) {
  {
    platform::LockGuard guard(core_.status_lock);
    core_.email_last_error = reason;
  }
  ++core_.email_failed;
  core_.LogFormat('E', "E-mail", "Failed to send e-mail. [Forwarding to %s, server: %s] Reason: %s",
                  Utf16ToUtf8(settings_.Email_To.value).c_str(),
                  Utf16ToUtf8(settings_.Email_Server.value).c_str(), Utf16ToUtf8(reason).c_str());
}

bool Emailer::EnsureConnected(SEmailMessage& message, bool& failed) {
  if (connected_) return true;
  const uint32_t result = client_.Connect(settings_.Email_AuthType.value,
                                          platform::ToAnsi(settings_.Email_Username.value),
                                          platform::ToAnsi(settings_.Email_Password.value));
  if (result == 0) {
    connected_ = true;
    return true;
  }
  failed = true;
  // At a stop the record is read again at the next start: neither kept nor
  // counted.
  if (core_.StopRequested()) return false;
  if (++message.connect_attempts < kEmailConnectAttempts) {
    // Back at the head of the queue, for the next attempt after the pause.
    retry_from_ = platform::TickCount();
    wait_ms_ = std::min(wait_ms_, static_cast<uint32_t>(g_connect_retry_ms));
    platform::LockGuard guard(core_.email_queue.lock);
    core_.email_queue.items.push_front(std::move(message));
    return false;
  }
  Fail(kConnectFailed);
  core_.email_progress.Acknowledge(message.seq);
  return false;
}

bool Emailer::Send(const SEmailMessage& message) {
  const std::u16string count = Utf8ToUtf16(std::to_string(message.event_count));
  std::u16string subject = message.subject;
  std::u16string text = settings_.Email_TemplateHeader.value;
  std::u16string footer = settings_.Email_TemplateFooter.value;
  ReplaceAllPlaceholders(subject, kNumberOfEvents, count);
  ReplaceAllPlaceholders(text, kNumberOfEvents, count);
  ReplaceAllPlaceholders(footer, kNumberOfEvents, count);
  text += message.body;
  text += footer;
  const uint32_t result = client_.SendMail(platform::ToAnsi(settings_.Email_From.value),
                                           platform::ToAnsi(settings_.Email_To.value), subject,
                                           text, message.content_type);
  if (result == 0) {
    ++core_.email_sent;
    if (interval_ms_ != 0) last_sent_ = platform::TickCount();
  } else if (core_.StopRequested()) {
    return false;  // cut short by the stop: read again at the next start
  } else {
    Fail(kSendFailed);
    // A connection the server closed or that failed is of no use to the
    // next message: it connects afresh instead of failing on it too.
    if (client_.connection_lost()) {
      client_.Close();
      connected_ = false;
    }
  }
  core_.email_progress.Acknowledge(message.seq);
  return result == 0;
}

}  // namespace

uint32_t EmailerThread(CCVNCore& core) { return Emailer(core).Run(); }

namespace email {

void InstallEmailChannel(CCVNCore& core) {
  core.SetThreadBody(CoreThread::kEmail, [](CCVNCore& c) { return EmailerThread(c); });
  auto channel = std::make_shared<CEmailChannel>();
  core.SetChannelHandler(Channel::kEmail, [channel](CCVNCore& c, const SEventRecord& record) {
    channel->ProcessRecord(c, record);
    return Offer::kTaken;
  });
}

}  // namespace email
}  // namespace cvn
