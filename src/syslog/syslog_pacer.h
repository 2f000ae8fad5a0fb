// Pacing of datagrams: a receiver's socket buffer holds only so many, and a
// datagram it has no room for is lost without a word to the sender. The
// pacer lets a steady rate through, with short bursts of at most a few
// milliseconds' worth.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cvn {

class CSyslogPacer {
 public:
  // rate: messages per second; 0 (or less) lets everything through at once.
  // now: the tick count in milliseconds.
  CSyslogPacer(int64_t rate, uint32_t now);

  bool Paced() const { return rate_ != 0; }
  // How many of want messages may go now.
  size_t Allowance(size_t want, uint32_t now);
  // n messages went (at most the allowance just given).
  void Spend(size_t n);
  // Milliseconds until the next small burst may go; 0 when it may go now.
  uint32_t Wait(uint32_t now);

  // The longest burst, in milliseconds of the rate.
  static constexpr uint32_t kBurstMs = 5;

 private:
  void Refill(uint32_t now);

  uint64_t rate_ = 0;    // messages per second
  uint64_t burst_ = 0;   // the most credit saved, in thousandths of a message
  uint64_t credit_ = 0;  // thousandths of a message that may go
  uint32_t last_ = 0;
};

}  // namespace cvn
