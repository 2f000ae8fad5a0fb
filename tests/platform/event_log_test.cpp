// Contract tests of the classic event log: numbering, reading, size limit,
// clearing, notification and writers in several processes; and, where the log
// is a file of ours, damaged files and saved copies.
#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/registry.h"
#include "platform_eventlog/process_helper.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

constexpr uint32_t kNotifyWaitMs = 10000;
constexpr uint32_t kBackwards = kEventLogSequentialRead | kEventLogBackwardsRead;

// A raw record taken apart again, checking every offset on the way.
struct Decoded {
  EventLogRecordHeader h{};
  std::u16string source;
  std::u16string computer;
  std::vector<uint8_t> sid;
  std::vector<std::u16string> strings;
  std::vector<uint8_t> data;
};

std::u16string TextAt(const uint8_t* p, size_t size, size_t& offset) {
  std::u16string out;
  for (; offset + 1 < size; offset += 2) {
    const char16_t c = static_cast<char16_t>(p[offset] | (p[offset + 1] << 8));
    if (c == 0) {
      offset += 2;
      return out;
    }
    out += c;
  }
  ADD_FAILURE() << "text without terminator";
  return out;
}

Decoded Decode(const uint8_t* p, size_t size) {
  Decoded d;
  EXPECT_GE(size, kEventLogRecordFixedSize + 4u);
  std::memcpy(&d.h, p, sizeof d.h);
  EXPECT_EQ(d.h.Reserved, kEventLogSignature);
  EXPECT_EQ(d.h.Length, size);
  EXPECT_EQ(d.h.Length % 4, 0u);
  uint32_t copy = 0;
  std::memcpy(&copy, p + size - 4, 4);
  EXPECT_EQ(copy, d.h.Length);
  size_t offset = kEventLogRecordFixedSize;
  d.source = TextAt(p, size, offset);
  d.computer = TextAt(p, size, offset);
  EXPECT_LE(d.h.UserSidOffset + d.h.UserSidLength, size);
  d.sid.assign(p + d.h.UserSidOffset, p + d.h.UserSidOffset + d.h.UserSidLength);
  offset = d.h.StringOffset;
  for (int i = 0; i < d.h.NumStrings; ++i) d.strings.push_back(TextAt(p, size, offset));
  EXPECT_LE(d.h.DataOffset + d.h.DataLength, size - 4);
  d.data.assign(p + d.h.DataOffset, p + d.h.DataOffset + d.h.DataLength);
  return d;
}

// Reads every record left on the handle, newest first.
uint32_t ReadAll(EventLog& log, std::vector<Decoded>& out, uint32_t flags = kBackwards) {
  std::vector<uint8_t> buffer(0x10000);
  for (;;) {
    uint32_t read = 0;
    uint32_t needed = 0;
    const uint32_t result =
        log.Read(flags, 0, buffer.data(), static_cast<uint32_t>(buffer.size()), read, needed);
    if (result == err::kInsufficientBuffer) {
      buffer.resize(needed);
      continue;
    }
    if (result != 0) return result;
    for (uint32_t pos = 0; pos < read;) {
      uint32_t length = 0;
      std::memcpy(&length, buffer.data() + pos, 4);
      out.push_back(Decode(buffer.data() + pos, length));
      pos += length;
    }
  }
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_name_ =
        u"CvnTest" + Utf8ToUtf16(::testing::UnitTest::GetInstance()->current_test_info()->name());
    source_ = log_name_ + u"Source";
    DeleteEventLog(log_name_);
  }
  void TearDown() override { DeleteEventLog(log_name_); }

  // Creates the log and its source; false (and the test is skipped) when the
  // system only pretends to keep event logs, as Wine does.
  bool MakeLog(uint32_t max_size = 0) {
    EXPECT_EQ(CreateEventLog(log_name_, max_size), 0u);
    EventSourceRegistration registration;
    registration.event_message_file = u"%SystemRoot%\\msg.dll";
    EXPECT_EQ(AddEventSource(log_name_, source_, registration), 0u);
    EventSource probe;
    EXPECT_EQ(probe.Register(source_), 0u);
    EXPECT_EQ(probe.Report(kEventTypeInformation, 0, 1, {}, {}, {}), 0u);
    EventLog log;
    uint32_t count = 0;
    if (log.Open(log_name_) != 0 || log.GetCount(count) != 0 || count == 0) return false;
    EXPECT_EQ(ClearEventLog(log_name_), 0u);
    return true;
  }

  // The log's file when the log is kept in a file of ours.
  std::filesystem::path StoreFile() const {
    return machine_root_.dir().path() / "Windows" / "System32" / "config" /
           (Utf16ToUtf8(log_name_) + ".evt");
  }

  uint32_t Report(uint32_t id, std::vector<std::u16string> strings = {},
                  std::vector<uint8_t> data = {}, std::vector<uint8_t> sid = {}) {
    EventSource source;
    const uint32_t result = source.Register(source_);
    if (result != 0) return result;
    return source.Report(kEventTypeWarning, 3, id, sid, strings, data);
  }

  testing::ScopedMachineRoot machine_root_;
  std::u16string log_name_;
  std::u16string source_;
};

