// Filter rules: a rule is a conjunction of optional criteria on the fields of
// an event record; a channel has an ordered permit list and deny list of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/xml_document.h"
#include "events/event_record.h"

namespace cvn {

struct FilterRule {
  // A criterion on a text field: Method 0 equal, 1 not equal, compared
  // without regard to case.
  struct TextCriterion {
    bool Active = false;
    int32_t Method = 0;
    std::u16string Content;
    bool operator==(const TextCriterion&) const = default;
  };
  struct TypeCriterion {
    bool Active = false;
    int32_t Value = 31;  // mask of the accepted types; 31 accepts every type
    bool operator==(const TypeCriterion&) const = default;
  };
  struct IdCriterion {
    bool Active = false;
    // 0 equal, 1 not equal, 2 less than, 3 greater than, 4 in range
    int32_t Method = 0;
    // For the range: low 16 bits the lower bound, high 16 bits the upper bound.
    int32_t Value = 0;
    bool operator==(const IdCriterion&) const = default;
  };
  struct DescriptionCriterion {
    bool Active = false;
    // 0 equal, 1 not equal, 2 contains, 3 doesn't contain, 4 begins with
    int32_t Method = 0;
    std::u16string Content;
    int32_t Case = 0;  // 0 case-sensitive, 1 case-insensitive
    bool operator==(const DescriptionCriterion&) const = default;
  };

  std::u16string Name;  // the user's label
  bool Active = false;
  TextCriterion EventLog;
  TextCriterion Source;
  TypeCriterion EventType;
  TextCriterion Category;
  TextCriterion User;
  IdCriterion EventID;
  DescriptionCriterion Description;

  bool IsEqual(const FilterRule& other) const { return *this == other; }
  bool operator==(const FilterRule&) const = default;

  // Adds the rule's children to an empty FilterRule element. Groups whose
  // fields are all at their defaults are left out (a Description whose only
  // non-default field is Case is left out too).
  void Write(XmlNode& element) const;
  // Fills a freshly constructed rule; missing children keep their defaults,
  // methods and case flags are clamped into their ranges. Always true.
  bool Read(const XmlNode& element);

  // True when the rule has an active criterion and every active criterion
  // holds for the record.
  bool Matches(const SEventRecord& record) const;
};

using FilterList = std::vector<FilterRule>;

// The permit list passes a record when one of its active rules matches (or it
// has no active rule); then the first active deny rule that matches rejects it.
bool PassesFilters(const SEventRecord& record, const FilterList& permit, const FilterList& deny);

}  // namespace cvn
