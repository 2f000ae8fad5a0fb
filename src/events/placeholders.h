// Placeholders: the words between two percent signs ("%SOURCE%", "%EVENT_ID%",
// ...) through which the syslog, e-mail and database channels turn an event
// record into text. Each channel knows its own set, replaces them in its own
// order and formats a few values its own way; a placeholder a channel does not
// know stays in its output as written.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/cvn_settings.h"
#include "events/event_record.h"
#include "platform/socket.h"
#include "platform/sync.h"

namespace cvn {

enum class PlaceholderChannel { kSyslog, kEmail, kDatabase };

// Local calendar time of a time stamp; false when it does not convert.
using LocalTimeFunction = bool (*)(int64_t time, std::tm& out);

// Fills templates for one record and one channel. Each placeholder is replaced
// in turn, in the channel's order, every occurrence left to right in the text
// as the steps before left it, so a value holding a placeholder of a later
// step is expanded again while one of an earlier step stays as text.
// "%DESCRIPTION%" is always the last step: a description is never scanned.
//
// The computer's address ("%COMPUTER_IP%") is taken at most once per filler
// and only when a text to fill still holds the placeholder at its step; the
// e-mail channel fills its subject and body with one filler, so both show the
// same values. The name look-up behind it is shared by all fillers of the
// process and repeated at most once a minute per computer name
// (CComputerAddressCache), since fillers run on the reading thread.
class CPlaceholderFiller {
 public:
  CPlaceholderFiller(PlaceholderChannel channel, const SEventRecord& record);

  // E-mail: General/DateFormat and General/TimeFormat for "%DATE%" and
  // "%TIME%" (both 0 unless set).
  void SetDateTimeFormats(uint32_t date_format, uint32_t time_format);

  // Database: every text value (names, user, computer, address, description)
  // is inserted with its single quotes doubled, so a value cannot end the SQL
  // string literal the template puts it in. On by default; a value without
  // quotes is inserted unchanged either way.
  void SetDoubleSingleQuotes(bool on) { double_single_quotes_ = on; }
  // Database: text values also have their backslashes doubled, for a
  // database that reads a backslash in a string literal as an escape (MySQL,
  // PostgreSQL with standard_conforming_strings off), where a value ending
  // in a backslash would otherwise escape the quote after it. Off by default.
  void SetDoubleBackslashes(bool on) { double_backslashes_ = on; }

  // E-mail in HTML: every value is inserted with its markup characters as
  // character references (EscapeHtml), so that event text shows as text and
  // never as markup; the template itself is left as written. Off by default.
  void SetEscapeHtml(bool on) { escape_html_ = on; }

  // The local-time conversion of "%DATE_TIME%" (tests replace it).
  void SetLocalTimeFunction(LocalTimeFunction local_time) { local_time_ = local_time; }

  std::u16string Fill(std::u16string_view text) const;

  // The channel's value of one placeholder, as it is (no escaping, no
  // further substitution); nothing when the channel does not know the
  // placeholder or cannot make its value (Fill then leaves it as written).
  std::optional<std::u16string> ValueOf(std::u16string_view placeholder) const;

  enum class Field;  // the record fields the placeholders stand for

 private:
  std::optional<std::u16string> Value(Field field) const;
  std::optional<std::u16string> ComputerAddress() const;

  PlaceholderChannel channel_;
  const SEventRecord& record_;
  uint32_t date_format_ = 0;
  uint32_t time_format_ = 0;
  bool double_single_quotes_ = true;
  bool double_backslashes_ = false;
  bool escape_html_ = false;
  LocalTimeFunction local_time_;
  mutable bool address_resolved_ = false;
  mutable std::optional<std::u16string> address_;
};

// The answers of computer name look-ups, each reused for kReuseMs. Safe for
// any number of threads; a look-up runs outside the lock.
class CComputerAddressCache {
 public:
  static constexpr uint32_t kReuseMs = 60000;
  // Names kept at most; beyond that, expired answers are dropped first, then all.
  static constexpr size_t kMaxNames = 64;

  struct Answer {
    uint32_t result = 0;  // the resolver's result, 0 on success
    std::vector<platform::ResolvedAddress> addresses;
  };

  // The answer for name: the one kept when it is younger than kReuseMs at
  // now_ms (a millisecond tick count), else a fresh look-up, then kept.
  Answer Lookup(const std::string& name, uint32_t now_ms);
  void Clear();

  // The cache every filler uses.
  static CComputerAddressCache& Process();

 private:
  struct Entry {
    Answer answer;
    uint32_t looked_up_at = 0;
  };
  platform::Lock lock_;
  std::map<std::string, Entry> entries_;  // guarded by lock_
};

// The placeholders a channel knows, in its order of replacement.
std::vector<std::u16string_view> PlaceholdersOf(PlaceholderChannel channel);
// Whether a placeholder's value is a number written in decimal
// ("%EVENT_ID%", "%EVENT_NUMBER%", "%CATEGORY_ID%", "%EVENT_TYPE_NUM%").
bool IsNumberPlaceholder(std::u16string_view placeholder);

// Replaces every occurrence of placeholder in text by value, left to right,
// going on after each inserted value (which is therefore never rescanned).
void ReplaceAllPlaceholders(std::u16string& text, std::u16string_view placeholder,
                            std::u16string_view value);

// The channels' templates filled with the current settings. The e-mail body
// of Email/Format HTML (not 0) gets its values escaped; the subject, a header
// line, never does.
std::u16string FillSyslogFormat(const CCVNSettings& settings, const SEventRecord& record);
void FillEmailTemplates(const CCVNSettings& settings, const SEventRecord& record,
                        std::u16string* subject, std::u16string* body);
std::u16string FillDbCommand(const CCVNSettings& settings, const SEventRecord& record);

}  // namespace cvn