#define REQUIRE_REAL_EVENT_LOG(...)                                                            \
  if (!MakeLog(__VA_ARGS__)) {                                                                 \
    GTEST_SKIP() << "reported events never show up: this system only stubs the classic event " \
                    "log (Wine); the posix store carries these tests";                         \
  }

TEST_F(EventLogTest, RecordsAreNumberedFromOneAndReadNewestFirst) {
  REQUIRE_REAL_EVENT_LOG();
  const std::vector<uint8_t> sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
  ASSERT_EQ(Report(0xC0000203u, {u"3.2.3", u"\u00e9t\u00e9"}, {1, 2, 3}, sid), 0u);
  ASSERT_EQ(Report(2), 0u);
  ASSERT_EQ(Report(3, {u""}), 0u);

  EventLog log;
  ASSERT_EQ(log.Open(log_name_), 0u);
  uint32_t count = 0;
  uint32_t oldest = 0;
  ASSERT_EQ(log.GetCount(count), 0u);
  ASSERT_EQ(log.GetOldest(oldest), 0u);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(oldest, 1u);

  std::vector<Decoded> records;
  EXPECT_EQ(ReadAll(log, records), err::kHandleEof);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].h.RecordNumber, 3u);
  EXPECT_EQ(records[2].h.RecordNumber, 1u);
  const Decoded& first = records[2];
  EXPECT_EQ(first.h.EventID, 0xC0000203u);
  EXPECT_EQ(first.h.EventType, kEventTypeWarning);
  EXPECT_EQ(first.h.EventCategory, 3u);
  EXPECT_EQ(first.source, source_);
  EXPECT_FALSE(first.computer.empty());
  EXPECT_EQ(first.sid, sid);
  EXPECT_EQ(first.h.UserSidOffset % 4, 0u);
  EXPECT_EQ(first.strings, (std::vector<std::u16string>{u"3.2.3", u"\u00e9t\u00e9"}));
  EXPECT_EQ(first.data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_NE(first.h.TimeGenerated, 0u);
  EXPECT_EQ(records[0].strings, std::vector<std::u16string>{u""});
  EXPECT_TRUE(records[1].sid.empty());

  // Forwards from the oldest, and a seek to one record.
  EventLog forwards;
  ASSERT_EQ(forwards.Open(log_name_), 0u);
  records.clear();
  EXPECT_EQ(ReadAll(forwards, records, kEventLogSequentialRead | kEventLogForwardsRead),
            err::kHandleEof);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].h.RecordNumber, 1u);
  std::vector<uint8_t> buffer(4096);
  uint32_t read = 0;
  uint32_t needed = 0;
  ASSERT_EQ(forwards.Read(kEventLogSeekRead | kEventLogBackwardsRead, 2, buffer.data(), 4096, read,
                          needed),
            0u);
  ASSERT_GE(read, 4u);
  uint32_t length = 0;
  std::memcpy(&length, buffer.data(), 4);
  ASSERT_EQ(Decode(buffer.data(), length).h.RecordNumber, 2u);  // backwards from 2: 2, then 1
  EXPECT_EQ(Decode(buffer.data() + length, read - length).h.RecordNumber, 1u);
}

