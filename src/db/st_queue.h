// A double-buffered hand-over queue between one producer and one consumer.
// The producer appends to the input list under the input lock; the consumer
// takes from the output list under the output lock and takes the input lock
// only to swap the two lists when the output list is used up, so an append
// never waits for the consumer's work. A maximum bounds the items waiting in
// both halves; the producer keeps an item the bound refuses and offers it
// again once the queue has room, so nothing is dropped here.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

#include "platform/sync.h"

namespace cvn::db {

template <class T>
class CSTQueue {
 public:
  // 0: no limit.
  void SetMaximum(size_t maximum) {
    platform::LockGuard guard(input_lock_);
    maximum_ = maximum;
  }

  // Appends item unless the queue is full (false). accept(item) runs under
  // the input lock just before an accepted item is appended (the caller
  // numbers its items there).
  template <class Accept>
  bool Push(T item, Accept&& accept) {
    platform::LockGuard guard(input_lock_);
    if (maximum_ != 0 && WaitingLocked() >= maximum_) return false;
    accept(item);
    input_.push_back(std::move(item));
    return true;
  }
  bool Push(T item) {
    return Push(std::move(item), [](T&) {});
  }

  // Moves the oldest item to out; false when none waits.
  bool Pop(T& out) {
    platform::LockGuard output_guard(output_lock_);
    if (read_ == output_.size()) {
      platform::LockGuard input_guard(input_lock_);
      output_.clear();
      read_ = 0;
      output_.swap(input_);
    }
    if (read_ == output_.size()) return false;
    out = std::move(output_[read_]);
    ++read_;
    if (read_ == output_.size()) {
      platform::LockGuard input_guard(input_lock_);
      output_.clear();
      read_ = 0;
    }
    return true;
  }

  // Puts items taken by Pop back at the head, in their order, for another
  // try; they count against the maximum again.
  void Unpop(std::vector<T> items) {
    if (items.empty()) return;
    platform::LockGuard output_guard(output_lock_);
    platform::LockGuard input_guard(input_lock_);
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(read_.load()));
    read_ = 0;
    output_.insert(output_.begin(), std::make_move_iterator(items.begin()),
                   std::make_move_iterator(items.end()));
  }

  bool HasMore() {
    platform::LockGuard output_guard(output_lock_);
    if (read_ < output_.size()) return true;
    platform::LockGuard input_guard(input_lock_);
    return !input_.empty();
  }

  // The items waiting in both halves.
  size_t Size() {
    platform::LockGuard output_guard(output_lock_);
    platform::LockGuard input_guard(input_lock_);
    return WaitingLocked();
  }

  // Discards every waiting item; returns them so that the caller can account
  // for them.
  std::vector<T> Clear() {
    platform::LockGuard output_guard(output_lock_);
    platform::LockGuard input_guard(input_lock_);
    std::vector<T> removed(
        std::make_move_iterator(output_.begin() + static_cast<std::ptrdiff_t>(read_.load())),
        std::make_move_iterator(output_.end()));
    removed.insert(removed.end(), std::make_move_iterator(input_.begin()),
                   std::make_move_iterator(input_.end()));
    output_.clear();
    input_.clear();
    read_ = 0;
    return removed;
  }

  // At most half of the maximum waits (always without a maximum): a
  // producer that the bound held back reads on in long runs from here.
  bool AtMostHalfFull() {
    platform::LockGuard guard(input_lock_);
    return maximum_ == 0 || WaitingLocked() <= maximum_ / 2;
  }

 private:
  // The caller holds the input lock. The output list changes size only under
  // the input lock too, and the read index is atomic, so the producer counts
  // without the output lock.
  size_t WaitingLocked() const { return input_.size() + output_.size() - read_.load(); }

  platform::Lock input_lock_;
  std::vector<T> input_;
  platform::Lock output_lock_;
  std::vector<T> output_;
  std::atomic<size_t> read_{0};
  size_t maximum_ = 0;
};

}  // namespace cvn::db
