#include "control/ctrl_message.h"

#include "control/ctrl_protocol.h"

namespace cvn::control {
namespace {

void PutLe(std::vector<uint8_t>& out, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetLe(const uint8_t* p, int width) {
  uint32_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

CSTCtrlMessage::CSTCtrlMessage() : bytes_(kLengthFieldSize, 0) {}

void CSTCtrlMessage::Clear() { bytes_.assign(kLengthFieldSize, 0); }

void CSTCtrlMessage::Assign(std::span<const uint8_t> bytes) {
  bytes_.assign(bytes.begin(), bytes.end());
  if (bytes_.size() < kLengthFieldSize) bytes_.resize(kLengthFieldSize, 0);
}

void CSTCtrlMessage::SetLengthField() {
  const auto n = static_cast<uint32_t>(bytes_.size());
  for (size_t i = 0; i < kLengthFieldSize; ++i) bytes_[i] = static_cast<uint8_t>(n >> (8 * i));
}

uint32_t CSTCtrlMessage::LengthField() const { return GetLe(bytes_.data(), 4); }

void CSTCtrlMessage::ValueToStack(uint8_t value) { bytes_.push_back(value); }
void CSTCtrlMessage::ValueToStack(uint16_t value) { PutLe(bytes_, value, 2); }
void CSTCtrlMessage::ValueToStack(int32_t value) { PutLe(bytes_, static_cast<uint32_t>(value), 4); }

void CSTCtrlMessage::ValueToStack(std::u16string_view value) {
  for (char16_t c : value) PutLe(bytes_, c, 2);
  ValueToStack(static_cast<int32_t>(value.size() * 2));
}

void CSTCtrlMessage::ValueToStack(const std::vector<int32_t>& values) {
  for (int32_t v : values) ValueToStack(v);
  ValueToStack(static_cast<int32_t>(values.size()));
}

void CSTCtrlMessage::ValueToStack(const std::vector<std::u16string>& values) {
  for (auto it = values.rbegin(); it != values.rend(); ++it) ValueToStack(std::u16string_view(*it));
  ValueToStack(static_cast<int32_t>(values.size()));
}

void CSTCtrlMessage::AppendRaw(std::span<const uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

bool CSTCtrlMessage::ValueFromStack(uint8_t& value) {
  if (Remaining() < 1) return false;
  value = bytes_.back();
  bytes_.pop_back();
  return true;
}

bool CSTCtrlMessage::ValueFromStack(uint16_t& value) {
  if (Remaining() < 2) return false;
  value = static_cast<uint16_t>(GetLe(bytes_.data() + bytes_.size() - 2, 2));
  bytes_.resize(bytes_.size() - 2);
  return true;
}

bool CSTCtrlMessage::ValueFromStack(int32_t& value) {
  if (Remaining() < 4) return false;
  value = static_cast<int32_t>(GetLe(bytes_.data() + bytes_.size() - 4, 4));
  bytes_.resize(bytes_.size() - 4);
  return true;
}

bool CSTCtrlMessage::ValueFromStack(std::u16string& value) {
  int32_t count = 0;
  if (!ValueFromStack(count)) return false;
  if (count == 0) {
    value.clear();
    return true;
  }
  const auto n = static_cast<uint32_t>(count);
  if (n > Remaining()) return false;
  // An odd count cannot come from a writer of whole code units; its last
  // byte is popped with the string and ignored.
  const uint8_t* p = bytes_.data() + bytes_.size() - n;
  std::u16string s(n / 2, u'\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(GetLe(p + 2 * i, 2));
  bytes_.resize(bytes_.size() - n);
  value = std::move(s);
  return true;
}

bool CSTCtrlMessage::ValueFromStack(std::vector<int32_t>& values) {
  int32_t count = 0;
  if (!ValueFromStack(count)) return false;
  const uint64_t n = static_cast<uint32_t>(count);
  if (n * 4 > Remaining()) return false;
  std::vector<int32_t> out(static_cast<size_t>(n));
  const uint8_t* p = bytes_.data() + bytes_.size() - n * 4;
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int32_t>(GetLe(p + 4 * i, 4));
  bytes_.resize(bytes_.size() - static_cast<size_t>(n * 4));
  values = std::move(out);
  return true;
}

bool CSTCtrlMessage::ValueFromStack(std::vector<std::u16string>& values) {
  int32_t count = 0;
  if (!ValueFromStack(count)) return false;
  const uint64_t n = static_cast<uint32_t>(count);
  if (n * 4 > Remaining()) return false;
  std::vector<std::u16string> out;
  out.reserve(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) {
    std::u16string s;
    if (!ValueFromStack(s)) return false;
    out.push_back(std::move(s));
  }
  values = std::move(out);
  return true;
}

CtrlMessageAssembler::State CtrlMessageAssembler::Add(std::span<const uint8_t> chunk) {
  if (bytes_.empty()) {
    if (chunk.size() <= kLengthFieldSize) return kRejected;
    total_ = GetLe(chunk.data(), 4);
    if (total_ > limit_ || chunk.size() > total_) return kRejected;
  } else if (chunk.empty() || bytes_.size() + chunk.size() > total_) {
    Reset();
    return kRejected;
  }
  bytes_.insert(bytes_.end(), chunk.begin(), chunk.end());
  return bytes_.size() == total_ ? kComplete : kIncomplete;
}

CSTCtrlMessage CtrlMessageAssembler::Take() {
  CSTCtrlMessage message;
  message.Assign(bytes_);
  Reset();
  return message;
}

void CtrlMessageAssembler::Reset() {
  bytes_.clear();
  total_ = 0;
}

}  // namespace cvn::control
