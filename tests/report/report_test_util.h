// Shared pieces of the report tests: event logs with records at chosen times,
// and local times in the zone the tests fix.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvn::report_test {

// Fixes the process's time zone (a TZ value such as "UTC" or
// "Europe/Berlin"); false when the system cannot take it.
bool UseTimeZone(const char* zone);
// Local time in the zone in use, as seconds since 1970.
uint32_t Local(int year, int month, int day, int hour, int minute, int second = 0);

struct TestRecord {
  uint32_t time = 0;      // TimeGenerated
  uint16_t type = 4;      // raw EventType
  std::u16string source;  // registered below the log
  std::u16string text;    // the one insertion string
  uint32_t event_id = 1000;
};

// Creates the log afresh and writes the records, oldest first, with their
// times. False when the records cannot be written or their times set.
bool WriteLog(const std::u16string& log, const std::vector<TestRecord>& records);

}  // namespace cvn::report_test