TEST_F(EventLogTest, SmallBufferGetsTheNeededSizeAndTheReadGoesOn) {
  REQUIRE_REAL_EVENT_LOG();
  for (uint32_t id = 1; id <= 3; ++id) ASSERT_EQ(Report(id, {std::u16string(id * 10, u'x')}), 0u);
  EventLog log;
  ASSERT_EQ(log.Open(log_name_), 0u);
  std::vector<uint8_t> buffer(0x10000);
  uint32_t read = 0;
  uint32_t needed = 0;
  ASSERT_EQ(log.Read(kBackwards, 0, buffer.data(), 16, read, needed), err::kInsufficientBuffer);
  EXPECT_EQ(read, 0u);
  ASSERT_GT(needed, kEventLogRecordFixedSize);
  // Exactly the needed size reads the newest record alone; nothing was skipped.
  ASSERT_EQ(log.Read(kBackwards, 0, buffer.data(), needed, read, needed), 0u);
  EXPECT_EQ(Decode(buffer.data(), read).h.RecordNumber, 3u);
  ASSERT_EQ(log.Read(kBackwards, 0, buffer.data(), 0x10000, read, needed), 0u);
  uint32_t length_two = 0;
  std::memcpy(&length_two, buffer.data(), 4);
  ASSERT_LT(length_two, read);
  EXPECT_EQ(Decode(buffer.data(), length_two).h.RecordNumber, 2u);
  EXPECT_EQ(Decode(buffer.data() + length_two, read - length_two).h.RecordNumber, 1u);
  EXPECT_EQ(log.Read(kBackwards, 0, buffer.data(), 0x10000, read, needed), err::kHandleEof);
  EXPECT_EQ(log.Read(kBackwards, 0, buffer.data(), 0x10000, read, needed), err::kHandleEof);
}

TEST_F(EventLogTest, RecordLargerThan64KiB) {
  REQUIRE_REAL_EVENT_LOG();
  const std::vector<std::u16string> strings = {
      std::u16string(30000, u'a'), std::u16string(30000, u'b'), std::u16string(10000, u'c')};
  ASSERT_EQ(Report(7, strings), 0u);
  EventLog log;
  ASSERT_EQ(log.Open(log_name_), 0u);
  std::vector<uint8_t> buffer(0x10000);
  uint32_t read = 0;
  uint32_t needed = 0;
  ASSERT_EQ(log.Read(kBackwards, 0, buffer.data(), 0x10000, read, needed),
            err::kInsufficientBuffer);
  ASSERT_GT(needed, 0x10000u);
  buffer.resize(needed);
  ASSERT_EQ(log.Read(kBackwards, 0, buffer.data(), needed, read, needed), 0u);
  EXPECT_EQ(Decode(buffer.data(), read).strings, strings);
}

