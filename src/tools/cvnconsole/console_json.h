// The status as one JSON object for scripts, and the verdict of
// "cvnconsole status": whether every channel that is switched on delivers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::console {

// One sample of the metrics' exposition text: name, labels, value.
struct MetricSample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};
// The samples of an exposition text; comments and lines that do not parse
// are skipped.
std::vector<MetricSample> ParseExposition(std::string_view text);

// The JSON object: "status" with the status pairs under their names,
// "channels" with each channel's figures, "records_read" by log. Text in it
// is escaped so that no value can end a string early.
std::string StatusJson(const std::vector<int32_t>& pairs, const std::vector<MetricSample>& metrics);

// The channels switched on that do not deliver: their last attempt failed,
// or their thread or worker does not run. Empty when all of them deliver.
std::vector<std::string> ChannelsDown(const std::vector<int32_t>& pairs,
                                      const std::vector<MetricSample>& metrics);

}  // namespace cvn::console
