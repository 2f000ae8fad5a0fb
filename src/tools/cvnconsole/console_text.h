// Texts of what travels on the control channel, for people.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/ctrl_message.h"

namespace cvn::console {

// "2026-12-09 07:40:00 UTC" for seconds since 1970; the number when it does
// not convert, "never" for 0.
std::string FormatTime(int64_t seconds);

// A method call of the service to the console.
std::string DescribeNotification(int method);

// A pop-up record (the values of a property 6 assignment, id and kind
// already popped).
std::string DescribePopup(control::CSTCtrlMessage& values);

// The values of a property-query reply (kind already popped).
std::string DescribeProperty(uint8_t id, control::CSTCtrlMessage& values);

// The name of a status key ("syslog messages sent").
std::string StatusName(int32_t key);

// The status property's key-value pairs as a table: key, name, value, one
// row per pair in the order received.
std::string StatusTable(const std::vector<int32_t>& pairs);

// A histogram (4 type rows of 90 buckets, the newest last) as a text chart:
// one row per type with one column per bucket, time running left to right up
// to now, the heights as characters from ' ' (none) to '#' (the highest
// bucket), then the time axis. period_name chooses the axis labels.
std::string HistogramChart(std::u16string_view period_name, const std::vector<int32_t>& counters);

// Names accepted on the command line for method numbers and property ids.
std::optional<uint8_t> MethodByName(std::string_view name);
std::optional<uint8_t> PropertyByName(std::string_view name);

// A time given as seconds since 1970, "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS]"
// (UTC).
std::optional<int64_t> ParseTime(std::string_view text);

// The arguments of "report <file> [--from <time>] [--to <time>]
// [--logs a,b | --all-logs | --watched]": by default the last day up to now,
// over the logs the service watches.
struct ReportArgs {
  std::string file;
  int64_t from = 0;
  int64_t to = 0;
  int32_t all_logs = 0;
  int32_t watched = 1;
  std::vector<std::string> logs;
};
// The request, or the problem (text) in error.
std::optional<ReportArgs> ParseReportArgs(const std::vector<std::string>& args, int64_t now,
                                          std::string& error);

}  // namespace cvn::console
