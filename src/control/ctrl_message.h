// A control channel message: a length-prefixed byte buffer used as a stack of
// typed values.
//
// Layout: 4 bytes total length (this field included, little-endian), then the
// values in push order, the last one being the message kind. Writers push
// values at the end (ValueToStack); readers pop them from the end
// (ValueFromStack), so values come out in the reverse order of the pushes. The
// length field is never popped; SetLengthField fills it in before sending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/ctrl_protocol.h"

namespace cvn::control {

// Message kinds (the last byte of every message).
enum CtrlMessageKind : uint8_t {
  kKindMethodCall = 1,
  kKindMethodReply = 2,
  kKindPropertyQuery = 3,
  kKindPropertyReply = 4,
  kKindPropertySet = 5,
  kKindPropertySetReply = 6,
};

constexpr size_t kLengthFieldSize = 4;

class CSTCtrlMessage {
 public:
  CSTCtrlMessage();  // the four length bytes only

  // Back to the four (zero) length bytes.
  void Clear();
  // Takes a received message as it is (its first four bytes are the length).
  void Assign(std::span<const uint8_t> bytes);

  // The whole buffer, length field included.
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  std::vector<uint8_t>& MutableBytes() { return bytes_; }
  size_t Size() const { return bytes_.size(); }
  // Bytes that can still be popped (the length field excluded).
  size_t Remaining() const {
    return bytes_.size() > kLengthFieldSize ? bytes_.size() - kLengthFieldSize : 0;
  }
  bool HasValues() const { return Remaining() > 0; }
  // The last byte (the kind of a complete message); 0 when there is none.
  uint8_t LastByte() const { return HasValues() ? bytes_.back() : 0; }

  // Stores the buffer's byte count in its first four bytes.
  void SetLengthField();
  // The value of the length field.
  uint32_t LengthField() const;

  void ValueToStack(uint8_t value);
  void ValueToStack(uint16_t value);
  void ValueToStack(int32_t value);
  void ValueToStack(uint32_t value) { ValueToStack(static_cast<int32_t>(value)); }
  void ValueToStack(std::u16string_view value);
  void ValueToStack(const std::vector<int32_t>& values);
  void ValueToStack(const std::vector<std::u16string>& values);
  // Appends raw bytes (the values of another message).
  void AppendRaw(std::span<const uint8_t> bytes);

  // Each returns true when it popped the value; otherwise the value and the
  // buffer are left as they were, except where noted.
  bool ValueFromStack(uint8_t& value);
  bool ValueFromStack(uint16_t& value);
  bool ValueFromStack(int32_t& value);
  // Pops the byte count; 0 gives an empty string; a count above what remains
  // leaves the string as it was (the count stays popped) and returns false.
  bool ValueFromStack(std::u16string& value);
  // Pops the element count, then the elements when 4 bytes per element remain.
  bool ValueFromStack(std::vector<int32_t>& values);
  bool ValueFromStack(std::vector<std::u16string>& values);

 private:
  std::vector<uint8_t> bytes_;
};

// Assembles one received message from the chunks that reads deliver: the
// first chunk holds the length field and at least one value byte, and the
// message is complete exactly at its declared length. Declared lengths above
// the limit, or below what already arrived, and bytes beyond the declared
// length reject the message (the peer is not to be trusted further).
class CtrlMessageAssembler {
 public:
  enum State { kIncomplete, kComplete, kRejected };

  explicit CtrlMessageAssembler(uint32_t limit = kMaxMessageSize) : limit_(limit) {}

  // Adds the next chunk; an empty chunk is rejected. After kRejected the
  // assembler is empty again.
  State Add(std::span<const uint8_t> chunk);
  // The complete message; the assembler is empty again.
  CSTCtrlMessage Take();
  void Reset();

 private:
  std::vector<uint8_t> bytes_;
  uint32_t total_ = 0;
  uint32_t limit_;
};

}  // namespace cvn::control
