// The export queue: the double buffer, its bound, putting records back at its
// head; and the connection string's prefix rule.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "db/db_exporter.h"
#include "db/st_queue.h"

namespace cvn::db {
namespace {

TEST(CSTQueueTest, KeepsOrderAcrossTheSwapAndCountsWhatTheBoundRefuses) {
  CSTQueue<int> queue;
  queue.SetMaximum(3);
  EXPECT_TRUE(queue.Push(1));
  EXPECT_TRUE(queue.Push(2));
  int item = 0;
  ASSERT_TRUE(queue.Pop(item));  // swaps: 2 stays in the output half
  EXPECT_EQ(item, 1);
  EXPECT_TRUE(queue.Push(3));
  EXPECT_TRUE(queue.Push(4));
  EXPECT_FALSE(queue.Push(5));  // 2, 3 and 4 wait in both halves
  EXPECT_EQ(queue.Dropped(), 1u);
  EXPECT_EQ(queue.Size(), 3u);
  EXPECT_TRUE(queue.HasMore());
  std::vector<int> out;
  while (queue.Pop(item)) out.push_back(item);
  EXPECT_EQ(out, (std::vector<int>{2, 3, 4}));
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
  EXPECT_EQ(queue.Dropped(), 0u);
}

TEST(OdbcPrefixTest, OdbcPrefixIsRemovedInAnyCaseUnlessNothingFollows) {
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"ODBC;DSN=Events"), u"DSN=Events");
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"odbc;DSN=Events"), u"DSN=Events");
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"ODBC;"), u"ODBC;");
  EXPECT_EQ(CSTDbExporter::StripOdbcPrefix(u"DSN=ODBC;"), u"DSN=ODBC;");
}

}  // namespace
}  // namespace cvn::db
