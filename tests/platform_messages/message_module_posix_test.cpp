// What only the posix message modules do: the Windows texts of system errors,
// the message table next to an executable, and English resource files.
#include <gtest/gtest.h>

#include "base/text.h"
#include "pe_builder.h"
#include "platform/message_module.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(PosixSystemMessages, AreTheWindowsTexts) {
  std::u16string text;
  ASSERT_EQ(FormatSystemMessage(2, true, text), 0u);
  EXPECT_EQ(text, u"The system cannot find the file specified.\r\n");
  ASSERT_EQ(FormatSystemMessage(10060, true, text), 0u);
  EXPECT_EQ(text,
            u"A connection attempt failed because the connected party did not properly respond "
            u"after a period of time, or established connection failed because connected host "
            u"has failed to respond.\r\n");
  ASSERT_EQ(FormatSystemMessage(1062, true, text), 0u);
  EXPECT_EQ(text, u"The service has not been started.\r\n");
  // A text with inserts needs them ignored, as there are no arguments.
  ASSERT_EQ(FormatSystemMessage(193, true, text), 0u);
  EXPECT_EQ(text, u"%1 is not a valid Win32 application.\r\n");
  EXPECT_EQ(FormatSystemMessage(193, false, text), 87u);
}

TEST(PosixMessageModule, AnExecutableUsesTheTableNextToIt) {
  cvn::testing::TempDir dir;
  cvn::testing::WriteFileBytes(dir.path() / "CVNService",
                               "\x7F"
                               "ELF not really an executable");
  cvn::testing::WriteFileBytes(dir.path() / "CVNService.msgtable",
                               "CVN-MESSAGE-TABLE 1\nMessageId=0x40000202\nStopped.\n.\n");
  EXPECT_EQ(FormatMessageFromFile(dir.u16() + u"/CVNService", 0x40000202), u"Stopped.\r\n");
  uint32_t error = 0;
  EXPECT_EQ(FormatMessageFromFile(dir.u16() + u"/other", 1, &error), u"");
  EXPECT_EQ(error, 2u);
}

TEST(PosixMessageModule, ALanguageNeutralModuleReadsItsEnglishResourceFile) {
  cvn::testing::TempDir dir;
  // The module itself has resources but no message table.
  const auto table = cvn::testing::BuildMessageTable({{42, u"From the resource file.\r\n"}});
  cvn::testing::WriteFileBytes(dir.path() / "netmsg.dll",
                               Bytes(cvn::testing::BuildPeImage(true, {{0x409, table}}, 16)));
  uint32_t error = 0;
  FormatMessageFromFile(dir.u16() + u"/netmsg.dll", 42, &error);
  EXPECT_EQ(error, 1813u);
  std::filesystem::create_directories(dir.path() / "en-US");
  cvn::testing::WriteFileBytes(dir.path() / "en-US" / "netmsg.dll.mui",
                               Bytes(cvn::testing::BuildPeImage(true, {{0x409, table}})));
  EXPECT_EQ(FormatMessageFromFile(dir.u16() + u"/netmsg.dll", 42, &error),
            u"From the resource file.\r\n");
}

}  // namespace
}  // namespace cvn::platform
