// The export queue: the double buffer, its bound and the room below it,
// putting records back at its head; the connection string's prefix rule and
// the position table's name rule.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/text.h"
#include "db/db_exporter.h"
#include "db/db_positions.h"
#include "db/st_queue.h"

namespace cvn::db {
namespace {

TEST(CSTQueueTest, KeepsOrderAcrossTheSwapAndRefusesAtTheBoundUntilHalfIsFree) {
  CSTQueue<int> queue;
  queue.SetMaximum(4);
  EXPECT_TRUE(queue.Push(1));
  EXPECT_TRUE(queue.Push(2));
  EXPECT_TRUE(queue.AtMostHalfFull());
  int item = 0;
  ASSERT_TRUE(queue.Pop(item));  // swaps: 2 stays in the output half
  EXPECT_EQ(item, 1);
  EXPECT_TRUE(queue.Push(3));
  EXPECT_TRUE(queue.Push(4));
  EXPECT_TRUE(queue.Push(5));
  EXPECT_FALSE(queue.Push(6));  // 2 to 5 wait in both halves
  EXPECT_EQ(queue.Size(), 4u);
  EXPECT_FALSE(queue.AtMostHalfFull());
  ASSERT_TRUE(queue.Pop(item));
  EXPECT_FALSE(queue.AtMostHalfFull());  // three of four
  std::vector<int> out = {item};
  ASSERT_TRUE(queue.Pop(item));
  EXPECT_TRUE(queue.AtMostHalfFull());
  out.push_back(item);
  while (queue.Pop(item)) out.push_back(item);
  EXPECT_EQ(out, (std::vector<int>{2, 3, 4, 5}));
  EXPECT_FALSE(queue.HasMore());
}

TEST(CSTQueueTest, RecordsPutBackComeFirstAndCountAgainstTheBound) {
  CSTQueue<int> queue;
  queue.SetMaximum(3);
  for (int i = 1; i <= 3; ++i) queue.Push(i);
  int a = 0, b = 0;
  ASSERT_TRUE(queue.Pop(a));
  ASSERT_TRUE(queue.Pop(b));
  queue.Push(4);
  queue.Unpop({a, b});
  EXPECT_EQ(queue.Size(), 4u);
  EXPECT_FALSE(queue.Push(5));
  EXPECT_EQ(queue.Clear(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(queue.Size(), 0u);
  int item = 0;
  EXPECT_FALSE(queue.Pop(item));
}

TEST(CSTQueueTest, NoMaximumMeansNoLimit) {
  CSTQueue<int> queue;
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(queue.Push(i));
  EXPECT_TRUE(queue.AtMostHalfFull());
}

TEST(OdbcPrefixTest, OdbcPrefixIsRemovedInAnyCaseUnlessNothingFollows) {
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"ODBC;DSN=Events"), u"DSN=Events");
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"odbc;DSN=Events"), u"DSN=Events");
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"ODBC;"), u"ODBC;");
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"DSN=ODBC;"), u"DSN=ODBC;");
}

// Only a plain name is put into the statements; any other is refused with a
// line that names it, and the channel keeps no positions in the database.
TEST(PositionTableTest, OnlyAPlainNameIsUsedAndAnyOtherIsRefusedWithALogLine) {
  const struct {
    std::u16string_view name;
    bool plain;
  } cases[] = {
      {u"Positions", true},
      {u"cvn.channel_positions_2", true},
      {u"_p", true},
      {u"1st", false},
      {u"two words", false},
      {u"p; DROP TABLE EventLog", false},
      {u"p--", false},
      {u"\"Positions\"", false},
      {u"a.b.c", false},
      {u"schema.", false},
      {u".p", false},
      {u"Positionstabelle\u00e4", false},
      {std::u16string_view(u"p\0x", 3), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.name));
    EXPECT_EQ(IsPlainTableName(c.name), c.plain);
    CSTDbExporter exporter;
    std::string logs;
    exporter.SetLog([&](char, const std::string& line) { logs += line; });
    exporter.SetPositionTable(c.name, u"PC");
    EXPECT_EQ(logs.find("DB/PositionTable \"") == 0, !c.plain) << logs;
  }
  EXPECT_TRUE(IsPlainTableName(std::u16string(63, u'p')));
  EXPECT_FALSE(IsPlainTableName(std::u16string(64, u'p')));
}

}  // namespace
}  // namespace cvn::db
