// 32-bit operation results: 0 is success; otherwise the step at which an
// operation stopped sits in bits 16..23 and the low 16 bits of the system or
// C runtime error code in bits 0..15. The command line adds an operation code
// in bits 24..31.
#pragma once

#include <cstdint>

namespace cvn {

using Result = uint32_t;

constexpr Result kOk = 0;

constexpr Result MakeResult(uint32_t step, uint32_t error) {
  return ((step & 0xFFu) << 16) | (error & 0xFFFFu);
}

constexpr Result WithOperation(Result r, uint32_t operation) {
  return (r & 0x00FFFFFFu) | ((operation & 0xFFu) << 24);
}

constexpr uint32_t ResultOperation(Result r) { return (r >> 24) & 0xFFu; }
constexpr uint32_t ResultStep(Result r) { return (r >> 16) & 0xFFu; }
constexpr uint32_t ResultError(Result r) { return r & 0xFFFFu; }

}  // namespace cvn
