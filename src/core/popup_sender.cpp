#include "core/popup_sender.h"

#include <utility>

namespace cvn {

CPopupSender::CPopupSender(Send send, DropReport report)
    : send_(std::move(send)), report_(std::move(report)) {}

CPopupSender::~CPopupSender() { Stop(0); }

bool CPopupSender::Start() {
  if (thread_) return true;
  {
    platform::LockGuard guard(lock_);
    queue_.clear();
    waiting_ = 0;
    dropped_ = 0;
    in_drop_run_ = false;
  }
  stop_.Reset();
  auto thread = std::make_unique<platform::Thread>();
  if (!thread->Start([this] { return Run(); })) return false;
  thread_ = std::move(thread);
  platform::LockGuard guard(lock_);
  running_ = true;
  return true;
}

void CPopupSender::Stop(uint32_t timeout_ms) {
  {
    platform::LockGuard guard(lock_);
    running_ = false;
    queue_.clear();
    waiting_ = 0;
  }
  if (!thread_) return;
  stop_.Set();
  // A thread still in a send is left to end on its own rather than waited for
  // without end (never killed: it may hold the channel's locks).
  thread_->Join(timeout_ms);
  thread_.reset();
}

bool CPopupSender::Post(control::CSTCtrlMessage values) {
  bool report = false;
  uint64_t dropped = 0;
  {
    platform::LockGuard guard(lock_);
    if (running_ && queue_.size() < kCapacity) {
      queue_.push_back(std::move(values));
      waiting_ = queue_.size();
      in_drop_run_ = false;
    } else {
      dropped = ++dropped_;
      report = !in_drop_run_;
      in_drop_run_ = true;
    }
  }
  if (dropped == 0) {
    wake_.Set();
    return true;
  }
  if (report && report_) report_(dropped);
  return false;
}

uint64_t CPopupSender::Dropped() const {
  platform::LockGuard guard(lock_);
  return dropped_;
}

uint32_t CPopupSender::Run() {
  platform::Event* events[2] = {&stop_, &wake_};
  for (;;) {
    control::CSTCtrlMessage values;
    bool have = false;
    {
      platform::LockGuard guard(lock_);
      if (!queue_.empty()) {
        values = std::move(queue_.front());
        queue_.pop_front();
        waiting_ = queue_.size();
        have = true;
      }
    }
    if (stop_.Wait(0)) return 0;
    if (have) {
      send_(values);
      continue;
    }
    const platform::WaitResult w = platform::WaitAny(events, platform::kInfinite);
    if (!w.signaled() || w.index == 0) return 0;
  }
}

}  // namespace cvn
