#include "reader_fixture.h"

#include <cstring>

#include "base/text.h"
#include "core/event_log_reader.h"
#include "core_test_util.h"
#include "platform/event_log.h"
#include "platform/file.h"

namespace cvn::reader_test {

using namespace platform;

bool MakeLog(const std::u16string& name, uint32_t max_size) {
  DeleteEventLog(name);
  EXPECT_EQ(CreateEventLog(name, max_size), 0u);
  WriteRecords(name, 1);
  EventLog log;
  uint32_t count = 0;
  if (log.Open(name) != 0 || log.GetCount(count) != 0 || count == 0) return false;
  EXPECT_EQ(ClearEventLog(name), 0u);
  return true;
}

void WriteRecords(const std::u16string& name, uint32_t count, uint32_t data_size, uint16_t type) {
  EventSource source;
  ASSERT_EQ(source.Register(name), 0u);
  const std::vector<uint8_t> data(data_size, 0x5A);
  const std::vector<std::u16string> strings = {u"text"};
  for (uint32_t i = 0; i < count; ++i) {
    ASSERT_EQ(source.Report(type, 0, 1000 + i, {}, strings, data), 0u);
  }
}

std::vector<uint32_t> Ascending(uint32_t from, uint32_t to) {
  std::vector<uint32_t> numbers;
  for (uint32_t n = from; n <= to; ++n) numbers.push_back(n);
  return numbers;
}

uint32_t RecordTime(const std::u16string& name, uint32_t number) {
  EventLog log;
  if (log.Open(name) != 0) return 0;
  std::vector<uint8_t> buffer(kMaxReadingBufferSize);
  uint32_t read = 0;
  uint32_t needed = 0;
  if (log.Read(kEventLogSeekRead | kEventLogForwardsRead, number, buffer.data(),
               static_cast<uint32_t>(buffer.size()), read, needed) != 0 ||
      read < kEventLogRecordFixedSize) {
    return 0;
  }
  EventLogRecordHeader header;
  std::memcpy(&header, buffer.data(), sizeof header);
  return header.RecordNumber == number ? header.TimeGenerated : 0;
}

std::string BookmarkText(const std::u16string& key) {
  const std::u16string path = CCVNCore::GetEventLogsFolder() + key;
  if (!FileExists(path)) return "<missing>";
  return cvn::testing::ReadFileBytes(std::filesystem::path(path));
}

void ReaderTest::SetUp() {
  const std::u16string folder = CCVNCore::GetEventLogsFolder();
  CreateFolderTree(folder);
  for (const auto& name : FindFiles(folder, u"CvnReader*")) RemoveFile(folder + name);
  Restart();
}

void ReaderTest::TearDown() {
  core_.reset();
  TraceLogEnabled = false;
}

void ReaderTest::Restart() {
  core_ = std::make_unique<CCVNCore>();
  core_->bookmarks.SetFolder(CCVNCore::GetEventLogsFolder());
  CCVNSettings& settings = core_->Settings();
  settings.Syslog_Forward.value = true;
  settings.Logs_MaxNewRecords.value = static_cast<int32_t>(max_new_records_);
  core_->SetChannelHandler(Channel::kSyslog, [this](CCVNCore&, const SEventRecord& record) {
    forwarded_.push_back(record.recordNumber);
    return Offer::kTaken;
  });
}

std::vector<uint32_t> ReaderTest::Pass(const std::u16string& name, bool skip_old) {
  forwarded_.clear();
  core_->Settings().Logs_MaxNewRecords.value = static_cast<int32_t>(max_new_records_);
  core_->event_log_table[0].name = name;
  EXPECT_TRUE(OpenLog(*core_, 0));
  EXPECT_EQ(ProcessLog(*core_, 0, skip_old), 0);
  // The turns that follow, as the monitor gives them while records wait.
  while (HasWork(*core_, 0)) EXPECT_EQ(ProcessLog(*core_, 0, false), 0);
  CloseLog(*core_, 0);
  return forwarded_;
}

std::string ReaderTest::Logs() const { return core_test::ReadLogs(CCVNCore::GetLogsFolder()); }

}  // namespace cvn::reader_test