TEST_F(EventLogTest, FullLogDropsItsOldestRecords) {
  REQUIRE_REAL_EVENT_LOG(64 * 1024);
  constexpr uint32_t kRecords = 300;  // about 3 times what fits
  for (uint32_t id = 1; id <= kRecords; ++id) {
    ASSERT_EQ(
        Report(id, {u"record", std::u16string(200, u'z')}, std::vector<uint8_t>(id % 7, 0xAB)), 0u);
  }
  EventLog log;
  ASSERT_EQ(log.Open(log_name_), 0u);
  uint32_t count = 0;
  uint32_t oldest = 0;
  ASSERT_EQ(log.GetCount(count), 0u);
  ASSERT_EQ(log.GetOldest(oldest), 0u);
  EXPECT_LT(count, kRecords);
  EXPECT_GT(count, 50u);
  EXPECT_EQ(oldest + count - 1, kRecords);
  std::vector<Decoded> records;
  EXPECT_EQ(ReadAll(log, records), err::kHandleEof);
  ASSERT_EQ(records.size(), count);
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_EQ(records[i].h.RecordNumber, kRecords - i);
    EXPECT_EQ(records[i].h.EventID, kRecords - i);  // each record intact after the wrap
    EXPECT_EQ(records[i].data.size(), (kRecords - i) % 7);
  }
}

TEST_F(EventLogTest, ClearingRestartsNumberingAndFailsOlderHandles) {
  REQUIRE_REAL_EVENT_LOG();
  for (uint32_t id = 1; id <= 5; ++id) ASSERT_EQ(Report(id), 0u);
  EventLog before;
  ASSERT_EQ(before.Open(log_name_), 0u);
  std::vector<uint8_t> buffer(0x10000);
  uint32_t read = 0;
  uint32_t needed = 0;
  ASSERT_EQ(before.Read(kBackwards, 0, buffer.data(), 8, read, needed), err::kInsufficientBuffer);
  ASSERT_EQ(before.Read(kBackwards, 0, buffer.data(), needed, read, needed), 0u);  // record 5 only

  ASSERT_EQ(ClearEventLog(log_name_), 0u);
  EXPECT_EQ(before.Read(kBackwards, 0, buffer.data(), 0x10000, read, needed), kEventLogFileChanged);
  EXPECT_EQ(before.Read(kBackwards, 0, buffer.data(), 0x10000, read, needed), kEventLogFileChanged);

  EventLog after;
  ASSERT_EQ(after.Open(log_name_), 0u);
  uint32_t count = 1;
  ASSERT_EQ(after.GetCount(count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(after.Read(kBackwards, 0, buffer.data(), 0x10000, read, needed), err::kHandleEof);
  ASSERT_EQ(Report(42), 0u);
  uint32_t oldest = 0;
  ASSERT_EQ(after.GetOldest(oldest), 0u);
  EXPECT_EQ(oldest, 1u);
  std::vector<Decoded> records;
  EventLog fresh;
  ASSERT_EQ(fresh.Open(log_name_), 0u);
  EXPECT_EQ(ReadAll(fresh, records), err::kHandleEof);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].h.RecordNumber, 1u);
  EXPECT_EQ(records[0].h.EventID, 42u);
}

TEST_F(EventLogTest, ClearWithBackupKeepsTheOldRecordsReadable) {
  REQUIRE_REAL_EVENT_LOG();
  for (uint32_t id = 1; id <= 4; ++id) ASSERT_EQ(Report(id), 0u);
  testing::TempDir backup_dir;
  const std::u16string backup = backup_dir.u16() + u"/saved.evt";
  ASSERT_EQ(ClearEventLog(log_name_, backup), 0u);
  EventLog saved;
  ASSERT_EQ(saved.OpenFile(backup), 0u);
  uint32_t count = 0;
  ASSERT_EQ(saved.GetCount(count), 0u);
  EXPECT_EQ(count, 4u);
  std::vector<Decoded> records;
  EXPECT_EQ(ReadAll(saved, records), err::kHandleEof);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].h.EventID, 4u);
}

