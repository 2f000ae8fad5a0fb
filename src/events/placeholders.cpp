#include "events/placeholders.h"

#include <array>
#include <span>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/time_format.h"
#include "events/date_time_format.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/socket.h"

namespace cvn {

enum class CPlaceholderFiller::Field {
  kEventLog,
  kEventType,
  kEventTypeNum,
  kEventId,
  kEventNumber,
  kCategoryId,
  kCategory,
  kSource,
  kUser,
  kComputer,
  kComputerIp,
  kDate,
  kTime,
  kDateTime,
  kDescription,
};

namespace {

using Field = CPlaceholderFiller::Field;

struct Step {
  Field field;
  std::u16string_view placeholder;
};

constexpr Step kEventLog{Field::kEventLog, u"%EVENTLOG%"};
constexpr Step kEventType{Field::kEventType, u"%EVENT_TYPE%"};
constexpr Step kEventTypeNum{Field::kEventTypeNum, u"%EVENT_TYPE_NUM%"};
constexpr Step kEventId{Field::kEventId, u"%EVENT_ID%"};
constexpr Step kEventNumber{Field::kEventNumber, u"%EVENT_NUMBER%"};
constexpr Step kCategoryId{Field::kCategoryId, u"%CATEGORY_ID%"};
constexpr Step kCategory{Field::kCategory, u"%CATEGORY%"};
constexpr Step kSource{Field::kSource, u"%SOURCE%"};
constexpr Step kUser{Field::kUser, u"%USER%"};
constexpr Step kComputer{Field::kComputer, u"%COMPUTER%"};
constexpr Step kComputerIp{Field::kComputerIp, u"%COMPUTER_IP%"};
constexpr Step kDate{Field::kDate, u"%DATE%"};
constexpr Step kTime{Field::kTime, u"%TIME%"};
constexpr Step kDateTime{Field::kDateTime, u"%DATE_TIME%"};
constexpr Step kDescription{Field::kDescription, u"%DESCRIPTION%"};

// The order of replacement of each channel. The order matters: a value holding
// a placeholder of a later step is expanded by that step.
constexpr std::array kSyslogSteps = {kEventLog, kEventId,  kEventNumber, kCategoryId, kSource,
                                     kUser,     kCategory, kComputer,    kComputerIp, kDescription};
constexpr std::array kEmailSteps = {kEventLog, kEventType, kEventId,    kEventNumber, kCategoryId,
                                    kSource,   kUser,      kCategory,   kComputer,    kComputerIp,
                                    kTime,     kDate,      kDescription};
constexpr std::array kDatabaseSteps = {
    kEventLog, kEventType, kEventId,  kEventNumber, kCategoryId, kEventTypeNum, kSource,
    kUser,     kCategory,  kComputer, kComputerIp,  kDateTime,   kDescription};

std::span<const Step> StepsOf(PlaceholderChannel channel) {
  switch (channel) {
    case PlaceholderChannel::kSyslog: return kSyslogSteps;
    case PlaceholderChannel::kEmail: return kEmailSteps;
    case PlaceholderChannel::kDatabase: return kDatabaseSteps;
  }
  return {};
}

std::u16string Decimal(uint32_t n) { return Utf8ToUtf16(std::to_string(n)); }

bool IsTextField(Field field) {
  switch (field) {
    case Field::kEventLog:
    case Field::kEventType:
    case Field::kCategory:
    case Field::kSource:
    case Field::kUser:
    case Field::kComputer:
    case Field::kComputerIp:
    case Field::kDescription: return true;
    default: return false;
  }
}

bool IsNumberField(Field field) {
  switch (field) {
    case Field::kEventTypeNum:
    case Field::kEventId:
    case Field::kEventNumber:
    case Field::kCategoryId: return true;
    default: return false;
  }
}

// The value as it may stand in a quoted SQL literal: each single quote, and
// with backslashes each backslash, written twice.
std::u16string DoubledForLiteral(std::u16string value, bool quotes, bool backslashes) {
  if (quotes) ReplaceAllPlaceholders(value, u"'", u"''");
  if (backslashes) ReplaceAllPlaceholders(value, u"\\", u"\\\\");
  return value;
}

const Step* StepOf(PlaceholderChannel channel, std::u16string_view placeholder) {
  for (const Step& step : StepsOf(channel)) {
    if (step.placeholder == placeholder) return &step;
  }
  return nullptr;
}

// The bare address of a socket address (no port, no brackets): 192.168.1.10
// or fe80::1. Empty when the address cannot be written.
std::string BareAddressText(const platform::SocketAddress& address) {
  const std::string text = address.ToString();
  if (address.family == platform::AddressFamily::kIPv6) {
    if (text.size() < 2 || text.front() != '[') return {};
    const size_t close = text.find(']');
    return close == std::string::npos ? std::string() : text.substr(1, close - 1);
  }
  const size_t colon = text.rfind(':');
  return colon == std::string::npos ? std::string() : text.substr(0, colon);
}

// Where the text holds a '%'. Every placeholder starts with one, so looking
// for a placeholder only at these places is far cheaper than searching the
// whole text once per step; the places change only when a step replaces.
std::vector<size_t> PercentSigns(std::u16string_view text) {
  std::vector<size_t> signs;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%') signs.push_back(i);
  }
  return signs;
}

bool HoldsPlaceholder(std::u16string_view text, const std::vector<size_t>& signs,
                      std::u16string_view placeholder) {
  for (const size_t at : signs) {
    if (text.compare(at, placeholder.size(), placeholder) == 0) return true;
  }
  return false;
}

}  // namespace

