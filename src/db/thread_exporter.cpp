#include "db/thread_exporter.h"

#include <algorithm>
#include <array>

#include "platform/clock.h"

namespace cvn::db {

// ---------------------------------------------------------------------------
// CSTThreadWorker

CSTThreadWorker::CSTThreadWorker() = default;

CSTThreadWorker::~CSTThreadWorker() {
  // The owner stops the worker; this is the last guard against a thread that
  // would outlive its object.
  SignalStop();
  Stop(platform::kInfinite);
}

uint32_t CSTThreadWorker::Start() {
  platform::LockGuard guard(lock_);
  if (thread_) return 0;
  if (given_up_) {
    if (!given_up_->Join(0)) return kErrorHeldBack;
    given_up_.reset();
  }
  stop_.Reset();
  auto thread = std::make_unique<platform::Thread>();
  if (!thread->Start([this] { return Run(); })) return kErrorCreate;
  thread_ = std::move(thread);
  return 0;
}

void CSTThreadWorker::SignalStop() { stop_.Set(); }

bool CSTThreadWorker::Stop(uint32_t wait_ms) {
  platform::LockGuard guard(lock_);
  if (!thread_) return !given_up_ || given_up_->Join(0);
  if (thread_->Join(wait_ms)) {
    thread_.reset();
    return true;
  }
  given_up_ = std::move(thread_);
  return false;
}

bool CSTThreadWorker::HeldBack() {
  platform::LockGuard guard(lock_);
  return given_up_ != nullptr && !given_up_->Join(0);
}

bool CSTThreadWorker::IsRunning() {
  platform::LockGuard guard(lock_);
  return thread_ != nullptr && thread_->IsRunning();
}

uint32_t CSTThreadWorker::Run() {
  const std::array<platform::Event*, 2> events = {&stop_, &work_};
  for (;;) {
    const platform::WaitResult woken = platform::WaitAny(events, NextWaitMs());
    if (woken.signaled() && woken.index == 0) break;
    if (!woken.signaled() && !woken.timed_out()) return static_cast<uint32_t>(-3);
    if (const uint32_t result = Process(); result != 0) return result;
  }
  OnStop();
  return 0;
}

// ---------------------------------------------------------------------------
// CSTThreadProcessor

CSTThreadProcessor::~CSTThreadProcessor() {
  // The thread calls this object's overrides: it must end before they go.
  SignalStop();
  Stop(platform::kInfinite);
}

void CSTThreadProcessor::RequestStop() {
  stop_requested_at_ = platform::TickCount();
  SignalStop();
}

void CSTThreadProcessor::BeginBackoff() {
  backoff_ms_ = backoff_ms_ == 0 ? kFirstBackoffMs : std::min(backoff_ms_ * 2, kMaxBackoffMs);
  retry_at_ = platform::TickCount() + backoff_ms_;
}

uint32_t CSTThreadProcessor::BackoffLeftMs() const {
  if (backoff_ms_ == 0) return 0;
  // Read the clock once: a second reading after the back-off ran out would
  // wrap the difference into a wait of weeks.
  const auto left = static_cast<int32_t>(retry_at_ - platform::TickCount());
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

bool CSTThreadProcessor::InBackoff() const { return BackoffLeftMs() != 0; }

uint32_t CSTThreadProcessor::NextWaitMs() {
  if (const uint32_t left = BackoffLeftMs(); left != 0) return left;
  // Records left by the last slice, or a transaction to finish: at once.
  if (queue_.HasMore() || exporter_.InTransaction()) return 0;
  return platform::kInfinite;
}

bool CSTThreadProcessor::Handle(ExportOutcome& outcome) {
  if (hooks_.account) hooks_.account(outcome);
  if (outcome.retry.empty()) {
    if (backoff_ms_ != 0 && exporter_.IsOpen()) {
      backoff_ms_ = 0;
      if (hooks_.link) hooks_.link(true);
    }
    return true;
  }
  queue_.Unpop(std::move(outcome.retry));
  if (hooks_.link) hooks_.link(false);
  BeginBackoff();
  return false;
}

bool CSTThreadProcessor::ExportUntil(const platform::Deadline& deadline) {
  DbRecordPtr record;
  // The time is tested before a record is taken: a record taken is exported.
  while (deadline.Remaining() > 0 && queue_.Pop(record)) {
    const bool more = queue_.HasMore() && exporter_.PendingCount() + 1 < kMaxBatch;
    ExportOutcome outcome;
    exporter_.Export(std::move(record), more, outcome);
    if (!Handle(outcome)) return false;
  }
  // A purge may have emptied the queue under an open transaction.
  if (exporter_.InTransaction() && !queue_.HasMore()) {
    ExportOutcome outcome;
    exporter_.Flush(outcome);
    return Handle(outcome);
  }
  return true;
}

uint32_t CSTThreadProcessor::Process() {
  if (InBackoff()) return 0;
  // Woken by a short queue, the thread waits a moment for the records that
  // follow, so that a reader queueing them one by one neither wakes it for
  // each record nor makes a commit of each.
  if (!exporter_.InTransaction() && queue_.Size() < kMaxBatch) platform::SleepMs(kGatherMs);
  ExportUntil(platform::Deadline(time_slice_ms_));
  return 0;
}

void CSTThreadProcessor::OnStop() {
  const uint32_t spent = platform::TickCount() - stop_requested_at_.load();
  const platform::Deadline drain(spent >= kStopDrainMs ? 0 : kStopDrainMs - spent);
  exporter_.SetCallDeadline(&drain);
  // One more try, also during a back-off: the database may be back.
  ExportUntil(drain);
  ExportOutcome outcome;
  exporter_.Close(outcome);
  if (hooks_.account) hooks_.account(outcome);
  queue_.Unpop(std::move(outcome.retry));
  exporter_.SetCallDeadline(nullptr);
  // The channel's position has not passed these records: the next start
  // reads them from the log again.
  const size_t left = queue_.Clear().size();
  if (left != 0 && hooks_.log) {
    hooks_.log('N', std::to_string(left) +
                        " queued records were not exported before the stop; they are exported "
                        "after the next start, which reads them from the log again.");
  }
}

}  // namespace cvn::db
