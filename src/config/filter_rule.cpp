#include "config/filter_rule.h"

#include <algorithm>

#include "base/text.h"

namespace cvn {

namespace {

int32_t Clamp(int32_t value, int32_t maximum) { return std::clamp(value, 0, maximum); }

void WriteText(XmlNode& rule, const char16_t* group, const FilterRule::TextCriterion& c) {
  if (!c.Active && c.Method == 0 && c.Content.empty()) return;
  XmlNode& element = rule.AddChild(group);
  element.AddChild(u"Active").SetTextBool(c.Active);
  element.AddChild(u"Method").SetTextInt(c.Method);
  element.AddChild(u"Content").SetAttribute(u"text", c.Content);
}

void ReadActive(const XmlNode& group, bool& active) {
  const XmlNode& child = group.FindChild(u"Active");
  if (child.IsValid()) active = child.GetTextBool();
}

void ReadInt(const XmlNode& group, const char16_t* name, int32_t& value) {
  const XmlNode& child = group.FindChild(name);
  if (child.IsValid()) value = child.GetTextInt();
}

void ReadContent(const XmlNode& group, std::u16string& content) {
  const XmlNode& child = group.FindChild(u"Content");
  if (child.IsValid()) content = child.GetAttribute(u"text");
}

void ReadText(const XmlNode& rule, const char16_t* name, FilterRule::TextCriterion& c) {
  const XmlNode& group = rule.FindChild(name);
  if (!group.IsValid()) return;
  ReadActive(group, c.Active);
  ReadInt(group, u"Method", c.Method);
  c.Method = Clamp(c.Method, 1);
  ReadContent(group, c.Content);
}

// Method 0 requires equality ignoring case, every other method inequality.
bool TextHolds(const FilterRule::TextCriterion& c, const std::u16string& field) {
  const bool equal = EqualsNoCase(c.Content, field);
  return c.Method == 0 ? equal : !equal;
}

bool BeginsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

bool DescriptionHolds(const FilterRule::DescriptionCriterion& c, const std::u16string& text) {
  if (c.Method < 0 || c.Method > 4) return true;
  if (c.Case == 0) {
    switch (c.Method) {
      case 0: return text == c.Content;
      case 1: return text != c.Content;
      case 2: return text.find(c.Content) != std::u16string::npos;
      case 3: return text.find(c.Content) == std::u16string::npos;
      default: return BeginsWith(text, c.Content);
    }
  }
  switch (c.Method) {
    case 0: return EqualsNoCase(text, c.Content);
    case 1: return !EqualsNoCase(text, c.Content);
    case 4:
      return text.size() >= c.Content.size() &&
             EqualsNoCase(std::u16string_view(text).substr(0, c.Content.size()), c.Content);
    default: {
      const bool found = AsciiLower(text).find(AsciiLower(c.Content)) != std::u16string::npos;
      return c.Method == 2 ? found : !found;
    }
  }
}

bool IdHolds(const FilterRule::IdCriterion& c, uint32_t event_id) {
  const uint32_t id = event_id & 0xFFFFu;
  const uint32_t value = static_cast<uint32_t>(c.Value);
  const uint32_t low = value & 0xFFFFu;
  switch (c.Method) {
    case 0: return id == low;
    case 1: return id != low;
    case 2: return id < low;
    case 3: return id > low;
    case 4: return low <= id && id <= (value >> 16);
    default: return true;
  }
}

}  // namespace

void FilterRule::Write(XmlNode& element) const {
  element.AddChild(u"Name").SetAttribute(u"text", Name);
  element.AddChild(u"Active").SetTextBool(Active);
  if (EventType.Active || EventType.Value != 31) {
    XmlNode& group = element.AddChild(u"EventType");
    group.AddChild(u"Active").SetTextBool(EventType.Active);
    group.AddChild(u"Value").SetTextInt(EventType.Value);
  }
  WriteText(element, u"EventLog", EventLog);
  WriteText(element, u"Source", Source);
  WriteText(element, u"Category", Category);
  WriteText(element, u"User", User);
  if (EventID.Active || EventID.Method != 0 || EventID.Value != 0) {
    XmlNode& group = element.AddChild(u"EventID");
    group.AddChild(u"Active").SetTextBool(EventID.Active);
    group.AddChild(u"Method").SetTextInt(EventID.Method);
    group.AddChild(u"Value").SetTextInt(EventID.Value);
  }
  if (Description.Active || Description.Method != 0 || !Description.Content.empty()) {
    XmlNode& group = element.AddChild(u"Description");
    group.AddChild(u"Active").SetTextBool(Description.Active);
    group.AddChild(u"Method").SetTextInt(Description.Method);
    group.AddChild(u"Case").SetTextInt(Description.Case);
    group.AddChild(u"Content").SetAttribute(u"text", Description.Content);
  }
}

bool FilterRule::Read(const XmlNode& element) {
  const XmlNode& name = element.FindChild(u"Name");
  if (name.IsValid()) Name = name.GetAttribute(u"text");
  ReadActive(element, Active);

  if (const XmlNode& group = element.FindChild(u"EventType"); group.IsValid()) {
    ReadActive(group, EventType.Active);
    ReadInt(group, u"Value", EventType.Value);
  }
  ReadText(element, u"EventLog", EventLog);
  ReadText(element, u"Source", Source);
  ReadText(element, u"Category", Category);
  ReadText(element, u"User", User);
  if (const XmlNode& group = element.FindChild(u"EventID"); group.IsValid()) {
    ReadActive(group, EventID.Active);
    ReadInt(group, u"Method", EventID.Method);
    EventID.Method = Clamp(EventID.Method, 4);
    ReadInt(group, u"Value", EventID.Value);
  }
  if (const XmlNode& group = element.FindChild(u"Description"); group.IsValid()) {
    ReadActive(group, Description.Active);
    ReadInt(group, u"Method", Description.Method);
    Description.Method = Clamp(Description.Method, 4);
    ReadInt(group, u"Case", Description.Case);
    Description.Case = Clamp(Description.Case, 1);
    ReadContent(group, Description.Content);
  }
  return true;
}

bool FilterRule::Matches(const SEventRecord& record) const {
  if (!EventType.Active && !EventLog.Active && !Source.Active && !Category.Active &&
      !EventID.Active && !User.Active && !Description.Active) {
    return false;
  }
  if (EventType.Active && EventType.Value != 31 &&
      (static_cast<int32_t>(record.eventType) & EventType.Value) == 0) {
    return false;
  }
  if (EventLog.Active && !TextHolds(EventLog, record.logName)) return false;
  if (Source.Active && !TextHolds(Source, record.source)) return false;
  if (Category.Active && !TextHolds(Category, record.categoryText)) return false;
  if (EventID.Active && !IdHolds(EventID, record.eventId)) return false;
  if (User.Active && !TextHolds(User, record.user)) return false;
  if (Description.Active && !DescriptionHolds(Description, record.description)) return false;
  return true;
}

bool PassesFilters(const SEventRecord& record, const FilterList& permit, const FilterList& deny) {
  bool seen_active = false;
  bool permitted = false;
  for (const FilterRule& rule : permit) {
    if (!rule.Active) continue;
    seen_active = true;
    if (rule.Matches(record)) {
      permitted = true;
      break;
    }
  }
  if (seen_active && !permitted) return false;
  for (const FilterRule& rule : deny) {
    if (rule.Active && rule.Matches(record)) return false;
  }
  return true;
}

}  // namespace cvn
