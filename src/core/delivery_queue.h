// The hand-over queue of a channel whose output must be durable before the
// reader's bookmark may move past a record (the syslog channel).
//
// The reader (the only producer) appends messages in the order it reads the
// records; each message gets the next sequence number. The channel's worker
// takes them in the same order and, once a message is durable (taken by a
// peer, or synced to disk), acknowledges its number. So every message up to
// Acknowledged() is durable, and a record counts as handled once every
// message issued up to its dispatch (Issued() right after it) is
// acknowledged: a record that produced no message is handled as soon as the
// ones before it are.
//
// The queue holds at most its capacity; a producer that finds it full is
// told so and offers the message again later, so a slow peer slows that
// channel's reading instead of filling the memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/sync.h"

namespace cvn {

// The delivery order of one channel: the number of the output issued last
// and the number up to which every output is durable (or given up). The
// reader compares a record's mark (Issued() right after its dispatch) with
// Acknowledged() to know when the record is handled.
class DeliveryProgress {
 public:
  // Numbers the next output, from 1. Only the producer issues numbers.
  uint64_t Issue() { return issued_.fetch_add(1) + 1; }
  // Everything up to seq is durable. Numbers only ever grow.
  void Acknowledge(uint64_t seq);
  // Counts everything issued so far as handled (a purge, or a stop: the
  // reader starts again from the bookmarks).
  void AcknowledgeAll() { Acknowledge(issued_.load()); }
  uint64_t Issued() const { return issued_.load(); }
  uint64_t Acknowledged() const { return acknowledged_.load(); }

 private:
  std::atomic<uint64_t> issued_{0};
  std::atomic<uint64_t> acknowledged_{0};
};

struct QueuedMessage {
  uint64_t seq = 0;  // place in the channel's delivery order, from 1
  std::string text;
};

class DeliveryQueue {
 public:
  // 0: no bound.
  void SetCapacity(size_t capacity);

  // Appends without waiting, whatever the bound.
  void Push(std::string text);
  // Appends when the queue has room and sets wake when it was empty; false
  // (nothing appended, wake set so that the consumer drains) when it is full.
  bool TryPush(std::string text, platform::Event* wake);
  // Whether at most half of the bound is in use (always without a bound).
  bool HalfEmpty();

  // Moves the oldest messages to out: at least one when any waits, then more
  // while both bounds allow.
  size_t TakeBatch(std::deque<QueuedMessage>& out, size_t max_count, size_t max_bytes);

  // Drops what is queued and counts everything issued so far as handled, so
  // that nobody waits for those messages any more. Used by the console's
  // purge (the user chose to drop them) and when the threads stop (the reader
  // starts again from the bookmarks and reads those records again).
  void Purge();
  size_t Size();

  // Everything up to seq is durable. Numbers only ever grow.
  void Acknowledge(uint64_t seq) { progress_.Acknowledge(seq); }
  uint64_t Issued() const { return progress_.Issued(); }
  uint64_t Acknowledged() const { return progress_.Acknowledged(); }
  const DeliveryProgress& Progress() const { return progress_; }

 private:
  void AppendLocked(std::string text);

  platform::Lock lock_;
  std::deque<QueuedMessage> items_;
  size_t capacity_ = 0;
  DeliveryProgress progress_;
};

}  // namespace cvn
