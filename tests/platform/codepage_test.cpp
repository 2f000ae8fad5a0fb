#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace cvn::platform {
namespace {

std::string To(std::u16string_view text, uint32_t cp) {
  std::string out;
  EXPECT_TRUE(ToCodePage(text, cp, out)) << cp;
  return out;
}

std::u16string From(std::string_view bytes, uint32_t cp) {
  std::u16string out;
  EXPECT_TRUE(FromCodePage(bytes, cp, out)) << cp;
  return out;
}

TEST(CodePages, SingleByteCodePagesBothWays) {
  EXPECT_EQ(To(u"caf\u00e9 \u20ac", 1252), "caf\xE9 \x80");
  EXPECT_EQ(From("caf\xE9 \x80", 1252), u"caf\u00e9 \u20ac");
  EXPECT_EQ(To(u"\u0142\u00f3d\u017a", 1250), "\xB3\xF3" "d\x9F");
  EXPECT_EQ(To(u"\u041f\u0440\u0438", 866), "\x8F\xE0\xA8");
  EXPECT_EQ(From("\x8F\xE0\xA8", 866), u"\u041f\u0440\u0438");
}

TEST(CodePages, DoubleByteCodePage) {
  EXPECT_EQ(To(u"\u65e5\u672c", 932), "\x93\xFA\x96\x7B");
  EXPECT_EQ(From("\x93\xFA\x96\x7B", 932), u"\u65e5\u672c");
}

TEST(CodePages, Utf8AndTheAnsiCodePage) {
  EXPECT_EQ(To(u"\u00e9", kCpUtf8), "\xC3\xA9");
  EXPECT_EQ(From("\xC3\xA9", kCpUtf8), u"\u00e9");
  EXPECT_EQ(FromAnsi(ToAnsi(u"plain ascii")), u"plain ascii");
  EXPECT_TRUE(IsValidCodePage(AnsiCodePage()));
}

TEST(CodePages, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(To(u"a\u4e2db", 1252), "a?b");
  EXPECT_EQ(To(u"\U0001F600!", 1252).back(), '!');
}

TEST(CodePages, UnknownCodePageFails) {
  std::string out;
  EXPECT_FALSE(ToCodePage(u"x", 12345, out));
  std::u16string wide;
  EXPECT_FALSE(FromCodePage("x", 12345, wide));
  EXPECT_FALSE(IsValidCodePage(12345));
}

}  // namespace
}  // namespace cvn::platform
