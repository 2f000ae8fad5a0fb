#include "report/report_test_util.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include "base/text.h"
#include "platform/environment.h"
#include "platform/event_log.h"
#include "support/local_time.h"

namespace cvn::report_test {

using namespace platform;

bool UseTimeZone(const char* zone) {
  SetEnvironmentValue(u"TZ", Utf8ToUtf16(zone));
  // mktime reads the zone again; the later conversions use it.
  std::tm probe{};
  probe.tm_year = 116;
  probe.tm_mon = 6;
  probe.tm_mday = 1;
  probe.tm_isdst = -1;
  return std::mktime(&probe) != -1;
}

uint32_t Local(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<uint32_t>(cvn::testing::LocalSeconds(year, month, day, hour, minute, second));
}

namespace {

// The log's file in the posix store, where the records lie one after the
// other from the end of the 48-byte header while the log has not wrapped.
std::filesystem::path LogFile(const std::u16string& log) {
  return std::filesystem::path(Utf16ToUtf8(GetEnvironmentValue(u"CORVANE_ROOT"))) / "Windows" /
         "System32" / "config" / (Utf16ToUtf8(log) + ".evt");
}

bool SetTimes(const std::u16string& log, const std::vector<TestRecord>& records) {
  if (records.empty()) return true;
  std::fstream f(LogFile(log), std::ios::in | std::ios::out | std::ios::binary);
  if (!f) return false;
  uint32_t offset = 0x30;
  for (const TestRecord& r : records) {
    EventLogRecordHeader h{};
    f.seekg(offset);
    if (!f.read(reinterpret_cast<char*>(&h), sizeof h) || h.Reserved != kEventLogSignature)
      return false;
    h.TimeGenerated = r.time;
    h.TimeWritten = r.time;
    f.seekp(offset);
    f.write(reinterpret_cast<const char*>(&h), sizeof h);
    offset += h.Length;
  }
  return static_cast<bool>(f.flush());
}

}  // namespace

bool WriteLog(const std::u16string& log, const std::vector<TestRecord>& records) {
  DeleteEventLog(log);
  if (CreateEventLog(log) != 0) return false;
  std::set<std::u16string> sources;
  for (const TestRecord& r : records) {
    if (sources.insert(r.source).second && AddEventSource(log, r.source, {}) != 0) return false;
  }
  for (const TestRecord& r : records) {
    EventSource source;
    if (source.Register(r.source) != 0) return false;
    const std::vector<std::u16string> strings = {r.text};
    if (source.Report(r.type, 0, r.event_id, {}, strings, {}) != 0) return false;
  }
  return SetTimes(log, records);
}

}  // namespace cvn::report_test
