#include "syslog/syslog_pacer.h"

#include <algorithm>

namespace cvn {

namespace {
constexpr uint64_t kUnit = 1000;  // credit per message
// More than any rate a datagram socket reaches; keeps the arithmetic small.
constexpr int64_t kMaxRate = 100'000'000;
}  // namespace

CSyslogPacer::CSyslogPacer(int64_t rate, uint32_t now) : last_(now) {
  if (rate <= 0) return;
  rate_ = static_cast<uint64_t>(std::min(rate, kMaxRate));
  // Credit accrues per millisecond at rate thousandths; a burst is a few
  // milliseconds' worth, and at least one message.
  burst_ = std::max<uint64_t>(kUnit, rate_ * kBurstMs);
  credit_ = burst_;
}

void CSyslogPacer::Refill(uint32_t now) {
  const uint64_t elapsed = static_cast<uint32_t>(now - last_);  // safe across the wrap
  last_ = now;
  credit_ = std::min(burst_, credit_ + elapsed * rate_);
}

size_t CSyslogPacer::Allowance(size_t want, uint32_t now) {
  if (!Paced()) return want;
  Refill(now);
  return static_cast<size_t>(std::min<uint64_t>(want, credit_ / kUnit));
}

void CSyslogPacer::Spend(size_t n) {
  if (!Paced()) return;
  credit_ -= std::min<uint64_t>(credit_, n * kUnit);
}

uint32_t CSyslogPacer::Wait(uint32_t now) {
  if (!Paced()) return 0;
  Refill(now);
  // Waits for half a burst rather than a single message: fewer wake-ups at
  // high rates, and the rate stays the same.
  const uint64_t want = std::max(kUnit, burst_ / 2 / kUnit * kUnit);
  if (credit_ >= want) return 0;
  return static_cast<uint32_t>((want - credit_ + rate_ - 1) / rate_);
}

}  // namespace cvn