TEST_F(EventLogTest, AnotherProcessWritingWakesTheReader) {
  REQUIRE_REAL_EVENT_LOG();
  EventLog log;
  ASSERT_EQ(log.Open(log_name_), 0u);
  Event changed;
  ASSERT_EQ(log.NotifyChange(changed), 0u);
  ASSERT_EQ(testing::RunChild("report " + Utf16ToUtf8(source_) + " 1 other"), 0);
  EXPECT_TRUE(changed.Wait(kNotifyWaitMs));
  uint32_t count = 0;
  ASSERT_EQ(log.GetCount(count), 0u);
  EXPECT_EQ(count, 1u);
}

// Several processes write at once, in a log small enough to wrap meanwhile:
// the numbers stay consecutive, every record is whole and each writer's
// records keep their order.
TEST_F(EventLogTest, ConcurrentWritersInSeveralProcesses) {
  REQUIRE_REAL_EVENT_LOG(128 * 1024);
  constexpr int kWriters = 3;
  constexpr int kEach = 150;
  std::vector<std::thread> children;
  std::vector<int> exits(kWriters, -1);
  for (int w = 0; w < kWriters; ++w) {
    children.emplace_back([&, w] {
      exits[w] = testing::RunChild("report " + Utf16ToUtf8(source_) + " " + std::to_string(kEach) +
                                   " w" + std::to_string(w));
    });
  }
  EventSource own;
  ASSERT_EQ(own.Register(source_), 0u);
  for (int i = 0; i < kEach; ++i) {
    const std::u16string strings[] = {u"parent", Utf8ToUtf16(std::to_string(i))};
    ASSERT_EQ(own.Report(kEventTypeInformation, 1, 1000, {}, strings, {}), 0u);
  }
  for (auto& child : children) child.join();
  for (int exit_code : exits) ASSERT_EQ(exit_code, 0);

  EventLog log;
  ASSERT_EQ(log.Open(log_name_), 0u);
  uint32_t count = 0;
  uint32_t oldest = 0;
  ASSERT_EQ(log.GetCount(count), 0u);
  ASSERT_EQ(log.GetOldest(oldest), 0u);
  EXPECT_EQ(oldest + count - 1, static_cast<uint32_t>((kWriters + 1) * kEach));
  std::vector<Decoded> records;
  EXPECT_EQ(ReadAll(log, records), err::kHandleEof);
  ASSERT_EQ(records.size(), count);
  std::map<std::u16string, int> last_seen;  // newest first, so the numbers fall
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].h.RecordNumber, oldest + count - 1 - i);
    ASSERT_EQ(records[i].strings.size(), 2u);
    const int n = std::stoi(Utf16ToUtf8(records[i].strings[1]));
    auto [it, first] = last_seen.try_emplace(records[i].strings[0], n);
    if (!first) {
      EXPECT_EQ(n, it->second - 1) << Utf16ToUtf8(records[i].strings[0]);
      it->second = n;
    }
  }
}

TEST_F(EventLogTest, LogsExistAsRegistryKeys) {
  ASSERT_EQ(CreateEventLog(log_name_), 0u);
  std::vector<std::u16string> logs;
  ASSERT_EQ(ListEventLogs(logs), 0u);
  EXPECT_NE(std::find(logs.begin(), logs.end(), log_name_), logs.end());
  RegistryKey own_source;
  EXPECT_EQ(own_source.Open(RegistryRoot::kLocalMachine,
                            std::u16string(kEventLogKey) + u"\\" + log_name_ + u"\\" + log_name_),
            0u);
  EventSourceRegistration registration;
  registration.event_message_file = u"%SystemRoot%\\a.dll;%SystemRoot%\\b.dll";
  registration.category_message_file = u"%SystemRoot%\\a.dll";
  registration.category_count = 4;
  registration.provider_guid = u"{00000000-0000-0000-0000-000000000001}";
  ASSERT_EQ(AddEventSource(log_name_, source_, registration), 0u);
  RegistryKey source;
  ASSERT_EQ(source.Open(RegistryRoot::kLocalMachine,
                        std::u16string(kEventLogKey) + u"\\" + log_name_ + u"\\" + source_),
            0u);
  RegistryValue value;
  ASSERT_EQ(source.QueryValue(u"EventMessageFile", value), 0u);
  EXPECT_EQ(value.type, RegistryType::kExpandString);
  EXPECT_EQ(value.text, registration.event_message_file);
  uint32_t number = 0;
  ASSERT_EQ(source.QueryDword(u"TypesSupported", number), 0u);
  EXPECT_EQ(number, 7u);
  ASSERT_EQ(source.QueryDword(u"CategoryCount", number), 0u);
  EXPECT_EQ(number, 4u);
  EXPECT_EQ(source.QueryValue(u"ParameterMessageFile", value), err::kFileNotFound);
  EXPECT_EQ(AddEventSource(u"CvnNoSuchLog", source_, registration), err::kFileNotFound);

  ASSERT_EQ(DeleteEventLog(log_name_), 0u);
  ASSERT_EQ(ListEventLogs(logs), 0u);
  EXPECT_EQ(std::find(logs.begin(), logs.end(), log_name_), logs.end());
}

