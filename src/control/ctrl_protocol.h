// Names and numbers shared by the service and the console end of the control
// channel: the two pipes, the greeting, the size limits and the method and
// property numbers of the operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cvn::control {

// The service listens on this pipe; the console connects to it.
inline constexpr std::u16string_view kServerPipeName =
    u"\\\\.\\pipe\\CVN-{82E3F615-7F97-486a-A3DC-96F7C05DE12A}";
// The console listens on this pipe; the service connects back to it.
inline constexpr std::u16string_view kConsolePipeName =
    u"\\\\.\\pipe\\CVN-{CD5945DD-39D5-4955-9328-34771048F9EE}";

// The two bytes the server side of either pipe writes first.
inline constexpr uint8_t kGreeting[2] = {0x53, 0x54};  // "ST"

// One read on either pipe.
constexpr size_t kChunkSize = 4096;
// The largest message either side accepts; a peer that declares more is
// dropped instead of being trusted with the allocation.
constexpr uint32_t kMaxMessageSize = 16u * 1024u * 1024u;
// The largest request the service takes from a console: every request is
// small, and a console may be anybody's program.
constexpr uint32_t kMaxRequestSize = 1024u * 1024u;

// The result of a method call that the service refuses (to a console user
// who may not change what it does, or during a start or stop).
constexpr int32_t kRequestRefused = 1;

// Method calls from the console to the service.
enum ServiceMethod : uint8_t {
  kMethodPurgeSyslog = 0,
  kMethodPurgeEmail = 1,
  kMethodConfigChanged = 3,
  kMethodPurgeDatabase = 5,
};

// Method calls from the service to the console.
enum ConsoleMethod : uint8_t {
  kNotifyStatisticsChanged = 2,
  kNotifySharedConfigApplied = 4,
};

// Property ids.
enum PropertyId : uint8_t {
  kPropStatus = 0,          // query: 26 key-value pairs
  kPropResetCounter = 1,    // assignment: reset code
  kPropStartTime = 2,       // query
  kPropSelectPeriod = 3,    // assignment: period index
  kPropPeriodName = 4,      // query
  kPropHistogram = 5,       // query: 360 counters
  kPropPopup = 6,           // assignment to the console: one event record
  kPropSyslogError = 7,     // query
  kPropEmailError = 8,      // query
  kPropReportError = 9,     // query
  kPropLogNames = 10,       // query
  kPropCustomReport = 11,   // assignment: a report request
  kPropDatabaseError = 12,  // query
  kPropMetrics = 13,        // query: the metrics' exposition text
};

// The format tags that open a pop-up record and a custom report request.
constexpr int32_t kPopupRecordTag = 44;
constexpr int32_t kCustomReportTag = 32;

}  // namespace cvn::control
