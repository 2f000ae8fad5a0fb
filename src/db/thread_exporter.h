// The database channel's worker: a thread that waits for its stop or work
// event (CSTThreadWorker), takes the queued records in slices of 500 ms and
// hands them to the exporter (CSTThreadProcessor), and the whole set of
// queue, exporter and processor (CSTThreadExporter).
//
// Records left when a slice ends are taken in the next slice at once. When
// the connection is gone, the records wait at the head of the queue and the
// exporter reopens after a back-off of 1 s, doubling up to 60 s. At stop the
// worker goes on exporting for up to 5 s from the stop request, then leaves
// what is left to the next start, which reads it from the log again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/db_exporter.h"
#include "db/st_queue.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace cvn::db {

class CSTThreadWorker {
 public:
  // The result of Start while a thread given up at a stop still runs.
  static constexpr uint32_t kErrorHeldBack = 1460;
  static constexpr uint32_t kErrorCreate = 11;  // EAGAIN

  CSTThreadWorker();
  virtual ~CSTThreadWorker();
  CSTThreadWorker(const CSTThreadWorker&) = delete;
  CSTThreadWorker& operator=(const CSTThreadWorker&) = delete;

  // 0, kErrorHeldBack, or kErrorCreate. Nothing happens when it runs.
  uint32_t Start();
  // Sets the stop event.
  void SignalStop();
  // Waits up to wait_ms for the thread to end; one that does not is given up
  // (left to end on its own) and the next Start waits for it. True when no
  // thread is left running.
  bool Stop(uint32_t wait_ms);
  bool IsRunning();
  // A thread given up at a stop still runs: nothing it uses may be touched.
  bool HeldBack();
  void Wake() { work_.Set(); }

 protected:
  // One wake-up's work: 0 to go on, else the thread ends with this result.
  virtual uint32_t Process() = 0;
  // How long to wait for the next wake-up (platform::kInfinite for none).
  virtual uint32_t NextWaitMs() = 0;
  // Runs on the thread after the stop event was seen.
  virtual void OnStop() {}

 private:
  uint32_t Run();

  platform::Lock lock_;  // serialises Start and Stop
  std::unique_ptr<platform::Thread> thread_;
  std::unique_ptr<platform::Thread> given_up_;
  platform::Event stop_{platform::Event::Mode::kManualReset};
  platform::Event work_{platform::Event::Mode::kAutoReset};
};

class CSTThreadProcessor : public CSTThreadWorker {
 public:
  static constexpr uint32_t kTimeSliceMs = 500;
  static constexpr uint32_t kFirstBackoffMs = 1000;
  static constexpr uint32_t kMaxBackoffMs = 60000;
  static constexpr uint32_t kStopDrainMs = 5000;
  // A transaction is committed after this many records even when more wait.
  static constexpr size_t kMaxBatch = 1000;
  static constexpr uint32_t kGatherMs = 1;

  struct Hooks {
    // Counts and acknowledges what the exporter finished.
    std::function<void(const ExportOutcome&)> account;
    std::function<void(char level, const std::string& message)> log;
    // The connection went down (false) or came up (true).
    std::function<void(bool up)> link;
  };

  CSTThreadProcessor(CSTDbExporter& exporter, CSTQueue<DbRecordPtr>& queue)
      : exporter_(exporter), queue_(queue) {}
  ~CSTThreadProcessor() override;

  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  // Records the moment of the stop request (the drain's deadline counts
  // from it), then sets the stop event.
  void RequestStop();
  // Starts with a back-off, as after a failed open.
  void BeginBackoff();
  // Tests: shorter slices.
  void SetTimeSliceForTesting(uint32_t ms) { time_slice_ms_ = ms; }

 protected:
  uint32_t Process() override;
  uint32_t NextWaitMs() override;
  void OnStop() override;

 private:
  // Exports records from the queue until the deadline; false when the
  // connection was lost (the records then wait at the queue's head).
  bool ExportUntil(const platform::Deadline& deadline);
  bool Handle(ExportOutcome& outcome);
  // What is left of a back-off; 0 when none runs.
  uint32_t BackoffLeftMs() const;
  bool InBackoff() const;

  CSTDbExporter& exporter_;
  CSTQueue<DbRecordPtr>& queue_;
  Hooks hooks_;
  uint32_t time_slice_ms_ = kTimeSliceMs;
  uint32_t backoff_ms_ = 0;
  uint32_t retry_at_ = 0;
  std::atomic<uint32_t> stop_requested_at_{0};
};

// The queue, the exporter and the processor of one channel.
class CSTThreadExporter {
 public:
  CSTThreadExporter() : processor_(exporter_, queue_) {}

  CSTQueue<DbRecordPtr>& Queue() { return queue_; }
  CSTDbExporter& Exporter() { return exporter_; }
  CSTThreadProcessor& Processor() { return processor_; }

 private:
  CSTQueue<DbRecordPtr> queue_;
  CSTDbExporter exporter_;
  CSTThreadProcessor processor_;
};

}  // namespace cvn::db
