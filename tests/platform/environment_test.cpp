#include "platform/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace cvn::platform {
namespace {

TEST(Environment, SetReadAndRemoveAgreeWithTheCRuntime) {
  const std::u16string name = u"CVN_CONTRACT_TEST_VALUE";
  ASSERT_TRUE(SetEnvironmentValue(name, u"first"));
  EXPECT_EQ(GetEnvironmentValue(name), u"first");
  // Code that reads the variable through the C runtime sees the same value.
  const char* crt = std::getenv("CVN_CONTRACT_TEST_VALUE");
  ASSERT_NE(crt, nullptr);
  EXPECT_STREQ(crt, "first");

  // Longer than any first guess at a buffer size, and not ASCII.
  const std::u16string long_value = std::u16string(300, u'x') + u"\u00e9\u4e2d";
  ASSERT_TRUE(SetEnvironmentValue(name, long_value));
  EXPECT_EQ(GetEnvironmentValue(name), long_value);

  EXPECT_TRUE(SetEnvironmentValue(name, u""));
  EXPECT_EQ(GetEnvironmentValue(name), u"");
  EXPECT_EQ(std::getenv("CVN_CONTRACT_TEST_VALUE"), nullptr);
  EXPECT_TRUE(SetEnvironmentValue(name, u""));  // removing again is no failure
}

}  // namespace
}  // namespace cvn::platform
