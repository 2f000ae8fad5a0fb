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
constexpr char16_t kConnectFailed[] = u"Failed to connect to the e-mail server: ";
constexpr char16_t kSendFailed[] = u"Failed to send e-mail to the server: ";
// The thread's status when it cannot wait for its events.
constexpr uint32_t kErrorInvalidHandle = 6;
// The pause at the start of every pass of the e-mailer.
constexpr uint32_t kPassSleepMs = 25;

std::atomic<uint32_t> g_retry_first_ms{kEmailRetryFirstMs};
std::atomic<uint32_t> g_retry_longest_ms{kEmailRetryLongestMs};

void CutTo(std::u16string& text, bool limit, int32_t length) {
  if (limit && length >= 0 && text.size() > static_cast<size_t>(length)) {
    text.resize(static_cast<size_t>(length));
  }
}

bool MayConsolidate(int32_t consolidation) { return consolidation == 2 || consolidation == 3; }

// Milliseconds since a tick count, safe across the counter's wrap.
uint32_t Since(uint32_t tick) { return platform::TickCount() - tick; }

}  // namespace

platform::TlsPeerCheck EmailPeerCheck(const CCVNSettings& settings) {
  platform::TlsPeerCheck check;
  check.level = static_cast<uint32_t>(settings.Email_TlsVerify.value);
  check.ca_file = Utf16ToUtf8(settings.Email_TlsCaFile.value);
  return check;
}

void SetEmailConnectRetryForTesting(uint32_t first_ms, uint32_t longest_ms) {
  g_retry_first_ms = first_ms == 0 ? kEmailRetryFirstMs : first_ms;
  g_retry_longest_ms = first_ms == 0     ? kEmailRetryLongestMs
                       : longest_ms == 0 ? first_ms * 20
                                         : longest_ms;
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

Offer CEmailChannel::ProcessRecord(CCVNCore& core, const SEventRecord& record) {
  SEmailMessage message = PrepareEmailMessage(core.Settings(), record);
  const EmailQueueOutcome outcome = QueueEmailMessage(core, std::move(message));
  if (outcome != EmailQueueOutcome::kFull) ++core.email_counter;
  // Also when full: the thread drains the queue.
  if (platform::Event* wake = core.ThreadWakeEvent(CoreThread::kEmail)) wake->Set();
  return outcome == EmailQueueOutcome::kFull ? Offer::kFull : Offer::kTaken;
}

bool CEmailChannel::HasRoom(CCVNCore& core) {
  const int32_t bound = core.Settings().Email_MaxQueue.value;
  return bound <= 0 || core.email_queue.Size() * 2 <= static_cast<size_t>(bound);
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
    client_.SetPeerCheck(EmailPeerCheck(settings_));
  }

  uint32_t Run();

 private:
  enum class Outcome {
    kSent,
    kGivenUp,    // refused for good: counted and acknowledged
    kPostponed,  // back at the head of the queue for the next try
    kCut,        // cut short by a stop: neither counted nor acknowledged
  };

  // One pass after a wake-up or a time-out; sets wait_ms_ and quit.
  void Pass(bool& quit);
  // The rest of the hourly interval, or nullopt when a message may go now.
  std::optional<uint32_t> HeldByInterval();
  // The first message, unless the pause after a temporary failure lasts.
  std::optional<SEmailMessage> TakeFirst(bool& more);
  Outcome Deliver(const SEmailMessage& message);
  // What a failed Connect (connecting) or SendMail makes of the message.
  Outcome Failed(uint32_t result, bool connecting);
  std::string Reason(uint32_t result, bool connecting) const;
  void Postpone(SEmailMessage message);
  void LogRefusals();
  void LogFailure(const char* what, const std::string& reason);
  // A TLS connection whose server was not checked is logged at every connect.
  void WarnIfUnchecked();

  CCVNCore& core_;
  const CCVNSettings& settings_;
  CSTEMail2 client_;
  bool connected_ = false;
  uint32_t interval_ms_ = 0;
  uint32_t last_sent_ = 0;
  uint32_t wait_ms_ = platform::kInfinite;
  // The pause after the last temporary failure (0 once a message went or
  // was given up) and the tick it began.
  uint32_t backoff_ms_ = 0;
  uint32_t backoff_from_ = 0;
  // Temporary failures since then, and the last one logged: a long outage
  // writes a line when it begins, when its reason changes, and otherwise
  // once per longest pause.
  uint32_t postponed_ = 0;
  std::string logged_reason_;
  uint32_t logged_at_ = 0;
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
  if (backoff_ms_ != 0) {
    const uint32_t since = Since(backoff_from_);
    if (since < backoff_ms_) {
      wait_ms_ = std::min(wait_ms_, backoff_ms_ - since);
      return std::nullopt;
    }
  }
  auto& queue = core_.email_queue;
  platform::LockGuard guard(queue.lock);
  if (queue.items.empty()) return std::nullopt;
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
  const Outcome outcome = Deliver(*message);
  if (outcome == Outcome::kCut) return;
  // Every attempt counts, also one postponed to be tried again.
  const auto records = static_cast<uint64_t>(std::max(1, message->event_count));
  core_.metrics.Of(MetricChannel::kEmail)
      .Attempted(records,
                 outcome == Outcome::kPostponed || outcome == Outcome::kGivenUp ? 0 : records);
  if (outcome == Outcome::kPostponed) return Postpone(std::move(*message));
  if (postponed_ != 0) {
    core_.LogFormat('N', "E-mail", "The e-mail server answers again after %u postponed attempts.",
                    postponed_);
  }
  backoff_ms_ = 0;
  postponed_ = 0;
  core_.email_progress.Acknowledge(message->seq);
  if (more && (interval_ms_ == 0 || outcome == Outcome::kGivenUp)) {
    core_.ThreadWakeEvent(CoreThread::kEmail)->Set();
    quit = false;
  }
}

