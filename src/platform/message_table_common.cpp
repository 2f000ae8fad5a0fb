#include <cstring>

#include "base/text.h"
#include "platform/codepage.h"
#include "platform/message_table.h"

namespace cvn::platform::msgtable {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr uint32_t kResourceTypeMessageTable = 11;
constexpr uint32_t kMessageTableName = 1;
constexpr uint32_t kDirectoryBit = 0x80000000u;
constexpr uint16_t kLangNeutral = 0;
constexpr uint16_t kLangEnglishUs = 0x409;

struct Section {
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;
  uint32_t raw_pointer = 0;
};

// The image seen through its section table: RVAs become file offsets, and a
// range is readable only when it lies inside one section's file data.
class PeImage {
 public:
  explicit PeImage(const ByteSource& source) : source_(source) {}

  // Reads the headers; 0, 193 (not PE) or 1812 (no resource directory).
  uint32_t Open() {
    uint8_t dos[64];
    if (!source_.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
      return kErrorBadExeFormat;
    }
    const uint64_t pe = Le32(dos + 0x3C);
    uint8_t nt[24];
    if (!source_.Read(pe, nt, sizeof nt) || std::memcmp(nt, "PE\0\0", 4) != 0) {
      return kErrorBadExeFormat;
    }
    const uint32_t section_count = Le16(nt + 4 + 2);
    const uint32_t optional_size = Le16(nt + 4 + 16);
    const uint64_t optional = pe + 24;
    uint8_t magic[2];
    if (optional_size < 2 || !source_.Read(optional, magic, 2)) return kErrorBadExeFormat;
    uint32_t count_at = 0;
    switch (Le16(magic)) {
      case 0x10B: count_at = 92; break;   // PE32
      case 0x20B: count_at = 108; break;  // PE32+
      default: return kErrorBadExeFormat;
    }
    // Sections follow the optional header whatever it holds.
    const uint64_t table = optional + optional_size;
    std::vector<uint8_t> raw(static_cast<size_t>(section_count) * 40);
    if (!raw.empty() && !source_.Read(table, raw.data(), raw.size())) return kErrorBadExeFormat;
    for (uint32_t i = 0; i < section_count; ++i) {
      const uint8_t* s = raw.data() + i * 40;
      sections_.push_back({Le32(s + 12), Le32(s + 16), Le32(s + 20)});
    }
    // The resource directory is data directory 2.
    const uint32_t dirs_at = count_at + 4;
    uint8_t count[4];
    if (optional_size < dirs_at + 3 * 8 || !source_.Read(optional + count_at, count, 4) ||
        Le32(count) < 3) {
      return kErrorResourceDataNotFound;
    }
    uint8_t dir[8];
    if (!source_.Read(optional + dirs_at + 2 * 8, dir, 8)) return kErrorBadExeFormat;
    resource_rva_ = Le32(dir);
    if (resource_rva_ == 0 || Le32(dir + 4) == 0) return kErrorResourceDataNotFound;
    return 0;
  }

  // Reads size bytes at rva; false unless they lie inside one section's data.
  bool ReadRva(uint64_t rva, void* out, size_t size) const {
    for (const Section& s : sections_) {
      if (rva < s.virtual_address) continue;
      const uint64_t into = rva - s.virtual_address;
      if (into >= s.raw_size || size > s.raw_size - into) continue;
      return source_.Read(static_cast<uint64_t>(s.raw_pointer) + into, out, size);
    }
    return false;
  }

