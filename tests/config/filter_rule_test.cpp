// Filter rules: reading with clamps, the conditional XML groups, matching of
// one rule and the permit/deny combination.
#include "config/filter_rule.h"

#include <gtest/gtest.h>

#include "config/cvn_settings.h"
#include "xml_test_util.h"

namespace cvn {
namespace {

FilterRule ReadRule(std::u16string_view inner) {
  XmlDocument document(u"Corvane");
  EXPECT_EQ(testing::ParseBody(document, u"<Corvane><FilterRule>" + std::u16string(inner) +
                                             u"</FilterRule></Corvane>"),
            0);
  document.BuildIndex();
  FilterRule rule;
  EXPECT_TRUE(rule.Read(document.FindChild(u"FilterRule")));
  return rule;
}

SEventRecord Record() {
  SEventRecord r;
  r.eventId = 100;
  r.eventType = kEventTypeWarning;
  r.source = u"Service Control Manager";
  r.user = u"SYSTEM";
  r.description = u"The Print Spooler service entered the running state.";
  r.logName = u"Application";
  return r;
}

TEST(FilterRead, ClampsMethodsAndCaseAndKeepsDefaultsOfMissingChildren) {
  const FilterRule rule = ReadRule(
      u"<Name text=\"n\" /><Active>1</Active>"
      u"<Source><Active>1</Active><Method>7</Method><Content text=\"s\" /></Source>"
      u"<EventLog><Method>-3</Method></EventLog>"
      u"<EventID><Method>7</Method><Value>-1</Value></EventID>"
      u"<Description><Method>-9</Method><Case>5</Case></Description>"
      u"<EventType><Active>1</Active></EventType>"
      u"<Unknown><Active>1</Active></Unknown>");
  EXPECT_EQ(rule.Name, u"n");
  EXPECT_TRUE(rule.Active);
  EXPECT_TRUE(rule.Source.Active);
  EXPECT_EQ(rule.Source.Method, 1);
  EXPECT_EQ(rule.Source.Content, u"s");
  EXPECT_EQ(rule.EventLog.Method, 0);
  EXPECT_FALSE(rule.EventLog.Active);
  EXPECT_EQ(rule.EventID.Method, 4);
  EXPECT_EQ(rule.EventID.Value, -1);  // values are taken as they are
  EXPECT_EQ(rule.Description.Method, 0);
  EXPECT_EQ(rule.Description.Case, 1);
  EXPECT_TRUE(rule.EventType.Active);
  EXPECT_EQ(rule.EventType.Value, 31);  // no Value child: the default stays

  const FilterRule inactive = ReadRule(u"<Name text=\"x\" />");
  EXPECT_FALSE(inactive.Active);
  EXPECT_TRUE(ReadRule(u"").IsEqual(FilterRule()));
}

TEST(FilterWrite, WritesOnlyGroupsWithNonDefaultFields) {
  XmlDocument document(u"Corvane");
  FilterRule().Write(document.AddChild(u"FilterRule"));
  const XmlNode& plain = document.GetChild(0);
  ASSERT_EQ(plain.GetChildCount(), 2);
  EXPECT_EQ(plain.GetChild(0).GetName(), u"Name");
  EXPECT_EQ(plain.GetChild(1).GetName(), u"Active");

  FilterRule full;
  full.Name = u"all & <everything>";
  full.Active = true;
  full.EventType.Value = 6;
  full.EventLog.Content = u"System";
  full.Source.Method = 1;
  full.Category.Active = true;
  full.User.Content = u" admin ";
  full.EventID.Value = 200 * 65536 + 100;
  full.EventID.Method = 4;
  full.Description = {true, 2, u"\"quoted\" text", 1};
  XmlNode& element = document.AddChild(u"FilterRule");
  full.Write(element);
  const char16_t* order[] = {u"Name",     u"Active", u"EventType", u"EventLog",   u"Source",
                             u"Category", u"User",   u"EventID",   u"Description"};
  ASSERT_EQ(element.GetChildCount(), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(element.GetChild(i).GetName(), order[i]);
  const XmlNode& description = element.GetChild(8);
  EXPECT_EQ(description.GetChild(2).GetName(), u"Case");

  XmlDocument read(u"Corvane");
  ASSERT_EQ(testing::ParseImage(read, document.ToBytes()), 0);
  FilterRule back;
  back.Read(read.GetChild(1));
  EXPECT_TRUE(back.IsEqual(full));

  // A Description whose only non-default field is Case is not written.
  FilterRule case_only;
  case_only.Description.Case = 1;
  XmlNode& lost = document.AddChild(u"FilterRule");
  case_only.Write(lost);
  FilterRule lost_back;
  lost_back.Read(lost);
  EXPECT_FALSE(lost_back.IsEqual(case_only));
  EXPECT_TRUE(lost_back.IsEqual(FilterRule()));
}

TEST(FilterListVariable, SkipsChildrenOfOtherNames) {
  XmlDocument document(u"Corvane");
  ASSERT_EQ(testing::ParseBody(document,
                               u"<Corvane><L><FilterRule><Name text=\"a\" /></FilterRule>"
                               u"<Rule><Name text=\"b\" /></Rule><FilterRule /></L></Corvane>"),
            0);
  CCVNSettings::VarFL_t list(u"L", nullptr);
  list.rules.resize(5);
  list.ReadValue(document.FindChild(u"L"));
  ASSERT_EQ(list.rules.size(), 2u);
  EXPECT_EQ(list.rules[0].Name, u"a");
  EXPECT_EQ(list.rules[1].Name, u"");
}

FilterRule ActiveRule() {
  FilterRule rule;
  rule.Active = true;
  return rule;
}

TEST(FilterMatch, TypesAndIdentifiers) {
  SEventRecord record = Record();
  FilterRule rule = ActiveRule();
  EXPECT_FALSE(rule.Matches(record));  // no active criterion
  rule.EventType.Active = true;
  EXPECT_TRUE(rule.Matches(record));  // 31 imposes nothing
  rule.EventType.Value = 6;
  for (uint16_t type : {1, 2, 4, 8, 16}) {
    record.eventType = type;
    EXPECT_EQ(rule.Matches(record), type == 2 || type == 4) << type;
  }

  FilterRule id = ActiveRule();
  id.EventID = {true, 4, 200 * 65536 + 100};
  for (uint32_t value : {99u, 100u, 150u, 200u, 201u}) {
    record.eventId = value;
    EXPECT_EQ(id.Matches(record), value >= 100 && value <= 200) << value;
  }
  record.eventId = 1073741924;  // bit 30 set, low 16 bits 100
  EXPECT_TRUE(id.Matches(record));
  record.eventId = 0xC0000005;
  id.EventID = {true, 0, 5};
  EXPECT_TRUE(id.Matches(record));
  id.EventID = {true, 0, 0x10005};  // only the low 16 bits of the value count
  EXPECT_TRUE(id.Matches(record));
  id.EventID = {true, 1, 5};
  EXPECT_FALSE(id.Matches(record));
  id.EventID = {true, 2, 6};
  EXPECT_TRUE(id.Matches(record));
  id.EventID = {true, 3, 5};
  EXPECT_FALSE(id.Matches(record));
  id.EventID = {true, 9, 1};  // unknown method: no condition
  EXPECT_TRUE(id.Matches(record));
}

TEST(FilterMatch, TextFieldsIgnoreCaseAndDescriptionHonoursIt) {
  const SEventRecord record = Record();
  FilterRule rule = ActiveRule();
  rule.EventLog = {true, 0, u"application"};
  EXPECT_TRUE(rule.Matches(record));
  rule.EventLog.Method = 1;
  EXPECT_FALSE(rule.Matches(record));
  rule.EventLog = {};
  rule.User = {true, 0, u"system"};
  EXPECT_TRUE(rule.Matches(record));
  rule.User = {};
  // Category text is always empty in records.
  rule.Category = {true, 0, u"Logon"};
  EXPECT_FALSE(rule.Matches(record));
  rule.Category.Method = 1;
  EXPECT_TRUE(rule.Matches(record));
  rule.Category = {};

  const struct {
    int32_t method;
    int32_t case_flag;
    std::u16string content;
    bool expected;
  } cases[] = {
      {0, 0, record.description, true},
      {0, 0, u"the print spooler service entered the running state.", false},
      {0, 1, u"the print spooler service entered the running state.", true},
      {1, 1, u"THE PRINT SPOOLER SERVICE ENTERED THE RUNNING STATE.", false},
      {2, 0, u"Spooler", true},
      {2, 0, u"spooler", false},
      {2, 1, u"SPOOLER", true},
      {3, 0, u"spooler", true},
      {3, 1, u"spooler", false},
      {4, 0, u"The Print", true},
      {4, 0, u"the print", false},
      {4, 1, u"the print", true},
      {4, 1, record.description + u"!", false},  // longer than the description
      {4, 0, u"", true},                         // begins with nothing
      {2, 1, u"", true},
      {3, 0, u"", false},  // doesn't contain nothing: never
      {3, 1, u"", false},
  };
  for (const auto& c : cases) {
    rule.Description = {true, c.method, c.content, c.case_flag};
    EXPECT_EQ(rule.Matches(record), c.expected) << "method " << c.method << " case " << c.case_flag;
  }
}

TEST(FilterMatch, EveryActiveCriterionMustHold) {
  const SEventRecord record = Record();
  FilterRule rule = ActiveRule();
  rule.Source = {true, 0, u"service control manager"};
  rule.EventID = {true, 0, 100};
  EXPECT_TRUE(rule.Matches(record));
  rule.EventID.Value = 101;
  EXPECT_FALSE(rule.Matches(record));
  rule.EventID.Active = false;  // inactive criteria are ignored whatever they hold
  EXPECT_TRUE(rule.Matches(record));
}

TEST(FilterLists, PermitThenDeny) {
  const SEventRecord record = Record();
  FilterRule matching = ActiveRule();
  matching.EventLog = {true, 0, u"Application"};
  FilterRule other = ActiveRule();
  other.EventLog = {true, 0, u"System"};
  FilterRule no_criterion = ActiveRule();
  FilterRule inactive = matching;
  inactive.Active = false;

  EXPECT_TRUE(PassesFilters(record, {}, {}));
  EXPECT_TRUE(PassesFilters(record, {inactive, inactive}, {}));
  EXPECT_TRUE(PassesFilters(record, {other, matching}, {}));
  EXPECT_FALSE(PassesFilters(record, {other}, {}));
  EXPECT_FALSE(PassesFilters(record, {no_criterion}, {}));  // fails every record
  EXPECT_TRUE(PassesFilters(record, {no_criterion, matching}, {}));
  EXPECT_TRUE(PassesFilters(record, {}, {no_criterion, other, inactive}));
  EXPECT_FALSE(PassesFilters(record, {matching}, {other, matching}));

  CCVNSettings settings;
  settings.Syslog_DenyFilterList.rules = {matching};
  EXPECT_FALSE(
      PassesFilters(record, settings.Syslog_PermitFilterList, settings.Syslog_DenyFilterList));
}

}  // namespace
}  // namespace cvn
