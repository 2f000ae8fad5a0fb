#include "control/ctrl_message.h"

#include <gtest/gtest.h>

namespace cvn::control {
namespace {

TEST(CtrlMessageTest, ValuesComeBackInReverseOrderWithTheirEncodings) {
  CSTCtrlMessage m;
  m.ValueToStack(static_cast<uint8_t>(0xAB));
  m.ValueToStack(static_cast<uint16_t>(0x1234));
  m.ValueToStack(static_cast<int32_t>(-2));
  m.ValueToStack(std::u16string_view(u"h\u00e9"));
  m.ValueToStack(std::vector<int32_t>{1, 0x01020304});
  m.ValueToStack(std::vector<std::u16string>{u"first", u"", u"last"});
  m.SetLengthField();
  EXPECT_EQ(m.LengthField(), m.Size());

  // The byte layout a peer sees: little-endian integers, strings as code
  // units followed by their byte count.
  const std::vector<uint8_t> head(m.Bytes().begin() + 4, m.Bytes().begin() + 4 + 19);
  const std::vector<uint8_t> expected = {0xAB, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 'h', 0, 0xE9,
                                         0,    4,    0,    0,    0,    1,    0,    0,   0};
  EXPECT_EQ(head, expected);

  std::vector<std::u16string> names;
  ASSERT_TRUE(m.ValueFromStack(names));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"first", u"", u"last"}));
  std::vector<int32_t> ints;
  ASSERT_TRUE(m.ValueFromStack(ints));
  EXPECT_EQ(ints, (std::vector<int32_t>{1, 0x01020304}));
  std::u16string s;
  ASSERT_TRUE(m.ValueFromStack(s));
  EXPECT_EQ(s, u"h\u00e9");
  int32_t i = 0;
  ASSERT_TRUE(m.ValueFromStack(i));
  EXPECT_EQ(i, -2);
  uint16_t w = 0;
  ASSERT_TRUE(m.ValueFromStack(w));
  EXPECT_EQ(w, 0x1234);
  uint8_t b = 0;
  ASSERT_TRUE(m.ValueFromStack(b));
  EXPECT_EQ(b, 0xAB);
  // The length field is never popped.
  EXPECT_FALSE(m.ValueFromStack(b));
  EXPECT_EQ(m.Size(), 4u);
}

TEST(CtrlMessageTest, ShortOrLyingValuesAreNotRead) {
  CSTCtrlMessage m;
  m.ValueToStack(static_cast<uint8_t>(1));
  m.ValueToStack(static_cast<uint8_t>(2));
  int32_t i = 77;
  EXPECT_FALSE(m.ValueFromStack(i));
  EXPECT_EQ(i, 77);
  EXPECT_EQ(m.Remaining(), 2u);

  // A string whose byte count exceeds what is there: the count is popped,
  // the string stays as it was.
  CSTCtrlMessage lying;
  lying.ValueToStack(static_cast<uint16_t>(u'x'));
  lying.ValueToStack(static_cast<int32_t>(1000));
  std::u16string s = u"kept";
  EXPECT_FALSE(lying.ValueFromStack(s));
  EXPECT_EQ(s, u"kept");
  EXPECT_EQ(lying.Remaining(), 2u);

  // A vector count that cannot fit (and would overflow a 32-bit product).
  for (int32_t count : {3, -1, 0x40000001}) {
    CSTCtrlMessage v;
    v.ValueToStack(static_cast<int32_t>(5));
    v.ValueToStack(count);
    std::vector<int32_t> ints{9};
    EXPECT_FALSE(v.ValueFromStack(ints)) << count;
    EXPECT_EQ(ints, std::vector<int32_t>{9});
    CSTCtrlMessage w;
    w.ValueToStack(static_cast<int32_t>(5));
    w.ValueToStack(count);
    std::vector<std::u16string> strings{u"z"};
    EXPECT_FALSE(w.ValueFromStack(strings)) << count;
    EXPECT_EQ(strings, std::vector<std::u16string>{u"z"});
  }

  // An empty string is a count of zero.
  CSTCtrlMessage empty;
  empty.ValueToStack(std::u16string_view());
  s = u"old";
  EXPECT_TRUE(empty.ValueFromStack(s));
  EXPECT_TRUE(s.empty());
}

TEST(CtrlMessageTest, TheAssemblerCompletesAtTheDeclaredLengthAndRejectsWhatDoesNotFit) {
  CSTCtrlMessage m;
  m.ValueToStack(static_cast<int32_t>(7));
  m.ValueToStack(static_cast<uint8_t>(kKindMethodCall));
  m.SetLengthField();
  const std::span<const uint8_t> bytes(m.Bytes());

  CtrlMessageAssembler a;
  EXPECT_EQ(a.Add(bytes.first(6)), CtrlMessageAssembler::kIncomplete);
  EXPECT_EQ(a.Add(bytes.subspan(6)), CtrlMessageAssembler::kComplete);
  EXPECT_EQ(a.Take().Bytes(), m.Bytes());

  // A first chunk with no value byte, a length below what arrived or above
  // the limit, and bytes past the declared end.
  EXPECT_EQ(a.Add(bytes.first(4)), CtrlMessageAssembler::kRejected);
  std::vector<uint8_t> longer(m.Bytes());
  longer.push_back(0);
  EXPECT_EQ(a.Add(longer), CtrlMessageAssembler::kRejected);
  const std::vector<uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF, 1};
  EXPECT_EQ(a.Add(huge), CtrlMessageAssembler::kRejected);
  EXPECT_EQ(a.Add(bytes.first(6)), CtrlMessageAssembler::kIncomplete);
  EXPECT_EQ(a.Add(longer), CtrlMessageAssembler::kRejected);
  EXPECT_EQ(a.Add(bytes), CtrlMessageAssembler::kComplete);  // empty again after a rejection
}

}  // namespace
}  // namespace cvn::control