  // Finds the entry with integer id in the directory at offset (from the
  // resource directory's start). 0 and the entry's OffsetToData; not_found
  // when it is missing; 13 when the directory cannot be read. With id < 0
  // chooses a language: neutral, then English (US), then the first.
  uint32_t FindEntry(uint32_t offset, int64_t id, uint32_t not_found, uint32_t& data) const {
    uint8_t header[16];
    if (!ReadRva(static_cast<uint64_t>(resource_rva_) + offset, header, sizeof header)) {
      return kErrorInvalidData;
    }
    const uint32_t named = Le16(header + 12);
    const uint32_t ids = Le16(header + 14);
    if (ids == 0) return not_found;
    std::vector<uint8_t> entries(static_cast<size_t>(ids) * 8);
    if (!ReadRva(static_cast<uint64_t>(resource_rva_) + offset + 16 + named * 8ull, entries.data(),
                 entries.size())) {
      return kErrorInvalidData;
    }
    int64_t chosen = -1;
    int64_t english = -1;
    int64_t first = -1;
    for (uint32_t i = 0; i < ids; ++i) {
      const uint32_t name = Le32(entries.data() + i * 8);
      if ((name & kDirectoryBit) != 0) continue;  // a named entry among the ids
      if (id >= 0) {
        if (name == id) {
          chosen = i;
          break;
        }
        continue;
      }
      if (name == kLangNeutral) {
        chosen = i;
        break;
      }
      if (name == kLangEnglishUs && english < 0) english = i;
      if (first < 0) first = i;
    }
    if (chosen < 0) chosen = english >= 0 ? english : first;
    if (chosen < 0) return not_found;
    data = Le32(entries.data() + chosen * 8 + 4);
    return 0;
  }

  uint32_t resource_rva() const { return resource_rva_; }

 private:
  const ByteSource& source_;
  std::vector<Section> sections_;
  uint32_t resource_rva_ = 0;
};

}  // namespace

bool MemorySource::Read(uint64_t offset, void* out, size_t size) const {
  if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
  if (size != 0) std::memcpy(out, bytes_.data() + offset, size);
  return true;
}

bool LooksLikePeImage(std::span<const uint8_t> head) {
  return head.size() >= 2 && head[0] == 'M' && head[1] == 'Z';
}

uint32_t ReadPeMessageTable(const ByteSource& source, std::vector<uint8_t>& table) {
  table.clear();
  PeImage image(source);
  if (const uint32_t error = image.Open(); error != 0) return error;
  uint32_t type = 0;
  if (const uint32_t error =
          image.FindEntry(0, kResourceTypeMessageTable, kErrorResourceTypeNotFound, type);
      error != 0) {
    return error;
  }
  if ((type & kDirectoryBit) == 0) return kErrorInvalidData;
  uint32_t name = 0;
  if (const uint32_t error = image.FindEntry(type & ~kDirectoryBit, kMessageTableName,
                                             kErrorResourceNameNotFound, name);
      error != 0) {
    return error;
  }
  if ((name & kDirectoryBit) == 0) return kErrorInvalidData;
  uint32_t language = 0;
  if (const uint32_t error =
          image.FindEntry(name & ~kDirectoryBit, -1, kErrorResourceLangNotFound, language);
      error != 0) {
    return error;
  }
  if ((language & kDirectoryBit) != 0) return kErrorInvalidData;
  uint8_t entry[16];
  if (!image.ReadRva(static_cast<uint64_t>(image.resource_rva()) + language, entry, sizeof entry)) {
    return kErrorInvalidData;
  }
  const uint32_t data_rva = Le32(entry);
  const uint32_t size = Le32(entry + 4);
  if (size > kMaxMessageTableSize || size < 4) return kErrorInvalidData;
  table.resize(size);
  if (!image.ReadRva(data_rva, table.data(), size)) {
    table.clear();
    return kErrorInvalidData;
  }
  return 0;
}

