// Raw classic event log records (the EVENTLOGRECORD layout) for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvn::testing {

// Offsets in the fixed part.
constexpr size_t kRawLength = 0;
constexpr size_t kRawEventType = 24;
constexpr size_t kRawNumStrings = 26;
constexpr size_t kRawStringOffset = 36;
constexpr size_t kRawUserSidLength = 40;
constexpr size_t kRawUserSidOffset = 44;
constexpr size_t kRawDataLength = 48;
constexpr size_t kRawDataOffset = 52;

inline void SetRaw16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void SetRaw32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t GetRaw32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct RawRecord {
  uint32_t recordNumber = 7;
  uint32_t timeGenerated = 1700000000;
  uint32_t timeWritten = 1700000001;
  uint32_t eventId = 1000;
  uint16_t eventType = 4;
  uint16_t category = 3;
  std::u16string source = u"Src";
  std::u16string computer = u"HOST";
  std::vector<uint8_t> sid;
  std::vector<std::u16string> strings;
  std::vector<uint8_t> data;

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> b(56, 0);
    auto wide = [&b](const std::u16string& s) {
      for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
      }
      b.push_back(0);
      b.push_back(0);
    };
    wide(source);
    wide(computer);
    while (b.size() % 4 != 0) b.push_back(0);
    const size_t sid_offset = b.size();
    b.insert(b.end(), sid.begin(), sid.end());
    const size_t string_offset = b.size();
    for (const auto& s : strings) wide(s);
    const size_t data_offset = b.size();
    b.insert(b.end(), data.begin(), data.end());
    while (b.size() % 4 != 0) b.push_back(0);
    b.resize(b.size() + 4);
    const uint32_t length = static_cast<uint32_t>(b.size());
    SetRaw32(b, kRawLength, length);
    SetRaw32(b, 4, 0x654C664C);
    SetRaw32(b, 8, recordNumber);
    SetRaw32(b, 12, timeGenerated);
    SetRaw32(b, 16, timeWritten);
    SetRaw32(b, 20, eventId);
    SetRaw16(b, kRawEventType, eventType);
    SetRaw16(b, kRawNumStrings, static_cast<uint16_t>(strings.size()));
    SetRaw16(b, 28, category);
    SetRaw32(b, kRawStringOffset, static_cast<uint32_t>(string_offset));
    SetRaw32(b, kRawUserSidLength, static_cast<uint32_t>(sid.size()));
    SetRaw32(b, kRawUserSidOffset, sid.empty() ? 0 : static_cast<uint32_t>(sid_offset));
    SetRaw32(b, kRawDataLength, static_cast<uint32_t>(data.size()));
    SetRaw32(b, kRawDataOffset, static_cast<uint32_t>(data_offset));
    SetRaw32(b, length - 4, length);
    return b;
  }
};

}  // namespace cvn::testing
