// Message modules through the platform capability: loading, formatting with
// inserts left in place, real message DLLs built from .mc sources, the
// service's own messages, and system texts. Runs against both platforms.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/message_module.h"
#include "platform/message_table.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

// Paths of the files the build made; empty when the message tools are
// missing.
const std::u16string kTestDll = Utf8ToUtf16(CVN_TEST_MESSAGE_DLL);
const std::u16string kServiceDll = Utf8ToUtf16(CVN_SERVICE_MESSAGE_DLL);
const std::u16string kServiceTable = Utf8ToUtf16(CVN_SERVICE_MESSAGE_TABLE);
// A system module with a large message table: the system's own under Wine,
// Wine's copy of it natively when Wine is installed.
const char kSystemModule[] = CVN_SYSTEM_MESSAGE_MODULE;

std::u16string Format(const MessageModule& module, uint32_t id, uint32_t* error = nullptr) {
  std::u16string text;
  const uint32_t result = module.Format(id, text);
  if (error != nullptr) *error = result;
  return text;
}

class MessageModuleTest : public ::testing::Test {
 protected:
  std::u16string Write(const char* name, const std::string& bytes) {
    cvn::testing::WriteFileBytes(dir_.path() / name, bytes);
    return dir_.u16() + u"/" + Utf8ToUtf16(name);
  }
  cvn::testing::TempDir dir_;
};

TEST_F(MessageModuleTest, LoadFailsForMissingFilesAndOtherContent) {
  MessageModule module;
  EXPECT_EQ(module.Load(dir_.u16() + u"/missing.dll"), 2u);
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_EQ(module.Load(Write("notes.txt", "just some text, long enough to look at")), 193u);
  EXPECT_FALSE(module.IsLoaded());
  uint32_t error = 0;
  Format(module, 1, &error);
  EXPECT_EQ(error, 6u);
}

TEST_F(MessageModuleTest, PlainTableFormatsLikeACompiledModule) {
  MessageModule module;
  ASSERT_EQ(module.Load(Write("x.msgtable",
                              "CVN-MESSAGE-TABLE 1\nMessageId=5\nA %1 and %% %nB\n.\n"
                              "MessageId=6\nno break%0\n.\n")),
            0u);
  EXPECT_TRUE(module.IsLoaded());
  EXPECT_EQ(Format(module, 5), u"A %1 and %% \r\nB\r\n");
  EXPECT_EQ(Format(module, 6), u"no break");
  uint32_t error = 0;
  EXPECT_EQ(Format(module, 7, &error), u"");
  EXPECT_EQ(error, 317u);
  module.Close();
  EXPECT_FALSE(module.IsLoaded());

  // A broken table does not load.
  EXPECT_NE(module.Load(Write("bad.msgtable", "CVN-MESSAGE-TABLE 1\nMessageId=5\nA\n")), 0u);
}

TEST_F(MessageModuleTest, FormatMessageFromFileReportsTheReason) {
  uint32_t error = 0;
  EXPECT_EQ(FormatMessageFromFile(dir_.u16() + u"/none.dll", 1, &error), u"");
  EXPECT_EQ(error, 2u);
  const std::u16string path = Write("y.msgtable", "CVN-MESSAGE-TABLE 1\nMessageId=1\nhi\n.\n");
  EXPECT_EQ(FormatMessageFromFile(path, 1, &error), u"hi\r\n");
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(FormatMessageFromFile(path, 2, &error), u"");
  EXPECT_EQ(error, 317u);
}

TEST(MessageDll, FormatsAnsiMessagesWithInsertsInPlace) {
  if (kTestDll.empty()) GTEST_SKIP() << "the mingw-w64 message tools were not found at build time";
  MessageModule module;
  ASSERT_EQ(module.Load(kTestDll), 0u);
  EXPECT_EQ(Format(module, 1000), u"Event %1 happened at %2.\r\nSecond line.\r\n");
  EXPECT_EQ(Format(module, 1001), u"Literal %% and tab\tend");
  EXPECT_EQ(Format(module, 1537), u"Parameter fifteen thirty-seven\r\n");
  EXPECT_EQ(Format(module, 0x2000), u"Ids %1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11 %12\r\n");
  uint32_t error = 0;
  Format(module, 999, &error);
  EXPECT_EQ(error, 317u);
}