// ---- files of ours: damaged files and saved copies ----

class EventLogFileTest : public EventLogTest {
 protected:
  void SetUp() override {
    EventLogTest::SetUp();
    if (!MakeLog() || !std::filesystem::exists(StoreFile())) {
      GTEST_SKIP() << "the event log is not kept in a file of ours here";
    }
    for (uint32_t id = 1; id <= 20; ++id) ASSERT_EQ(Report(id, {u"text"}), 0u);
  }
};

TEST_F(EventLogFileTest, DamagedFilesGiveErrorsNotCrashes) {
  const std::string good = testing::ReadFileBytes(StoreFile());
  ASSERT_GT(good.size(), 0x30u + 0x28u);
  std::vector<std::string> damaged;
  damaged.push_back(good.substr(0, good.size() / 2));   // cut in the records
  damaged.push_back(good.substr(0, 20));                // cut in the header
  damaged.push_back(std::string(good.size(), '\x5A'));  // garbage
  std::string bad_record = good;
  std::memset(bad_record.data() + good.size() / 2, 0xFF, 64);  // a record overwritten
  damaged.push_back(bad_record);
  std::string bad_offsets = good;
  const uint32_t beyond = 0x7FFFFFF0;
  std::memcpy(bad_offsets.data() + 16, &beyond, 4);  // StartOffset outside the file
  damaged.push_back(bad_offsets);

  for (const std::string& bytes : damaged) {
    SCOPED_TRACE(bytes.size());
    testing::WriteFileBytes(StoreFile(), bytes);
    EventLog log;
    ASSERT_EQ(log.Open(log_name_), 0u);
    std::vector<Decoded> records;
    const uint32_t result = ReadAll(log, records);
    EXPECT_EQ(result, kEventLogFileCorrupt);
    for (const Decoded& record : records) EXPECT_EQ(record.h.Reserved, kEventLogSignature);
    uint32_t count = 0;
    const uint32_t count_result = log.GetCount(count);
    EXPECT_TRUE(count_result == 0 || count_result == kEventLogFileCorrupt);
    if (bytes.size() < good.size() || bytes[0] == '\x5A' || bytes == bad_offsets) {
      EXPECT_EQ(Report(99), kEventLogFileCorrupt);  // never written over
    }
  }
  // Clearing makes a damaged log usable again.
  ASSERT_EQ(ClearEventLog(log_name_), 0u);
  ASSERT_EQ(Report(1), 0u);
}

