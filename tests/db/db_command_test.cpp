#include "db/db_command.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "config/cvn_settings.h"

namespace cvn::db {
namespace {

// Which placeholders of a template become markers, and which templates are
// filled as text (with the reason's first words).
TEST(DbCommandTest, PlaceholdersAloneInLiteralsOrAsBareNumbersBecomeMarkers) {
  const struct {
    std::u16string_view command;
    std::u16string_view prepared;  // empty: filled as text
    std::string markers;           // t: text, n: number
    std::string why;
  } cases[] = {
      {CCVNSettings::kDefaultDbCommand,
       u"INSERT INTO EventLog (Generated, Type, EventId, Log, Source, Description) VALUES (?, ?, "
       u"?, ?, ?, ?);",
       "tnnttt", ""},
      {u"UPDATE T SET a = '%SOURCE%', n = -%EVENT_ID% WHERE s LIKE '%x%' AND u = '%DATE%'; -- end",
       u"UPDATE T SET a = ?, n = -? WHERE s LIKE '%x%' AND u = '%DATE%'; -- end", "tn", ""},
      {u"{call Log('%EVENT_ID%', %CATEGORY_ID%, '%USER%'::text, '%USER%' || 'x')}",
       u"{call Log(?, ?, ?::text, ? || 'x')}", "tntt", ""},
      {u"SELECT 1", u"SELECT 1", "", ""},
      {u"VALUES ('Event %EVENT_ID%')", u"", "", "%EVENT_ID% does not stand alone"},
      {u"INSERT INTO %EVENTLOG% VALUES (1)", u"", "", "%EVENTLOG% stands outside"},
      {u"VALUES (%EVENT_ID%0)", u"", "", "%EVENT_ID% touches"},
      {u"VALUES (1e-%EVENT_ID%)", u"", "", "%EVENT_ID% touches"},
      {u"SELECT \"%SOURCE%\" FROM T", u"", "", "%SOURCE% stands in a quoted name"},
      {u"VALUES (1) /* %SOURCE% */", u"", "", "%SOURCE% stands in a comment"},
      {u"VALUES (E'%DESCRIPTION%')", u"", "", "'%DESCRIPTION%' stands where"},
      {u"VALUES (TIMESTAMP '%DATE_TIME%')", u"", "", "'%DATE_TIME%' stands where"},
      {u"VALUES ({ts '%DATE_TIME%'})", u"", "", "'%DATE_TIME%' stands where"},
      {u"VALUES ('%SOURCE%' 'x')", u"", "", "'%SOURCE%' stands where"},
      {u"VALUES (?, '%SOURCE%')", u"", "", "it holds a parameter marker"},
      {u"VALUES ($$%SOURCE%$$)", u"", "", "it holds a $"},
      {u"VALUES ('C:\\x', '%SOURCE%')", u"", "", "a quoted literal holds a backslash"},
      {u"VALUES ('%SOURCE%'); DELETE FROM T", u"", "", "it holds more than one statement"},
      {u"VALUES ('%SOURCE%", u"", "", "a quoted literal is not closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.command));
    const DbTemplatePlan plan = AnalyzeDbTemplate(c.command);
    EXPECT_EQ(plan.binds, c.why.empty()) << plan.why_text;
    EXPECT_EQ(Utf16ToUtf8(plan.prepared), Utf16ToUtf8(c.prepared));
    std::string kinds;
    for (const DbMarker& m : plan.markers) kinds += m.number ? 'n' : 't';
    EXPECT_EQ(kinds, c.markers);
    EXPECT_EQ(plan.why_text.rfind(c.why, 0), 0u) << plan.why_text;
  }
}

// Bound values are the record's own, unescaped; a value the placeholders
// cannot make is the placeholder. Filled as text, quotes and (on request)
// backslashes are doubled.
TEST(DbCommandTest, ValuesAreBoundAsTheyAreAndTextIsEscapedForTheDatabase) {
  SEventRecord r;
  r.eventId = 0x40000404;
  r.eventType = kEventTypeWarning;
  r.timeGenerated = 0x80000000u;  // does not convert to a local time
  r.source = u"\\'); DELETE FROM T; --";
  const CDbCommand bound(u"VALUES (%EVENT_ID%, '%SOURCE%', '%DATE_TIME%', '%USER%')");
  ASSERT_TRUE(bound.Binds());
  const std::vector<OdbcValue> values = bound.Values(r);
  ASSERT_EQ(values.size(), 4u);
  EXPECT_TRUE(values[0].is_number);
  EXPECT_EQ(values[0].number, 1028);
  EXPECT_EQ(values[1].text, r.source);
  EXPECT_EQ(values[2].text, u"%DATE_TIME%");
  EXPECT_FALSE(values[3].is_number);
  EXPECT_EQ(values[3].text, u"");

  const CDbCommand text(u"VALUES ('Source: %SOURCE%', %EVENT_TYPE_NUM%)");
  ASSERT_FALSE(text.Binds());
  EXPECT_EQ(Utf16ToUtf8(text.Filled(r, false)), "VALUES ('Source: \\''); DELETE FROM T; --', 2)");
  EXPECT_EQ(Utf16ToUtf8(text.Filled(r, true)), "VALUES ('Source: \\\\''); DELETE FROM T; --', 2)");
}

}  // namespace
}  // namespace cvn::db