std::vector<std::u16string_view> PlaceholdersOf(PlaceholderChannel channel) {
  std::vector<std::u16string_view> out;
  for (const Step& step : StepsOf(channel)) out.push_back(step.placeholder);
  return out;
}

bool IsNumberPlaceholder(std::u16string_view placeholder) {
  // The database channel knows every number placeholder.
  const Step* step = StepOf(PlaceholderChannel::kDatabase, placeholder);
  return step != nullptr && IsNumberField(step->field);
}

void ReplaceAllPlaceholders(std::u16string& text, std::u16string_view placeholder,
                            std::u16string_view value) {
  if (placeholder.empty()) return;
  size_t pos = text.find(placeholder);
  while (pos != std::u16string::npos) {
    text.replace(pos, placeholder.size(), value);
    pos = text.find(placeholder, pos + value.size());
  }
}

CPlaceholderFiller::CPlaceholderFiller(PlaceholderChannel channel, const SEventRecord& record)
    : channel_(channel), record_(record), local_time_(&platform::LocalCalendarTime) {}

void CPlaceholderFiller::SetDateTimeFormats(uint32_t date_format, uint32_t time_format) {
  date_format_ = date_format;
  time_format_ = time_format;
}

std::u16string CPlaceholderFiller::Fill(std::u16string_view text) const {
  std::u16string out(text);
  std::vector<size_t> signs = PercentSigns(out);
  for (const Step& step : StepsOf(channel_)) {
    // Values are computed only for placeholders the text holds at this step:
    // the address costs a name resolution.
    if (!HoldsPlaceholder(out, signs, step.placeholder)) continue;
    std::optional<std::u16string> value = Value(step.field);
    if (!value) continue;  // the placeholder stays as written
    if (channel_ == PlaceholderChannel::kDatabase && IsTextField(step.field)) {
      value = DoubledForLiteral(std::move(*value), double_single_quotes_, double_backslashes_);
    }
    if (escape_html_) value = EscapeHtml(*value);
    ReplaceAllPlaceholders(out, step.placeholder, *value);
    signs = PercentSigns(out);
  }
  return out;
}

std::optional<std::u16string> CPlaceholderFiller::ValueOf(std::u16string_view placeholder) const {
  const Step* step = StepOf(channel_, placeholder);
  if (step == nullptr) return std::nullopt;
  return Value(step->field);
}