// Damage anywhere in the file: every read ends with 38 or 1500, and what it
// returned before is framed correctly (signature, length and its copy).
TEST_F(EventLogFileTest, DamageAtAnyPlaceIsCaughtOrHarmless) {
  const std::string good = testing::ReadFileBytes(StoreFile());
  for (size_t at = 0; at + 4 <= good.size(); at += 12) {
    std::string bytes = good;
    const uint32_t junk = 0x0BADF00Du ^ static_cast<uint32_t>(at);
    std::memcpy(bytes.data() + at, &junk, 4);
    testing::WriteFileBytes(StoreFile(), bytes);
    EventLog log;
    ASSERT_EQ(log.Open(log_name_), 0u);
    std::vector<uint8_t> buffer(0x10000);
    uint32_t result = 0;
    for (int reads = 0; reads < 100 && result == 0; ++reads) {
      uint32_t read = 0;
      uint32_t needed = 0;
      result = log.Read(kBackwards, 0, buffer.data(), static_cast<uint32_t>(buffer.size()), read,
                        needed);
      for (uint32_t pos = 0; result == 0 && pos < read;) {
        EventLogRecordHeader h{};
        ASSERT_LE(pos + sizeof h, read);
        std::memcpy(&h, buffer.data() + pos, sizeof h);
        ASSERT_EQ(h.Reserved, kEventLogSignature);
        ASSERT_LE(h.Length, read - pos);
        uint32_t copy = 0;
        std::memcpy(&copy, buffer.data() + pos + h.Length - 4, 4);
        ASSERT_EQ(copy, h.Length);
        pos += h.Length;
      }
    }
    EXPECT_TRUE(result == err::kHandleEof || result == kEventLogFileCorrupt)
        << "at " << at << ": " << result;
  }
}

// A log whose File value names a saved file is served from that file.
TEST_F(EventLogFileTest, LogServedFromTheFileItsKeyNames) {
  testing::TempDir dir;
  const auto copy = dir.path() / "Exported.evt";
  testing::WriteFileBytes(copy, testing::ReadFileBytes(StoreFile()));
  const std::u16string other = log_name_ + u"Copy";
  ASSERT_EQ(CreateEventLog(other), 0u);
  RegistryKey key;
  ASSERT_EQ(key.Open(RegistryRoot::kLocalMachine, std::u16string(kEventLogKey) + u"\\" + other),
            0u);
  ASSERT_EQ(key.SetExpandString(u"File", copy.u16string()), 0u);
  EventLog log;
  ASSERT_EQ(log.Open(other), 0u);
  std::vector<Decoded> records;
  EXPECT_EQ(ReadAll(log, records), err::kHandleEof);
  ASSERT_EQ(records.size(), 20u);
  EXPECT_EQ(records[19].h.EventID, 1u);
  log.Close();
  ASSERT_EQ(DeleteEventLog(other), 0u);
  EXPECT_TRUE(std::filesystem::exists(copy));  // not ours to delete
}

// A file saved while its log was open carries the dirty flag, and its header
// may be stale: the end-of-file record has the true positions.
TEST_F(EventLogFileTest, SavedFileWithStaleHeaderIsReadFromItsEndRecord) {
  std::string bytes = testing::ReadFileBytes(StoreFile());
  uint32_t header[12];
  std::memcpy(header, bytes.data(), sizeof header);
  header[5] = header[4];  // EndOffset = StartOffset: looks empty
  header[6] = 1;          // CurrentRecordNumber
  header[9] |= 1;         // dirty
  std::memcpy(bytes.data(), header, sizeof header);
  testing::TempDir dir;
  const auto copy = dir.path() / "exported.evt";
  testing::WriteFileBytes(copy, bytes);

  EventLog saved;
  ASSERT_EQ(saved.OpenFile(copy.u16string()), 0u);
  uint32_t count = 0;
  ASSERT_EQ(saved.GetCount(count), 0u);
  EXPECT_EQ(count, 20u);
  std::vector<Decoded> records;
  EXPECT_EQ(ReadAll(saved, records), err::kHandleEof);
  ASSERT_EQ(records.size(), 20u);
  EXPECT_EQ(records[0].h.EventID, 20u);
  EXPECT_EQ(saved.Clear(), err::kAccessDenied);
}

}  // namespace
}  // namespace cvn::platform