uint32_t FindMessage(std::span<const uint8_t> table, uint32_t id, std::u16string& text) {
  text.clear();
  const uint64_t size = table.size();
  if (size < 4) return kErrorInvalidData;
  const uint64_t blocks = Le32(table.data());
  if (4 + blocks * 12 > size) return kErrorInvalidData;
  for (uint64_t b = 0; b < blocks; ++b) {
    const uint8_t* block = table.data() + 4 + b * 12;
    const uint32_t low = Le32(block);
    const uint32_t high = Le32(block + 4);
    if (id < low || id > high) continue;
    // Entries are variable-length; walk from the block's first id. Every step
    // moves at least 4 bytes forward, so the walk ends within the table.
    uint64_t pos = Le32(block + 8);
    for (uint32_t current = low;; ++current) {
      if (pos + 4 > size) return kErrorInvalidData;
      const uint16_t length = Le16(table.data() + pos);
      if (length < 4 || pos + length > size) return kErrorInvalidData;
      if (current == id) break;
      pos += length;
    }
    const uint8_t* entry = table.data() + pos;
    const uint16_t length = Le16(entry);
    const uint16_t flags = Le16(entry + 2);
    const uint8_t* bytes = entry + 4;
    const size_t count = length - 4u;
    if ((flags & 1u) != 0) {  // UTF-16
      for (size_t i = 0; i + 1 < count; i += 2) {
        const char16_t c = static_cast<char16_t>(Le16(bytes + i));
        if (c == 0) break;
        text.push_back(c);
      }
    } else {
      const char* chars = reinterpret_cast<const char*>(bytes);
      const std::string_view narrow(chars, strnlen(chars, count));
      if (flags == 2) {  // UTF-8
        text = Utf8ToUtf16(narrow);
      } else if (!FromCodePage(narrow, 1252, text)) {
        text = FromAnsi(narrow);
      }
    }
    return 0;
  }
  return kErrorMessageNotFound;
}

uint32_t ApplyEscapes(std::u16string_view text, std::u16string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\r' || c == u'\n') {
      out += u"\r\n";
      if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      continue;
    }
    if (c != u'%') {
      out.push_back(c);
      continue;
    }
    if (i + 1 == text.size()) {
      out.clear();
      return 87;
    }
    const char16_t next = text[++i];
    switch (next) {
      case u'0': return 0;
      case u'n': out += u"\r\n"; break;
      case u'r': out.push_back(u'\r'); break;
      case u't': out.push_back(u'\t'); break;
      default:
        // Inserts and the other escapes stay as written; a line break after
        // the "%" is still a line break of its own.
        out.push_back(u'%');
        if (next == u'\r' || next == u'\n') {
          --i;
        } else {
          out.push_back(next);
        }
        break;
    }
  }
  return 0;
}

namespace {

std::string_view StripBom(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return bytes;
}

bool ParseNumber(std::string_view s, uint32_t& value) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * base + digit;
    if (v > 0xFFFFFFFFu) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool LooksLikePlainTable(std::span<const uint8_t> head) {
  const std::string_view text =
      StripBom(std::string_view(reinterpret_cast<const char*>(head.data()), head.size()));
  return text.substr(0, kPlainSignature.size()) == kPlainSignature;
}

uint32_t ParsePlainTable(std::string_view bytes, std::map<uint32_t, std::u16string>& messages,
                         uint32_t* error_line) {
  messages.clear();
  bytes = StripBom(bytes);
  uint32_t line_number = 0;
  auto fail = [&]() {
    if (error_line != nullptr) *error_line = line_number;
    messages.clear();
    return kErrorInvalidData;
  };
  bool in_message = false;
  uint32_t id = 0;
  std::u16string text;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line_number == 1) {
      if (TrimRight(line) != kPlainSignature) return fail();
      continue;
    }
    if (in_message) {
      if (line == ".") {
        if (!messages.emplace(id, text).second) return fail();
        in_message = false;
      } else {
        text += Utf8ToUtf16(line);
        text += u"\r\n";
      }
      continue;
    }
    const std::string_view trimmed = TrimRight(line);
    if (trimmed.empty() || trimmed.front() == ';') continue;
    constexpr std::string_view kKey = "MessageId=";
    if (trimmed.size() <= kKey.size() ||
        !EqualsNoCase(Utf8ToUtf16(trimmed.substr(0, kKey.size())), Utf8ToUtf16(kKey))) {
      return fail();
    }
    if (!ParseNumber(trimmed.substr(kKey.size()), id)) return fail();
    in_message = true;
    text.clear();
  }
  if (line_number == 0 || in_message) return fail();
  return 0;
}

}  // namespace cvn::platform::msgtable
