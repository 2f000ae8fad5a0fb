#include "base/text.h"

#include <gtest/gtest.h>

#include "base/result.h"

namespace cvn {
namespace {

TEST(Utf, RoundTripsEveryPlane) {
  const std::u16string text = u"a\u00e9\u20ac\U0001F600z";
  EXPECT_EQ(Utf16ToUtf8(text), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
}

TEST(Utf, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xC3"), u"a\uFFFD");                        // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD");                      // overlong encoding
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");                  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xFFx"), u"\uFFFDx");                        // invalid lead byte
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, 0xD800)), "\xEF\xBF\xBD");  // lone surrogate
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00, u'a'}),
            "\xEF\xBF\xBD"
            "a");
}

TEST(Utf, CaseInsensitiveComparisonFoldsAsciiOnly) {
  EXPECT_TRUE(EqualsNoCase(u"Application", u"APPLICATION"));
  EXPECT_FALSE(EqualsNoCase(u"\u00e9", u"\u00c9"));
  EXPECT_FALSE(EqualsNoCase(u"abc", u"abcd"));
}

TEST(ResultCode, PacksStepErrorAndOperation) {
  const Result r = MakeResult(3, 0x12345);  // only the low 16 bits of the error survive
  EXPECT_EQ(r, 0x00032345u);
  EXPECT_EQ(ResultStep(r), 3u);
  EXPECT_EQ(ResultError(r), 0x2345u);
  const Result op = WithOperation(r, 2);
  EXPECT_EQ(op, 0x02032345u);
  EXPECT_EQ(ResultOperation(op), 2u);
  EXPECT_EQ(ResultStep(op), 3u);
}

}  // namespace
}  // namespace cvn

namespace cvn {
namespace {

TEST(EscapeControlCharacters, ControlCharactersBecomeVisibleUnlessKept) {
  const struct {
    const char* text;
    const char* keep;
    const char* expected;
  } cases[] = {
      {"plain \xC3\xA9 text", "", "plain \xC3\xA9 text"},
      {"a\r\nb\tc", "", "a\\r\\nb\\tc"},
      {"\x1b]0;title\x07\x7f", "", "\\x1B]0;title\\x07\\x7F"},
      {"line\nnext\ttab\r", "\n\t", "line\nnext\ttab\\r"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeControlCharacters(c.text, c.keep), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace cvn