std::optional<std::u16string> CPlaceholderFiller::Value(Field field) const {
  const SEventRecord& r = record_;
  switch (field) {
    case Field::kEventLog: return r.logName;
    case Field::kEventType: return std::u16string(EventTypeName(r.eventType));
    case Field::kEventTypeNum: return Decimal(r.eventType);
    case Field::kEventId: return Decimal(DisplayedEventId(r.eventId));
    case Field::kEventNumber: return Decimal(r.recordNumber & 0xFFFFu);
    case Field::kCategoryId: return Decimal(r.category);
    case Field::kCategory: return r.categoryText;
    case Field::kSource: return r.source;
    case Field::kUser: return r.user;
    case Field::kComputer: return r.computer;
    case Field::kComputerIp: return ComputerAddress();
    case Field::kDate: return FormatDate(r.timeGenerated, date_format_);
    case Field::kTime: return FormatTime(r.timeGenerated, time_format_);
    case Field::kDateTime: {
      std::tm local{};
      if (!local_time_(r.timeGenerated, local)) return std::nullopt;
      const auto text = FormatCTime("%Y-%m-%d %H:%M:%S", local);
      if (!text) return std::nullopt;
      return Utf8ToUtf16(*text);
    }
    case Field::kDescription: return r.description;
  }
  return std::nullopt;
}

// The computer's address: the first IPv4 address the name resolves to, else
// its first address. A name that does not resolve shows as the name itself.
// An address that cannot be written shows as "Error:-1" in syslog messages
// and leaves the placeholder in place in the other channels.
std::optional<std::u16string> CPlaceholderFiller::ComputerAddress() const {
  if (address_resolved_) return address_;
  address_resolved_ = true;
  const CComputerAddressCache::Answer answer = CComputerAddressCache::Process().Lookup(
      platform::ToAnsi(record_.computer), platform::TickCount());
  const std::vector<platform::ResolvedAddress>& list = answer.addresses;
  if (answer.result != 0 || list.empty()) {
    address_ = record_.computer;
    return address_;
  }
  const platform::ResolvedAddress* chosen = &list.front();
  for (const auto& entry : list) {
    if (entry.family == platform::AddressFamily::kIPv4) {
      chosen = &entry;
      break;
    }
  }
  const std::string text = BareAddressText(chosen->address);
  if (!text.empty()) {
    address_ = Utf8ToUtf16(text);
  } else if (channel_ == PlaceholderChannel::kSyslog) {
    address_ = u"Error:-1";
  } else {
    address_ = std::nullopt;
  }
  return address_;
}

CComputerAddressCache::Answer CComputerAddressCache::Lookup(const std::string& name,
                                                            uint32_t now_ms) {
  {
    platform::LockGuard guard(lock_);
    const auto it = entries_.find(name);
    // Unsigned difference: right across the wrap of the tick count.
    if (it != entries_.end() && now_ms - it->second.looked_up_at < kReuseMs) {
      return it->second.answer;
    }
  }
  Entry entry;
  entry.looked_up_at = now_ms;
  entry.answer.result = platform::ResolveAddress(name, "", &entry.answer.addresses);
  platform::LockGuard guard(lock_);
  if (entries_.size() >= kMaxNames && entries_.find(name) == entries_.end()) {
    std::erase_if(entries_, [now_ms](const auto& item) {
      return now_ms - item.second.looked_up_at >= kReuseMs;
    });
    if (entries_.size() >= kMaxNames) entries_.clear();
  }
  entries_[name] = entry;
  return entry.answer;
}

void CComputerAddressCache::Clear() {
  platform::LockGuard guard(lock_);
  entries_.clear();
}

CComputerAddressCache& CComputerAddressCache::Process() {
  // Never destroyed: a worker thread may still fill a template while the
  // process exits.
  static CComputerAddressCache* cache = new CComputerAddressCache;
  return *cache;
}

std::u16string FillSyslogFormat(const CCVNSettings& settings, const SEventRecord& record) {
  return CPlaceholderFiller(PlaceholderChannel::kSyslog, record).Fill(settings.Syslog_Format.value);
}

void FillEmailTemplates(const CCVNSettings& settings, const SEventRecord& record,
                        std::u16string* subject, std::u16string* body) {
  CPlaceholderFiller filler(PlaceholderChannel::kEmail, record);
  filler.SetDateTimeFormats(static_cast<uint32_t>(settings.General_DateFormat.value),
                            static_cast<uint32_t>(settings.General_TimeFormat.value));
  if (subject) *subject = filler.Fill(settings.Email_Subject.value);
  filler.SetEscapeHtml(settings.Email_Format.value != 0);
  if (body) *body = filler.Fill(settings.Email_Tempate.value);
}

std::u16string FillDbCommand(const CCVNSettings& settings, const SEventRecord& record) {
  return CPlaceholderFiller(PlaceholderChannel::kDatabase, record).Fill(settings.DB_Command.value);
}

}  // namespace cvn
