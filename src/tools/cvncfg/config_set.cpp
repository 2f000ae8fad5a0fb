#include "tools/cvncfg/config_set.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/text.h"
#include "config/cvn_settings.h"
#include "platform/file.h"

namespace cvn {
namespace {

std::u16string Number(int64_t value) { return Utf8ToUtf16(std::to_string(value)); }

// A decimal or 0x hexadecimal number with an optional "-"; false when the
// text is anything else or the magnitude exceeds 32 bits.
bool ParseInt(std::u16string_view text, int64_t& value) {
  bool negative = false;
  if (!text.empty() && text[0] == u'-') {
    negative = true;
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  int64_t magnitude = 0;
  for (char16_t c : text) {
    int digit = -1;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    if (base == 16 && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    if (base == 16 && c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    if (digit < 0) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > 0xFFFFFFFFll) return false;
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

bool ParseBool(std::u16string_view text, bool& value) {
  for (const char16_t* yes : {u"1", u"true", u"yes", u"on"}) {
    if (EqualsNoCase(text, yes)) return value = true;
  }
  for (const char16_t* no : {u"0", u"false", u"no", u"off"}) {
    if (EqualsNoCase(text, no)) return !(value = false);
  }
  return false;
}

// Items separated by ",", blanks around each dropped, empty items skipped.
std::vector<std::u16string> SplitList(std::u16string_view text) {
  std::vector<std::u16string> items;
  while (true) {
    const size_t comma = text.find(u',');
    std::u16string_view item = text.substr(0, comma);
    while (!item.empty() && (item.front() == u' ' || item.front() == u'\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == u' ' || item.back() == u'\t')) item.remove_suffix(1);
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::u16string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

// Puts the text form of value into var; false with the reason otherwise.
bool AssignValue(CSTSettings::Var_t& var, std::u16string_view key, std::u16string_view value,
                 std::u16string& error) {
  const std::u16string quoted = u"\"" + std::u16string(value) + u"\"";
  if (auto* v = dynamic_cast<CSTSettings::VarInt_t*>(&var)) {
    const int64_t low = v->HasRange() ? v->minimum : std::numeric_limits<int32_t>::min();
    const int64_t high = v->HasRange() ? v->maximum : std::numeric_limits<int32_t>::max();
    int64_t number = 0;
    if (!ParseInt(value, number) || number < low || number > high) {
      error = std::u16string(key) + u" takes a whole number from " + Number(low) + u" to " +
              Number(high) + u", not " + quoted;
      return false;
    }
    v->value = static_cast<int32_t>(number);
  } else if (auto* v = dynamic_cast<CSTSettings::VarBool_t*>(&var)) {
    if (!ParseBool(value, v->value)) {
      error = std::u16string(key) + u" takes 1 or 0 (or true/false, yes/no, on/off), not " + quoted;
      return false;
    }
  } else if (auto* v = dynamic_cast<CSTSettings::VarStr_t*>(&var)) {
    v->value = value;
  } else if (auto* v = dynamic_cast<CSTSettings::VarStrList_t*>(&var)) {
    v->items = SplitList(value);
  } else {
    error = std::u16string(key) + u" is a filter list, which cvncfg does not set";
    return false;
  }
  return true;
}

}  // namespace

std::u16string FileErrorText(uint32_t error) {
  switch (error) {
    case 2: return u"the file does not exist";
    case 3: return u"the folder does not exist";
    case 5: return u"access is denied";
    case 14: return u"the file is too large";
    case 32: return u"the file is in use";
    default: return u"Windows error " + Number(error);
  }
}

bool SetConfigValue(std::u16string_view path, std::u16string_view key, std::u16string_view value,
                    std::u16string& error, bool only_given) {
  const size_t slash = key.find(u'/');
  if (slash == std::u16string_view::npos) {
    error =
        std::u16string(key) + u" is not a key; write it as Section/Key, for example Syslog/Port";
    return false;
  }
  CCVNSettings settings;
  CSTSettings::Var_t* var = nullptr;
  for (CSTSettings::Var_t* candidate : settings.Variables()) {
    if (candidate->section != nullptr && EqualsNoCase(key.substr(0, slash), candidate->section) &&
        EqualsNoCase(key.substr(slash + 1), candidate->name)) {
      var = candidate;
    }
  }
  if (var == nullptr) {
    error = std::u16string(key) + u" is not a key of the configuration (cvncfg dump lists them)";
    return false;
  }
  const std::u16string name = std::u16string(var->section) + u"/" + var->name;
  if (!AssignValue(*var, name, value, error)) return false;

  XmlDocument document(u"Corvane");
  const int32_t loaded = document.Load(path);
  const bool create = loaded == 2 || loaded == 3;
  if (create) {
    document = only_given ? XmlDocument(u"Corvane") : CCVNSettings().ToDocument();
    const size_t cut = path.find_last_of(u"/\\");
    if (cut != std::u16string_view::npos && cut != 0) {
      platform::CreateFolderTree(path.substr(0, cut));
    }
  } else if (loaded == -1) {
    error = std::u16string(path) +
            u" is not a valid configuration file (cvncfg dump tells why); it was left as it is";
    return false;
  } else if (loaded != 0) {
    error = u"cannot read " + std::u16string(path) + u": " +
            FileErrorText(static_cast<uint32_t>(loaded));
    return false;
  }

  // Only the key's element is replaced, so every other element of the file,
  // foreign ones included, stays as it was.
  XmlNode* section = &document.FindChild(var->section);
  if (!section->IsValid()) section = &document.AddChild(var->section);
  XmlNode* element = &section->FindChild(var->name);
  if (!element->IsValid()) element = &section->AddChild(var->name);
  *element = XmlNode(var->name);
  var->WriteValue(*element);

  const int32_t saved = document.Save(path);
  if (saved != 0) {
    error = u"cannot write " + std::u16string(path) + u": " +
            FileErrorText(static_cast<uint32_t>(saved));
    return false;
  }
  return true;
}

}  // namespace cvn
