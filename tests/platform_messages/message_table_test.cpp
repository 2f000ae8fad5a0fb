// The portable readers of message tables: the table blob, escapes, the plain
// file format and the PE resource walk, including broken inputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pe_builder.h"
#include "platform/message_table.h"

namespace cvn::platform::msgtable {
namespace {

using cvn::testing::BuildMessageTable;
using cvn::testing::BuildPeImage;
using cvn::testing::Put16;
using cvn::testing::Put32;
using cvn::testing::Xorshift;

std::u16string Find(const std::vector<uint8_t>& table, uint32_t id, uint32_t* error = nullptr) {
  std::u16string text;
  const uint32_t result = FindMessage(table, id, text);
  if (error != nullptr) *error = result;
  return text;
}

TEST(MessageTableBlob, FindsIdsAcrossBlocksAndStopsAtTheNul) {
  const auto table = BuildMessageTable(
      {{1, u"one"}, {2, u"two\r\n"}, {3, u"three"}, {0x40000201, u"far"}, {0xFFFFFFFF, u"last"}});
  EXPECT_EQ(Find(table, 1), u"one");
  EXPECT_EQ(Find(table, 2), u"two\r\n");
  EXPECT_EQ(Find(table, 3), u"three");
  EXPECT_EQ(Find(table, 0x40000201), u"far");
  EXPECT_EQ(Find(table, 0xFFFFFFFF), u"last");
  uint32_t error = 0;
  EXPECT_EQ(Find(table, 4, &error), u"");
  EXPECT_EQ(error, kErrorMessageNotFound);
  Find(table, 0, &error);
  EXPECT_EQ(error, kErrorMessageNotFound);
}

TEST(MessageTableBlob, DecodesAnsiAndUtf8Entries) {
  // One block, ids 7 and 8: an ANSI entry (code page 1252) and a UTF-8 one.
  std::vector<uint8_t> table;
  Put32(table, 0, 1);
  Put32(table, 4, 7);
  Put32(table, 8, 8);
  Put32(table, 12, 16);
  Put16(table, 16, 12);
  Put16(table, 18, 0);
  const uint8_t ansi[] = {'C', 'a', 'f', 0xE9, 0, 0, 0, 0};
  table.insert(table.end(), ansi, ansi + 8);
  Put16(table, 28, 12);
  Put16(table, 30, 2);
  const uint8_t utf8[] = {'C', 'a', 'f', 0xC3, 0xA9, 0, 0, 0};
  table.insert(table.end(), utf8, utf8 + 8);
  EXPECT_EQ(Find(table, 7), u"Caf\u00e9");
  EXPECT_EQ(Find(table, 8), u"Caf\u00e9");
}

TEST(MessageTableBlob, CorruptedTablesFailInsteadOfReadingPastTheEnd) {
  const auto good = BuildMessageTable({{10, u"a"}, {11, u"b"}, {12, u"c"}});
  uint32_t error = 0;

  auto many_blocks = good;
  Put32(many_blocks, 0, 0x10000000);
  Find(many_blocks, 11, &error);
  EXPECT_EQ(error, kErrorInvalidData);

  auto zero_length = good;  // would loop for ever if a length of 0 were taken
  Put16(zero_length, 16, 0);
  Find(zero_length, 12, &error);
  EXPECT_EQ(error, kErrorInvalidData);

  auto long_entry = good;
  Put16(long_entry, 16, 0xFFF0);
  Find(long_entry, 10, &error);
  EXPECT_EQ(error, kErrorInvalidData);

  auto far_offset = good;
  Put32(far_offset, 12, 0xFFFFFFF0u);
  Find(far_offset, 10, &error);
  EXPECT_EQ(error, kErrorInvalidData);

  auto wide_block = good;  // a block that claims ids beyond its entries
  Put32(wide_block, 8, 0xFFFFFFFFu);
  Find(wide_block, 0x7FFFFFFF, &error);
  EXPECT_EQ(error, kErrorInvalidData);

  Find(std::vector<uint8_t>{1, 0}, 1, &error);
  EXPECT_EQ(error, kErrorInvalidData);
}

std::u16string Escaped(std::u16string_view raw, uint32_t* error = nullptr) {
  std::u16string out;
  const uint32_t result = ApplyEscapes(raw, out);
  if (error != nullptr) *error = result;
  return out;
}

TEST(MessageEscapes, InsertsStayAndLineEscapesApplyAsTheSystemDoes) {
  EXPECT_EQ(Escaped(u"Started. Version: %1.\r\n"), u"Started. Version: %1.\r\n");
  EXPECT_EQ(Escaped(u"%1 and %10 and %1!s! stay"), u"%1 and %10 and %1!s! stay");
  EXPECT_EQ(Escaped(u"100%% sure, %. %! % x %q"), u"100%% sure, %. %! % x %q");
  EXPECT_EQ(Escaped(u"a%nb%rc%td"), u"a\r\nb\rc\td");
  EXPECT_EQ(Escaped(u"cut here%0 not this\r\n"), u"cut here");
  EXPECT_EQ(Escaped(u"lf\nonly\rcr\r\nboth"), u"lf\r\nonly\r\ncr\r\nboth");
  EXPECT_EQ(Escaped(u"%\r\nx"), u"%\r\nx");
  uint32_t error = 0;
  EXPECT_EQ(Escaped(u"ends with %", &error), u"");
  EXPECT_EQ(error, 87u);
}

TEST(PlainMessageTable, ParsesMessagesWithCrLfTexts) {
  const std::string file =
      "\xEF\xBB\xBF"
      "CVN-MESSAGE-TABLE 1\r\n"
      "; comment\r\n"
      "\r\n"
      "MessageId=0x40000201\r\n"
      "Started. Version: %1.\r\n"
      ".\r\n"
      "messageid=17\n"
      "Line one\n"
      "%.\n"
      "Caf\xC3\xA9%0\n"
      ".\n";
  std::map<uint32_t, std::u16string> messages;
  ASSERT_EQ(ParsePlainTable(file, messages), 0u);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0x40000201], u"Started. Version: %1.\r\n");
  EXPECT_EQ(messages[17], u"Line one\r\n%.\r\nCaf\u00e9%0\r\n");
  std::u16string out;
  ApplyEscapes(messages[17], out);
  // "%." is the message compiler's way to write a line "."; with inserts
  // ignored it stays as written, as in compiled tables.
  EXPECT_EQ(out, u"Line one\r\n%.\r\nCaf\u00e9");
}

