#include "core/delivery_queue.h"

namespace cvn {

void DeliveryQueue::SetCapacity(size_t capacity) {
  platform::LockGuard guard(lock_);
  capacity_ = capacity;
}

void DeliveryQueue::AppendLocked(std::string text) {
  // Issued under the lock, before a consumer can see the message; a
  // record's mark is read on the producer's thread only after this returns.
  items_.push_back(QueuedMessage{progress_.Issue(), std::move(text)});
}

void DeliveryQueue::Push(std::string text) {
  platform::LockGuard guard(lock_);
  AppendLocked(std::move(text));
}

bool DeliveryQueue::TryPush(std::string text, platform::Event* wake) {
  bool was_empty = false;
  {
    platform::LockGuard guard(lock_);
    if (capacity_ != 0 && items_.size() >= capacity_) {
      if (wake) wake->Set();
      return false;
    }
    was_empty = items_.empty();
    AppendLocked(std::move(text));
  }
  if (was_empty && wake) wake->Set();
  return true;
}

bool DeliveryQueue::HalfEmpty() {
  platform::LockGuard guard(lock_);
  return capacity_ == 0 || items_.size() <= capacity_ / 2;
}

size_t DeliveryQueue::TakeBatch(std::deque<QueuedMessage>& out, size_t max_count,
                                size_t max_bytes) {
  size_t taken = 0;
  size_t bytes = 0;
  {
    platform::LockGuard guard(lock_);
    while (!items_.empty() &&
           (taken == 0 || (taken < max_count && bytes + items_.front().text.size() <= max_bytes))) {
      bytes += items_.front().text.size();
      out.push_back(std::move(items_.front()));
      items_.pop_front();
      ++taken;
    }
  }
  return taken;
}

void DeliveryQueue::Purge() {
  uint64_t last = 0;
  {
    platform::LockGuard guard(lock_);
    items_.clear();
    last = progress_.Issued();
  }
  Acknowledge(last);
}

size_t DeliveryQueue::Size() {
  platform::LockGuard guard(lock_);
  return items_.size();
}

void DeliveryProgress::Acknowledge(uint64_t seq) {
  uint64_t current = acknowledged_.load();
  while (seq > current && !acknowledged_.compare_exchange_weak(current, seq)) {
  }
}

}  // namespace cvn