void ExpectServiceMessages(const std::u16string& path) {
  MessageModule module;
  ASSERT_EQ(module.Load(path), 0u);
  EXPECT_EQ(Format(module, 0x40000201), u"Corvane Service successfully started. Version: %1.\r\n");
  EXPECT_EQ(Format(module, 0x40000202), u"Corvane Service has been stopped.\r\n");
  EXPECT_EQ(Format(module, 0xC0000203),
            u"Corvane Service cannot start. Version: %1. Error:%2.\r\n");
  uint32_t error = 0;
  Format(module, 0x201, &error);
  EXPECT_EQ(error, 317u);
}

TEST(ServiceMessages, PlainTableHoldsTheThreeMessages) { ExpectServiceMessages(kServiceTable); }

TEST(ServiceMessages, CompiledTableHoldsTheSameMessages) {
  if (kServiceDll.empty())
    GTEST_SKIP() << "the mingw-w64 message tools were not found at build time";
  ExpectServiceMessages(kServiceDll);
}

TEST(ServiceMessages, AnExecutableGivenThemCarriesThem) {
  std::u16string self;
  ASSERT_EQ(ExecutablePath(self), 0u);
  ExpectServiceMessages(self);
}

std::vector<uint8_t> ReadBytes(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every message of a module, formatted by the module capability (on Windows
// the system's own formatting) and by the portable table reader, must agree.
void ExpectReaderAgreesWithModule(const char* path) {
  const std::vector<uint8_t> image = ReadBytes(path);
  ASSERT_FALSE(image.empty()) << path;
  std::vector<uint8_t> table;
  ASSERT_EQ(msgtable::ReadPeMessageTable(msgtable::MemorySource(image), table), 0u);
  MessageModule module;
  ASSERT_EQ(module.Load(Utf8ToUtf16(path)), 0u);
  const auto le32 = [&table](size_t at) {
    return table[at] | (table[at + 1] << 8) | (table[at + 2] << 16) |
           (static_cast<uint32_t>(table[at + 3]) << 24);
  };
  size_t compared = 0;
  for (uint32_t b = 0; b < le32(0); ++b) {
    for (uint64_t id = le32(4 + 12 * b); id <= le32(8 + 12 * b); ++id) {
      std::u16string raw;
      std::u16string expected;
      ASSERT_EQ(msgtable::FindMessage(table, static_cast<uint32_t>(id), raw), 0u) << id;
      if (msgtable::ApplyEscapes(raw, expected) != 0) continue;  // ends with a lone "%"
      EXPECT_EQ(Format(module, static_cast<uint32_t>(id)), expected) << id;
      ++compared;
    }
  }
  EXPECT_GT(compared, 0u);
}

TEST(MessageDll, TableReaderAgreesWithTheModuleOnEveryMessage) {
  if (kTestDll.empty()) GTEST_SKIP() << "the mingw-w64 message tools were not found at build time";
  ExpectReaderAgreesWithModule(Utf16ToUtf8(kTestDll).c_str());
  ExpectReaderAgreesWithModule(Utf16ToUtf8(kServiceDll).c_str());
}

TEST(MessageDll, TableReaderAgreesWithTheModuleOnASystemModule) {
  if (kSystemModule[0] == 0 || ReadBytes(kSystemModule).empty()) {
    GTEST_SKIP() << "no system message module at " << kSystemModule;
  }
  ExpectReaderAgreesWithModule(kSystemModule);
}

TEST(SystemMessages, KnownCodesHaveTextsEndingInALineBreak) {
  for (uint32_t code : {2u, 5u, 87u, 1722u, 10061u}) {
    std::u16string text;
    ASSERT_EQ(FormatSystemMessage(code, true, text), 0u) << code;
    ASSERT_GT(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), u"\r\n") << code;
  }
  std::u16string text;
  EXPECT_EQ(FormatSystemMessage(0x2BADF00Du, true, text), 317u);
  EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace cvn::platform
