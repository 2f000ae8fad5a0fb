// Keeps a failure that repeats (once per record, once per write) from
// flooding the log: the first one is reported, then at most one report per
// interval with the count of failures since the last, and one when the
// operation works again.
#pragma once

#include <cstdint>

namespace cvn {

class RepeatedFailure {
 public:
  static constexpr uint32_t kIntervalMs = 60000;

  // A failure at tick now (milliseconds). True when it is to be reported;
  // then *count holds the failures it stands for (1 for the first).
  bool Fail(uint32_t now, uint32_t* count) {
    ++unreported_;
    if (failing_ && now - reported_at_ < kIntervalMs) return false;
    failing_ = true;
    reported_at_ = now;
    *count = unreported_;
    unreported_ = 0;
    return true;
  }

  // A success. True once after failures: the recovery is to be reported.
  bool Succeed() {
    const bool recovered = failing_;
    failing_ = false;
    unreported_ = 0;
    return recovered;
  }

 private:
  bool failing_ = false;
  uint32_t reported_at_ = 0;
  uint32_t unreported_ = 0;
};

}  // namespace cvn