TEST(PlainMessageTable, RejectsBrokenFilesWithTheLine) {
  const struct {
    const char* text;
    uint32_t line;
  } cases[] = {
      {"CVN-MESSAGE-TABLE 2\n", 1},
      {"CVN-MESSAGE-TABLE 1\nMessageId=1\ntext\n", 3},                       // no closing "."
      {"CVN-MESSAGE-TABLE 1\nMessageId=1\na\n.\nMessageId=0x1\nb\n.\n", 7},  // twice
      {"CVN-MESSAGE-TABLE 1\nMessageId=0x100000000\n.\n", 2},                // beyond 32 bits
      {"CVN-MESSAGE-TABLE 1\nMessageId=12z\n.\n", 2},
      {"CVN-MESSAGE-TABLE 1\nstray text\n", 2},
      {"", 0},
  };
  for (const auto& c : cases) {
    std::map<uint32_t, std::u16string> messages;
    uint32_t line = 99;
    EXPECT_EQ(ParsePlainTable(c.text, messages, &line), kErrorInvalidData) << c.text;
    EXPECT_EQ(line, c.line) << c.text;
    EXPECT_TRUE(messages.empty());
  }
}

uint32_t ReadTable(const std::vector<uint8_t>& image, std::vector<uint8_t>& table) {
  MemorySource source(image);
  return ReadPeMessageTable(source, table);
}

TEST(PeMessageTable, ReadsPe32AndPe32PlusImages) {
  const auto table = BuildMessageTable({{0x40000201, u"Started %1.\r\n"}});
  for (bool plus : {false, true}) {
    std::vector<uint8_t> found;
    ASSERT_EQ(ReadTable(BuildPeImage(plus, {{0x409, table}}), found), 0u) << plus;
    EXPECT_EQ(found, table);
    EXPECT_EQ(Find(found, 0x40000201), u"Started %1.\r\n");
  }
}

