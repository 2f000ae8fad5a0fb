#include "events/message_renderer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "base/text.h"
#include "platform/accounts.h"
#include "platform/message_module.h"
#include "platform/registry.h"

namespace cvn {

namespace {

// Offsets in the fixed part of a raw record (the platform's EVENTLOGRECORD).
constexpr uint32_t kOffLength = 0;
constexpr uint32_t kOffRecordNumber = 8;
constexpr uint32_t kOffTimeGenerated = 12;
constexpr uint32_t kOffTimeWritten = 16;
constexpr uint32_t kOffEventId = 20;
constexpr uint32_t kOffEventType = 24;
constexpr uint32_t kOffNumStrings = 26;
constexpr uint32_t kOffEventCategory = 28;
constexpr uint32_t kOffStringOffset = 36;
constexpr uint32_t kOffUserSidLength = 40;
constexpr uint32_t kOffUserSidOffset = 44;
constexpr uint32_t kOffDataOffset = 52;
constexpr uint32_t kFixedSize = 56;

constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;

constexpr std::u16string_view kEventLogKeyPrefix =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
constexpr std::u16string_view kEventMessageFile = u"EventMessageFile";

// Publishers whose classic event ids are their message ids minus 0x50000000.
constexpr std::u16string_view kShiftedPublishers[] = {
    u"Microsoft-Windows-RestartManager",
    u"Microsoft-Windows-Security-Auditing",
    u"Microsoft-Windows-CertificateServicesClient",
};
constexpr uint32_t kPublisherIdShift = 0xB0000000u;

uint16_t Le16(std::span<const uint8_t> raw, size_t offset) {
  return static_cast<uint16_t>(raw[offset] | (raw[offset + 1] << 8));
}

uint32_t Le32(std::span<const uint8_t> raw, size_t offset) {
  return static_cast<uint32_t>(raw[offset]) | (static_cast<uint32_t>(raw[offset + 1]) << 8) |
         (static_cast<uint32_t>(raw[offset + 2]) << 16) |
         (static_cast<uint32_t>(raw[offset + 3]) << 24);
}

// The UTF-16 string at offset, ending at its NUL; false when no NUL lies
// before end (the NUL's bytes must both be before end).
bool ReadWideString(std::span<const uint8_t> raw, uint64_t offset, uint64_t end,
                    std::u16string& out) {
  out.clear();
  for (uint64_t pos = offset; pos + 2 <= end; pos += 2) {
    const char16_t c = static_cast<char16_t>(Le16(raw, static_cast<size_t>(pos)));
    if (c == 0) return true;
    out.push_back(c);
  }
  out.clear();
  return false;
}

// The EventMessageFile value of the key parent\name: REG_SZ as it is,
// REG_EXPAND_SZ expanded; empty for any other type or failure.
std::u16string ReadMessageFileValue(const platform::RegistryKey& parent, std::u16string_view name) {
  platform::RegistryKey key;
  if (key.Open(parent, name) != 0) return {};
  platform::RegistryValue value;
  if (key.QueryValue(kEventMessageFile, value) != 0) return {};
  switch (value.type) {
    case platform::RegistryType::kString: return value.text;
    case platform::RegistryType::kExpandString: return platform::ExpandEnvironmentText(value.text);
    default: return {};
  }
}

bool IsSidShaped(std::u16string_view s) {
  if (s.size() < 2 || s[0] != u'S' || s[1] != u'-') return false;
  for (size_t i = 2; i < s.size(); ++i) {
    if ((s[i] < u'0' || s[i] > u'9') && s[i] != u'-') return false;
  }
  return true;
}

// "DOMAIN\name" (or "name" when the domain is empty) of a SID string; false
// when it does not convert or names no account.
bool SidStringToAccount(std::u16string_view s, std::u16string& text) {
  platform::SidBytes sid;
  if (!platform::StringToSid(s, sid)) return false;
  platform::Account account;
  if (platform::LookupAccountSid(sid, account) != 0) return false;
  text = account.domain.empty() ? account.name : account.domain + u"\\" + account.name;
  return true;
}

// The number of a parameter reference "%%<digits>"; 0 when s is none.
uint32_t ParameterReference(std::u16string_view s) {
  if (s.size() <= 2 || s[0] != u'%' || s[1] != u'%') return 0;
  uint64_t value = 0;
  for (size_t i = 2; i < s.size(); ++i) {
    if (s[i] < u'0' || s[i] > u'9') return 0;
    value = value * 10 + (s[i] - u'0');
    // A number beyond 32 bits names no message.
    if (value > 0xFFFFFFFFu) return 0;
  }
  return static_cast<uint32_t>(value);
}

// Appends as much of text as fits below the description bound; a surrogate
// pair is never split.
void AppendBounded(std::u16string& out, std::u16string_view text) {
  const size_t room = CMessageRenderer::kMaxDescriptionLength -
                      std::min(out.size(), CMessageRenderer::kMaxDescriptionLength);
  if (text.size() > room) {
    text = text.substr(0, room);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.remove_suffix(1);
  }
  out.append(text);
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The insertion string index that "%<digits>" at text[at] names, with the
// length of its digits: the longest leading digit run whose number lies in
// 1..count, so "%10" names string 10 when there are ten strings and string 1
// (followed by "0") when there are fewer. {0, 0} when it names none.
std::pair<size_t, size_t> InsertIndexAt(std::u16string_view text, size_t at, size_t count) {
  size_t end = at + 1;
  // Counts fit in 16 bits: more than five digits never name a string.
  while (end < text.size() && end - (at + 1) < 5 && IsDigit(text[end])) ++end;
  if (end == at + 1 || text[at + 1] == u'0') return {0, 0};
  for (size_t length = end - (at + 1); length >= 1; --length) {
    size_t value = 0;
    for (size_t i = at + 1; i < at + 1 + length; ++i) value = value * 10 + (text[i] - u'0');
    if (value >= 1 && value <= count) return {value, length};
  }
  return {0, 0};
}

std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

std::vector<std::u16string> ReadInsertionStrings(std::span<const uint8_t> raw, uint32_t length) {
  std::vector<std::u16string> strings;
  if (length < kFixedSize || length > raw.size()) return strings;
  const uint32_t count = Le16(raw, kOffNumStrings);
  const uint32_t data_offset = Le32(raw, kOffDataOffset);
  // The strings end where the data begins, or before the closing copy of
  // Length when there is no data.
  const uint64_t limit = (data_offset != 0 && data_offset <= length - 4) ? data_offset : length - 4;
  uint64_t pos = Le32(raw, kOffStringOffset);
  std::u16string s;
  for (uint32_t i = 0; i < count; ++i) {
    if (!ReadWideString(raw, pos, limit, s)) break;
    pos += 2 * (s.size() + 1);
    strings.push_back(s);
  }
  return strings;
}

CMessageRenderer::CMessageRenderer()
    : publisher_metadata_(std::make_unique<platform::PublisherMetadata>()) {
  if (publisher_metadata_->Available()) {
    const platform::PublisherMetadata* metadata = publisher_metadata_.get();
    publisher_ = [metadata](std::u16string_view publisher, uint32_t id) {
      return metadata->FormatMessageId(publisher, id);
    };
  }
}

CMessageRenderer::CMessageRenderer(PublisherFormatter publisher)
    : publisher_(std::move(publisher)) {}

CMessageRenderer::~CMessageRenderer() = default;

int CMessageRenderer::BuildEventRecord(SEventRecord& record, std::span<const uint8_t> raw,
                                       std::u16string_view log_name) {
  record.logName = log_name;
  // The fixed part must be there before anything is read from it.
  if (raw.size() < kFixedSize) return -1;
  record.recordNumber = Le32(raw, kOffRecordNumber);
  record.timeGenerated = Le32(raw, kOffTimeGenerated);
  record.timeWritten = Le32(raw, kOffTimeWritten);
  record.eventId = Le32(raw, kOffEventId);
  record.category = Le16(raw, kOffEventCategory);
  record.eventType = NormalizeEventType(Le16(raw, kOffEventType));

  const uint32_t length = Le32(raw, kOffLength);
  if (length < kFixedSize) return -1;
  // A record that claims more bytes than were read would send every later
  // offset check past the buffer.
  if (length > raw.size()) return -1;

  if (!ReadWideString(raw, kFixedSize, length, record.source)) return -1;
  const uint64_t s = 2 * record.source.size();
  const uint64_t computer_offset = kFixedSize + s + 2;
  if (computer_offset > length) return -1;
  if (!ReadWideString(raw, computer_offset, length, record.computer)) return -1;
  const uint64_t c = 2 * record.computer.size();
  if (60 + s + c > length) return -1;

  // The user: the account name alone; the lookup failing is not an error.
  const uint64_t sid_length = Le32(raw, kOffUserSidLength);
  const uint64_t sid_offset = Le32(raw, kOffUserSidOffset);
  if (sid_length != 0 && sid_offset + sid_length <= length) {
    platform::Account account;
    if (platform::LookupAccountSid(
            raw.subspan(static_cast<size_t>(sid_offset), static_cast<size_t>(sid_length)),
            account) == 0 &&
        !account.name.empty()) {
      record.user = account.name;
    }
  }

  RenderDescription(record, raw, length);
  return 0;
}

void CMessageRenderer::RenderDescription(SEventRecord& record, std::span<const uint8_t> raw,
                                         uint32_t length) {
  std::u16string& description = record.description;
  description.clear();
  std::u16string module;
  const std::u16string files = LookupMessageFiles(record.logName, record.source);
  if (!files.empty()) {
    size_t start = 0;
    while (start <= files.size()) {
      size_t end = files.find(u';', start);
      if (end == std::u16string::npos) end = files.size();
      const std::u16string token = files.substr(start, end - start);
      start = end + 1;
      if (token.empty()) continue;
      description = FormatModuleMessage(token, record.eventId);
      if (!description.empty()) {
        module = token;
        break;
      }
    }
  } else if (publisher_) {
    uint32_t id = record.eventId;
    for (std::u16string_view shifted : kShiftedPublishers) {
      if (record.source == shifted) id = record.eventId + kPublisherIdShift;
    }
    description = publisher_(record.source, id);
  }

  const std::vector<std::u16string> strings = ReadInsertionStrings(raw, length);
  if (!description.empty()) {
    description = Substitute(description, strings, module);
  } else {
    AppendBounded(description, u"[The description for EventID " +
                                   Ascii(std::to_string(static_cast<int32_t>(record.eventId))) +
                                   u" cannot be found.]");
    for (size_t i = 0; i < strings.size() && description.size() < kMaxDescriptionLength; ++i) {
      AppendBounded(description, u", Attachment(" + Ascii(std::to_string(i + 1)) + u"): ");
      AppendBounded(description, strings[i]);
    }
  }
}

std::u16string CMessageRenderer::Substitute(std::u16string_view text,
                                            const std::vector<std::u16string>& strings,
                                            std::u16string_view module) {
  // Each string is converted once, when first referenced: a SID becomes its
  // account name, "%%<number>" the module's message of that number.
  std::vector<std::optional<std::u16string>> converted(strings.size());
  auto insert = [&](size_t index) -> const std::u16string& {
    std::optional<std::u16string>& slot = converted[index - 1];
    if (!slot) {
      std::u16string s = strings[index - 1];
      if (IsSidShaped(s)) {
        std::u16string account;
        if (SidStringToAccount(s, account)) s = account;
      }
      if (const uint32_t reference = ParameterReference(s); reference != 0) {
        std::u16string parameter = FormatModuleMessage(module, reference);
        if (!parameter.empty()) s = std::move(parameter);
      }
      slot = std::move(s);
    }
    return *slot;
  };

  // One pass over the message text: inserted strings are copied, never
  // scanned again, so a string holding "%1" stays as written and the output
  // grows at most by the strings' own length per reference, up to the bound.
  std::u16string out;
  out.reserve(std::min(text.size(), kMaxDescriptionLength));
  size_t pos = 0;
  while (pos < text.size() && out.size() < kMaxDescriptionLength) {
    const size_t percent = text.find(u'%', pos);
    if (percent == std::u16string_view::npos) {
      AppendBounded(out, text.substr(pos));
      break;
    }
    AppendBounded(out, text.substr(pos, percent - pos));
    const auto [index, digits] = InsertIndexAt(text, percent, strings.size());
    if (index == 0) {
      AppendBounded(out, u"%");
      pos = percent + 1;
    } else {
      AppendBounded(out, insert(index));
      pos = percent + 1 + digits;
    }
  }
  return out;
}

std::u16string CMessageRenderer::LookupMessageFiles(std::u16string_view log_name,
                                                    std::u16string_view source) {
  const std::u16string key = AsciiLower(std::u16string(log_name) + std::u16string(source));
  platform::LockGuard guard(cache_lock_);
  if (const auto it = message_files_.find(key); it != message_files_.end()) return it->second;

  platform::RegistryKey log_key;
  if (log_key.Open(platform::RegistryRoot::kLocalMachine,
                   std::u16string(kEventLogKeyPrefix) + std::u16string(log_name)) != 0) {
    return {};
  }
  // Sources without a message file of their own use the one of the source
  // named like the log.
  const std::u16string fallback = ReadMessageFileValue(log_key, log_name);
  std::u16string name;
  for (uint32_t index = 0;; ++index) {
    const uint32_t error = log_key.EnumSubkey(index, name);
    if (error == kErrorNoMoreItems) break;
    // A name too long for the enumeration is skipped; any other failure (the
    // key deleted meanwhile) ends it, since every later index would fail too.
    if (error == kErrorMoreData) continue;
    if (error != 0) break;
    std::u16string files = ReadMessageFileValue(log_key, name);
    message_files_[AsciiLower(std::u16string(log_name) + name)] =
        files.empty() ? fallback : std::move(files);
  }
  const auto it = message_files_.find(key);
  return it != message_files_.end() ? it->second : std::u16string();
}

std::u16string CMessageRenderer::FormatModuleMessage(std::u16string_view module_path, uint32_t id) {
  if (module_path.empty()) return {};
  std::u16string text = platform::FormatMessageFromFile(module_path, id);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) text.pop_back();
  return text;
}

void CMessageRenderer::ClearCaches() {
  platform::LockGuard guard(cache_lock_);
  message_files_.clear();
}

}  // namespace cvn
