// Pop-ups on their way to the console: a small bounded queue and a thread of
// their own that hands them over one at a time. The thread that reads the
// event logs only queues; a console that is slow or silent costs pop-ups,
// never reading time. When the queue is full, new pop-ups are dropped and
// counted, and the first drop of each run of drops is reported.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>

#include "control/ctrl_message.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace cvn {

class CPopupSender {
 public:
  static constexpr size_t kCapacity = 16;

  // Hands one pop-up to the console; may block for as long as the console
  // channel's own deadline allows.
  using Send = std::function<void(const control::CSTCtrlMessage& values)>;
  // Told of the first drop of a run, with the number dropped since Start.
  using DropReport = std::function<void(uint64_t dropped)>;

  CPopupSender(Send send, DropReport report);
  ~CPopupSender();  // Stop(0)
  CPopupSender(const CPopupSender&) = delete;
  CPopupSender& operator=(const CPopupSender&) = delete;

  // Starts the sending thread with an empty queue and a zero count; false when
  // it cannot be created (then every pop-up is dropped).
  bool Start();
  // Empties the queue and waits up to timeout_ms for the thread, which must
  // first be released from a send in progress (closing the console
  // connection does that); a thread that does not end in time is left to end
  // on its own.
  void Stop(uint32_t timeout_ms);

  // Queues values; false when the pop-up was dropped (queue full, not started).
  bool Post(control::CSTCtrlMessage values);
  uint64_t Dropped() const;
  // Pop-ups waiting in the queue, read without the lock.
  size_t Waiting() const { return waiting_.load(); }

 private:
  uint32_t Run();

  Send send_;
  DropReport report_;
  mutable platform::Lock lock_;
  std::deque<control::CSTCtrlMessage> queue_;  // guarded by lock_
  bool running_ = false;                       // guarded by lock_
  bool in_drop_run_ = false;                   // guarded by lock_
  uint64_t dropped_ = 0;                       // guarded by lock_
  std::atomic<size_t> waiting_{0};             // queue_.size(), set under lock_
  platform::Event wake_{platform::Event::Mode::kAutoReset};
  platform::Event stop_{platform::Event::Mode::kManualReset};
  std::unique_ptr<platform::Thread> thread_;
};

}  // namespace cvn
