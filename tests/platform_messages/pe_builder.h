// Builds small PE images with a message-table resource in memory, so the
// readers can be tested on PE32 and PE32+ images, several languages and
// deliberately broken structures without any tool.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cvn::testing {

struct MessageEntry {
  uint32_t id;
  std::u16string text;  // stored as UTF-16 (flags 1)
};

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A message-table blob: one block per run of consecutive ids (entries must be
// sorted by id), UTF-16 texts padded to 4 bytes.
inline std::vector<uint8_t> BuildMessageTable(const std::vector<MessageEntry>& entries) {
  std::vector<std::vector<MessageEntry>> blocks;
  for (const MessageEntry& e : entries) {
    if (blocks.empty() || blocks.back().back().id + 1 != e.id) blocks.emplace_back();
    blocks.back().push_back(e);
  }
  std::vector<uint8_t> table;
  Put32(table, 0, static_cast<uint32_t>(blocks.size()));
  size_t offset = 4 + 12 * blocks.size();
  for (size_t b = 0; b < blocks.size(); ++b) {
    Put32(table, 4 + 12 * b, blocks[b].front().id);
    Put32(table, 8 + 12 * b, blocks[b].back().id);
    Put32(table, 12 + 12 * b, static_cast<uint32_t>(offset));
    for (const MessageEntry& e : blocks[b]) {
      const size_t length = (4 + 2 * (e.text.size() + 1) + 3) & ~size_t{3};
      table.resize(offset + length, 0);
      Put16(table, offset, static_cast<uint16_t>(length));
      Put16(table, offset + 2, 1);
      for (size_t i = 0; i < e.text.size(); ++i) Put16(table, offset + 4 + 2 * i, e.text[i]);
      offset += length;
    }
  }
  return table;
}

// A PE image (PE32 or PE32+) with one section ".rsrc" holding the resource
// directory: type 11, name 1, one entry per language with its table.
inline std::vector<uint8_t> BuildPeImage(
    bool pe32_plus, const std::vector<std::pair<uint16_t, std::vector<uint8_t>>>& languages,
    uint32_t type = 11, uint32_t name = 1) {
  constexpr uint32_t kRva = 0x1000;
  // Resource section: root, type directory, name directory, data entries, data.
  std::vector<uint8_t> rsrc;
  Put16(rsrc, 14, 1);  // root: one id entry
  Put32(rsrc, 16, type);
  Put32(rsrc, 20, 0x80000000u | 24);
  Put16(rsrc, 24 + 14, 1);  // type directory
  Put32(rsrc, 24 + 16, name);
  Put32(rsrc, 24 + 20, 0x80000000u | 48);
  const size_t lang_dir = 48;
  Put16(rsrc, lang_dir + 14, static_cast<uint16_t>(languages.size()));
  size_t data_entries = lang_dir + 16 + 8 * languages.size();
  size_t data = data_entries + 16 * languages.size();
  for (size_t i = 0; i < languages.size(); ++i) {
    Put32(rsrc, lang_dir + 16 + 8 * i, languages[i].first);
    Put32(rsrc, lang_dir + 20 + 8 * i, static_cast<uint32_t>(data_entries + 16 * i));
    Put32(rsrc, data_entries + 16 * i, kRva + static_cast<uint32_t>(data));
    Put32(rsrc, data_entries + 16 * i + 4, static_cast<uint32_t>(languages[i].second.size()));
    rsrc.resize(data);
    rsrc.insert(rsrc.end(), languages[i].second.begin(), languages[i].second.end());
    data = (rsrc.size() + 3) & ~size_t{3};
  }
  rsrc.resize((rsrc.size() + 0x1FF) & ~size_t{0x1FF}, 0);

  std::vector<uint8_t> image(0x200, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, 0x40);
  image[0x40] = 'P';
  image[0x41] = 'E';
  const size_t coff = 0x44;
  const uint16_t optional_size = pe32_plus ? 240 : 224;
  Put16(image, coff, pe32_plus ? 0x8664 : 0x14C);
  Put16(image, coff + 2, 1);  // sections
  Put16(image, coff + 16, optional_size);
  Put16(image, coff + 18, 0x2102);  // executable, DLL
  const size_t optional = coff + 20;
  Put16(image, optional, pe32_plus ? 0x20B : 0x10B);
  const size_t count_at = optional + (pe32_plus ? 108 : 92);
  Put32(image, count_at, 16);
  Put32(image, count_at + 4 + 2 * 8, kRva);
  Put32(image, count_at + 4 + 2 * 8 + 4, static_cast<uint32_t>(rsrc.size()));
  const size_t section = optional + optional_size;
  const char kName[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (int i = 0; i < 8; ++i) image[section + i] = static_cast<uint8_t>(kName[i]);
  Put32(image, section + 8, static_cast<uint32_t>(rsrc.size()));
  Put32(image, section + 12, kRva);
  Put32(image, section + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(image, section + 20, 0x200);
  image.resize(0x200);
  image.insert(image.end(), rsrc.begin(), rsrc.end());
  return image;
}

// A deterministic pseudo-random sequence (xorshift), for mutation tests that
// give the same inputs on every run.
class Xorshift {
 public:
  explicit Xorshift(uint64_t seed) : state_(seed ? seed : 1) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t state_;
};

}  // namespace cvn::testing