TEST(PeMessageTable, PrefersNeutralThenEnglishThenTheFirstLanguage) {
  const auto german = BuildMessageTable({{1, u"Deutsch"}});
  const auto english = BuildMessageTable({{1, u"English"}});
  const auto neutral = BuildMessageTable({{1, u"Neutral"}});
  std::vector<uint8_t> found;
  ASSERT_EQ(ReadTable(BuildPeImage(true, {{0x407, german}, {0x409, english}}), found), 0u);
  EXPECT_EQ(Find(found, 1), u"English");
  ASSERT_EQ(ReadTable(BuildPeImage(true, {{0x407, german}, {0x409, english}, {0, neutral}}), found),
            0u);
  EXPECT_EQ(Find(found, 1), u"Neutral");
  ASSERT_EQ(ReadTable(BuildPeImage(true, {{0x407, german}}), found), 0u);
  EXPECT_EQ(Find(found, 1), u"Deutsch");
}

TEST(PeMessageTable, TellsWhatIsMissing) {
  const auto table = BuildMessageTable({{1, u"x"}});
  std::vector<uint8_t> found;
  EXPECT_EQ(ReadTable(BuildPeImage(true, {{0x409, table}}, 16), found), kErrorResourceTypeNotFound);
  EXPECT_EQ(ReadTable(BuildPeImage(true, {{0x409, table}}, 11, 2), found),
            kErrorResourceNameNotFound);
  EXPECT_EQ(ReadTable(BuildPeImage(true, {}), found), kErrorResourceLangNotFound);

  auto no_resources = BuildPeImage(false, {{0x409, table}});
  Put32(no_resources, 0x44 + 20 + 92 + 4 + 16, 0);  // resource directory RVA of a PE32
  EXPECT_EQ(ReadTable(no_resources, found), kErrorResourceDataNotFound);

  EXPECT_EQ(ReadTable({'M', 'Z'}, found), kErrorBadExeFormat);
  std::vector<uint8_t> elf = {0x7F, 'E', 'L', 'F', 2, 1, 1, 0};
  elf.resize(512);
  EXPECT_EQ(ReadTable(elf, found), kErrorBadExeFormat);
  auto bad_magic = BuildPeImage(true, {{0x409, table}});
  Put16(bad_magic, 0x44 + 20, 0x107);
  EXPECT_EQ(ReadTable(bad_magic, found), kErrorBadExeFormat);
}

// Reads the table of an image and looks up a few ids; the point is that
// nothing reads outside the image whatever the bytes say.
void Exercise(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> table;
  if (ReadTable(image, table) == 0) {
    std::u16string text;
    for (uint32_t id : {0u, 1u, 2u, 1000u, 0x40000201u, 0xFFFFFFFFu}) FindMessage(table, id, text);
  }
}

TEST(PeMessageTable, TruncatedImagesNeverReadPastTheEnd) {
  const auto image =
      BuildPeImage(false, {{0x407, BuildMessageTable({{1, u"a"}, {2, u"b"}})},
                           {0x409, BuildMessageTable({{1, u"one"}, {2, u"two"}, {1000, u"k"}})}});
  for (size_t size = 0; size < image.size(); ++size) {
    std::vector<uint8_t> cut(image.begin(), image.begin() + size);
    cut.shrink_to_fit();
    Exercise(cut);
  }
}

TEST(PeMessageTable, MutatedImagesNeverReadPastTheEnd) {
  const auto image = BuildPeImage(
      true, {{0x409, BuildMessageTable({{1, u"one"}, {2, u"two"}, {0x40000201, u"x%1"}})}});
  const uint32_t interesting[] = {0, 1, 0xFF, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 0x1000, 0x200};
  Xorshift random(20261209);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> mutated = image;
    const int changes = 1 + random.Below(4);
    for (int c = 0; c < changes; ++c) {
      // Aim most changes at the headers and the resource directory.
      const uint32_t limit = random.Below(4) == 0 ? static_cast<uint32_t>(mutated.size()) : 0x2C0;
      const uint32_t at = random.Below(limit - 4);
      if (random.Below(2) == 0) {
        mutated[at] = static_cast<uint8_t>(random.Next());
      } else {
        Put32(mutated, at, interesting[random.Below(std::size(interesting))]);
      }
    }
    Exercise(mutated);
  }
}

}  // namespace
}  // namespace cvn::platform::msgtable
