// Decoding of raw records by BuildEventRecord: the fields, and malformed
// records that must fail (or leave the user empty) without reading outside
// the record.
#include <gtest/gtest.h>

#include "events/message_renderer.h"
#include "platform/accounts.h"
#include "raw_record.h"
#include "support/temp_dir.h"

namespace cvn {
namespace {

using testing::GetRaw32;
using testing::RawRecord;
using testing::SetRaw16;
using testing::SetRaw32;

class BuildEventRecordTest : public ::testing::Test {
 protected:
  // Builds from an exact-size heap copy, so any read past the record is
  // caught by the address sanitizer.
  int Build(const std::vector<uint8_t>& raw, SEventRecord& record) {
    std::vector<uint8_t> copy(raw);
    copy.shrink_to_fit();
    return renderer_.BuildEventRecord(record, copy, u"Application");
  }

  cvn::testing::ScopedMachineRoot root_;
  CMessageRenderer renderer_{CMessageRenderer::PublisherFormatter()};
};

platform::SidBytes Sid(const char16_t* text) {
  platform::SidBytes sid;
  EXPECT_TRUE(platform::StringToSid(text, sid));
  return sid;
}

TEST_F(BuildEventRecordTest, CopiesTheFieldsOfAWellFormedRecord) {
  RawRecord raw;
  raw.eventId = 0xC0000005;
  raw.strings = {u"a"};
  SEventRecord record;
  ASSERT_EQ(Build(raw.Build(), record), 0);
  EXPECT_EQ(record.recordNumber, 7u);
  EXPECT_EQ(record.timeGenerated, 1700000000u);
  EXPECT_EQ(record.timeWritten, 1700000001u);
  EXPECT_EQ(record.eventId, 0xC0000005u);
  EXPECT_EQ(record.eventType, 4);
  EXPECT_EQ(record.category, 3);
  EXPECT_EQ(record.source, u"Src");
  EXPECT_EQ(record.computer, u"HOST");
  EXPECT_EQ(record.logName, u"Application");
  EXPECT_EQ(record.user, u"");
  EXPECT_EQ(record.categoryText, u"");
  EXPECT_FALSE(record.description.empty());
}

TEST_F(BuildEventRecordTest, NormalizesTheEventType) {
  const std::pair<uint16_t, uint16_t> cases[] = {{0, 4}, {1, 1},   {2, 2}, {4, 4},
                                                 {8, 8}, {16, 16}, {3, 1}, {32, 1}};
  for (const auto& [raw_type, expected] : cases) {
    RawRecord raw;
    raw.eventType = raw_type;
    SEventRecord record;
    ASSERT_EQ(Build(raw.Build(), record), 0);
    EXPECT_EQ(record.eventType, expected) << raw_type;
  }
}

TEST_F(BuildEventRecordTest, MalformedRecordsFail) {
  const std::vector<uint8_t> good = RawRecord().Build();
  SEventRecord record;

  auto short_length = good;  // Length 55
  SetRaw32(short_length, testing::kRawLength, 55);
  EXPECT_EQ(Build(short_length, record), -1);

  // A buffer shorter than the fixed part, and one shorter than its Length.
  EXPECT_EQ(Build(std::vector<uint8_t>(good.begin(), good.begin() + 55), record), -1);
  auto long_length = good;
  SetRaw32(long_length, testing::kRawLength, static_cast<uint32_t>(good.size() + 4));
  EXPECT_EQ(Build(long_length, record), -1);

  // The source name runs to the end without a NUL.
  RawRecord no_nul;
  no_nul.source = u"Source";
  no_nul.computer = u"";
  auto source = no_nul.Build();
  SetRaw32(source, testing::kRawLength, 56 + 12);
  source.resize(56 + 12);
  EXPECT_EQ(Build(source, record), -1);
  EXPECT_EQ(record.source, u"");

  // The computer name lacks its NUL before the end.
  auto computer = good;
  const uint32_t cut = 56 + 8 + 6;  // "Src\0" then "HOS"
  SetRaw32(computer, testing::kRawLength, cut);
  computer.resize(cut);
  record = SEventRecord();
  EXPECT_EQ(Build(computer, record), -1);
  EXPECT_EQ(record.source, u"Src");  // set before the failure
  EXPECT_EQ(record.recordNumber, 7u);

  // The source NUL is the last thing in the record: no room for a computer.
  std::vector<uint8_t> only_source(good.begin(), good.begin() + 64);
  SetRaw32(only_source, testing::kRawLength, 64);
  EXPECT_EQ(Build(only_source, record), -1);
}

TEST_F(BuildEventRecordTest, ResolvesTheUserSidToTheAccountNameAlone) {
  RawRecord raw;
  raw.sid = Sid(u"S-1-5-18");
  SEventRecord record;
  ASSERT_EQ(Build(raw.Build(), record), 0);
  EXPECT_EQ(record.user, u"SYSTEM");

  raw.sid = Sid(u"S-1-5-21-1-2-3-4000");  // no such account
  record = SEventRecord();
  ASSERT_EQ(Build(raw.Build(), record), 0);
  EXPECT_EQ(record.user, u"");
}

TEST_F(BuildEventRecordTest, ABadSidLeavesTheUserEmpty) {
  RawRecord raw;
  raw.sid = Sid(u"S-1-5-18");
  const auto good = raw.Build();
  const uint32_t sid_offset = GetRaw32(good, testing::kRawUserSidOffset);
  SEventRecord record;

  auto no_sid = good;
  SetRaw32(no_sid, testing::kRawUserSidLength, 0);
  ASSERT_EQ(Build(no_sid, record), 0);
  EXPECT_EQ(record.user, u"");

  auto past_end = good;  // the SID would reach past Length
  SetRaw32(past_end, testing::kRawUserSidOffset, static_cast<uint32_t>(good.size()) - 8);
  record = SEventRecord();
  ASSERT_EQ(Build(past_end, record), 0);
  EXPECT_EQ(record.user, u"");

  auto wrapping = good;  // offset + length wraps around 32 bits
  SetRaw32(wrapping, testing::kRawUserSidOffset, 0xFFFFFFF8u);
  SetRaw32(wrapping, testing::kRawUserSidLength, 0x10);
  record = SEventRecord();
  ASSERT_EQ(Build(wrapping, record), 0);
  EXPECT_EQ(record.user, u"");

  auto too_many_parts = good;  // the SID claims more sub-authorities than its length holds
  too_many_parts[sid_offset + 1] = 15;
  record = SEventRecord();
  ASSERT_EQ(Build(too_many_parts, record), 0);
  EXPECT_EQ(record.user, u"");
}

TEST_F(BuildEventRecordTest, InsertionStringsEndAtTheDataOrBeforeTheClosingLength) {
  RawRecord raw;
  raw.strings = {u"one", u"two", u"three"};
  raw.data = {1, 2, 3, 4};
  auto bytes = raw.Build();
  std::vector<uint8_t> copy(bytes);
  EXPECT_EQ(ReadInsertionStrings(copy, static_cast<uint32_t>(copy.size())),
            (std::vector<std::u16string>{u"one", u"two", u"three"}));

  // More strings claimed than present: the list ends at the data.
  SetRaw16(copy, testing::kRawNumStrings, 9);
  EXPECT_EQ(ReadInsertionStrings(copy, static_cast<uint32_t>(copy.size())).size(), 3u);

  // Data that begins inside "three" cuts the list before it.
  const uint32_t strings_at = GetRaw32(copy, testing::kRawStringOffset);
  SetRaw32(copy, testing::kRawDataOffset, strings_at + 8 + 8 + 4);
  EXPECT_EQ(ReadInsertionStrings(copy, static_cast<uint32_t>(copy.size())),
            (std::vector<std::u16string>{u"one", u"two"}));

  // Data offset beyond Length - 4 is ignored: the limit is Length - 4.
  SetRaw32(copy, testing::kRawDataOffset, static_cast<uint32_t>(copy.size()));
  EXPECT_EQ(ReadInsertionStrings(copy, static_cast<uint32_t>(copy.size())).size(), 3u);

  // Strings that start past the end give none.
  SetRaw32(copy, testing::kRawStringOffset, 0xFFFFFFF0u);
  EXPECT_TRUE(ReadInsertionStrings(copy, static_cast<uint32_t>(copy.size())).empty());
}

TEST_F(BuildEventRecordTest, MutatedRecordsNeverReadOutsideTheBuffer) {
  RawRecord raw;
  raw.sid = Sid(u"S-1-5-32-544");
  raw.strings = {u"S-1-5-18", u"%%1537", u"plain"};
  raw.data = {9, 9, 9};
  const auto good = raw.Build();
  const uint32_t interesting[] = {0,
                                  1,
                                  55,
                                  56,
                                  0x7FFFFFFF,
                                  0x80000000u,
                                  0xFFFFFFFFu,
                                  static_cast<uint32_t>(good.size()),
                                  static_cast<uint32_t>(good.size()) - 4};
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  int built = 0;
  for (int round = 0; round < 4000; ++round) {
    auto mutated = good;
    const int changes = 1 + static_cast<int>(next() % 3);
    for (int c = 0; c < changes; ++c) {
      const size_t at = next() % (mutated.size() - 3);
      if (next() % 2 == 0) {
        mutated[at] = static_cast<uint8_t>(next());
      } else {
        SetRaw32(mutated, at & ~size_t{3}, interesting[next() % std::size(interesting)]);
      }
    }
    if (next() % 8 == 0) mutated.resize(next() % mutated.size());
    SEventRecord record;
    const int result = Build(mutated, record);
    ASSERT_TRUE(result == 0 || result == -1);
    if (result == 0) {
      ++built;
      EXPECT_FALSE(record.description.empty());
    }
  }
  EXPECT_GT(built, 0);
}

}  // namespace
}  // namespace cvn