Emailer::Outcome Emailer::Deliver(const SEmailMessage& message) {
  if (!connected_) {
    const uint32_t result = client_.Connect(settings_.Email_AuthType.value,
                                            platform::ToAnsi(settings_.Email_Username.value),
                                            platform::ToAnsi(settings_.Email_Password.value));
    if (result != 0) return Failed(result, true);
    connected_ = true;
    WarnIfUnchecked();
  }
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
  if (result != 0) return Failed(result, false);
  LogRefusals();
  ++core_.email_sent;
  if (interval_ms_ != 0) last_sent_ = platform::TickCount();
  return Outcome::kSent;
}

void Emailer::WarnIfUnchecked() {
  if (settings_.Email_SecureConnection.value == kSmtpPlain ||
      settings_.Email_TlsVerify.value != platform::TlsPeerCheck::kNone) {
    return;
  }
  core_.Log('E', "Email",
            "The TLS connection to the e-mail server is not authenticated (Email/TlsVerify is "
            "0): any server can pose as it and receive the password and the mail.");
}

Emailer::Outcome Emailer::Failed(uint32_t result, bool connecting) {
  // At a stop the records are read again at the next start.
  if (core_.StopRequested()) return Outcome::kCut;
  // A connection the server closed or that failed is of no use to the next
  // message: it connects afresh instead of failing on it too.
  if (connected_ && client_.connection_lost()) {
    client_.Close();
    connected_ = false;
  }
  const std::string reason = Reason(result, connecting);
  {
    platform::LockGuard guard(core_.status_lock);
    core_.email_last_error = (connecting ? kConnectFailed : kSendFailed) + Utf8ToUtf16(reason);
  }
  if (client_.verdict() == SmtpVerdict::kTemporary) {
    backoff_ms_ = backoff_ms_ == 0 ? g_retry_first_ms.load()
                                   : std::min(backoff_ms_ * 2, g_retry_longest_ms.load());
    backoff_from_ = platform::TickCount();
    ++postponed_;
    if (postponed_ == 1 || reason != logged_reason_ || Since(logged_at_) >= g_retry_longest_ms) {
      logged_reason_ = reason;
      logged_at_ = backoff_from_;
      const std::string what =
          "E-mail postponed, tried again in " + std::to_string((backoff_ms_ + 999) / 1000) + " s.";
      LogFailure(what.c_str(), reason);
    }
    return Outcome::kPostponed;
  }
  LogRefusals();
  ++core_.email_failed;
  LogFailure("Failed to send e-mail.", reason);
  return Outcome::kGivenUp;
}

std::string Emailer::Reason(uint32_t result, bool connecting) const {
  if (!client_.failure_text().empty()) return client_.failure_text();
  if (client_.connection_lost()) return "The server closed the connection.";
  if (result == kSmtpNoCredentials) return "No user name or password for the authentication.";
  if (connecting && result == kSmtpNoStartTls) return "The server does not offer STARTTLS.";
  if (!connecting && result == kSmtpNoRecipient) return "Email/To holds no address.";
  return "The server's reply was not understood.";
}

void Emailer::Postpone(SEmailMessage message) {
  wait_ms_ = std::min(wait_ms_, backoff_ms_);
  platform::LockGuard guard(core_.email_queue.lock);
  core_.email_queue.items.push_front(std::move(message));
}

void Emailer::LogRefusals() {
  for (const SmtpRefusal& refusal : client_.refused()) {
    core_.LogFormat('E', "E-mail",
                    "The server refused a recipient. [Recipient %s, server: %s] Reason: %s",
                    refusal.address.c_str(), Utf16ToUtf8(settings_.Email_Server.value).c_str(),
                    refusal.reply.c_str());
  }
}

void Emailer::LogFailure(const char* what, const std::string& reason) {
  core_.LogFormat('E', "E-mail", "%s [Forwarding to %s, server: %s] Reason: %s", what,
                  Utf16ToUtf8(settings_.Email_To.value).c_str(),
                  Utf16ToUtf8(settings_.Email_Server.value).c_str(), reason.c_str());
}

}  // namespace

uint32_t EmailerThread(CCVNCore& core) { return Emailer(core).Run(); }

namespace email {

void InstallEmailChannel(CCVNCore& core) {
  core.SetThreadBody(CoreThread::kEmail, [](CCVNCore& c) { return EmailerThread(c); });
  auto channel = std::make_shared<CEmailChannel>();
  core.SetChannelHandler(
      Channel::kEmail,
      [channel](CCVNCore& c, const SEventRecord& record) {
        return channel->ProcessRecord(c, record);
      },
      &CEmailChannel::HasRoom);
}

}  // namespace email
}  // namespace cvn
