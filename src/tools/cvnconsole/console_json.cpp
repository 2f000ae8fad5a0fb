#include "tools/cvnconsole/console_json.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "tools/cvnconsole/console_text.h"

namespace cvn::console {

namespace {

// Status keys whose values are unsigned counts or times.
bool IsUnsigned(int32_t key) { return key != 11 && key != 12 && key != 13 && key != 17; }

// "e-mail queue length" -> "e_mail_queue_length".
std::string JsonKey(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

void AppendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  if (value == std::floor(value) && std::fabs(value) < 9.007199254740992e15) {
    return std::to_string(static_cast<int64_t>(value));
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", value);
  return buf;
}

// Reads a label value in quotes from text at i; false when it is not one.
bool ReadQuoted(std::string_view text, size_t& i, std::string& value) {
  if (i >= text.size() || text[i] != '"') return false;
  for (++i; i < text.size(); ++i) {
    if (text[i] == '"') {
      ++i;
      return true;
    }
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      value += text[i] == 'n' ? '\n' : text[i];
    } else {
      value += text[i];
    }
  }
  return false;
}

bool ParseLine(std::string_view line, MetricSample& sample) {
  size_t i = 0;
  while (i < line.size() &&
         (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_' || line[i] == ':')) {
    ++i;
  }
  if (i == 0) return false;
  sample.name = std::string(line.substr(0, i));
  if (i < line.size() && line[i] == '{') {
    ++i;
    while (i < line.size() && line[i] != '}') {
      const size_t eq = line.find('=', i);
      if (eq == std::string_view::npos) return false;
      std::string label(line.substr(i, eq - i));
      i = eq + 1;
      std::string value;
      if (!ReadQuoted(line, i, value)) return false;
      sample.labels[label] = value;
      if (i < line.size() && line[i] == ',') ++i;
    }
    if (i >= line.size()) return false;
    ++i;
  }
  while (i < line.size() && line[i] == ' ') ++i;
  const std::string value(line.substr(i, line.find(' ', i) - i));
  char* end = nullptr;
  sample.value = std::strtod(value.c_str(), &end);
  return !value.empty() && end == value.c_str() + value.size();
}

std::string Label(const MetricSample& s, const std::string& name) {
  const auto it = s.labels.find(name);
  return it == s.labels.end() ? std::string() : it->second;
}

// Value of the status key, when the pairs hold it.
bool StatusValue(const std::vector<int32_t>& pairs, int32_t key, int32_t& value) {
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    if (pairs[i] == key) {
      value = pairs[i + 1];
      return true;
    }
  }
  return false;
}

struct ChannelFigures {
  std::map<std::string, double> figures;
  std::map<std::string, double> records;  // by outcome
  std::map<std::string, double> lag;      // by log
};

constexpr const char* kChannels[] = {"syslog", "email", "database", "popup"};

std::map<std::string, ChannelFigures> ByChannel(const std::vector<MetricSample>& metrics) {
  std::map<std::string, ChannelFigures> out;
  static const std::map<std::string, std::string> kGauges = {
      {"corvane_channel_enabled", "enabled"},
      {"corvane_channel_up", "up"},
      {"corvane_channel_pending_records", "pending_records"},
      {"corvane_channel_oldest_pending_seconds", "oldest_pending_seconds"},
  };
  for (const MetricSample& s : metrics) {
    const std::string channel = Label(s, "channel");
    if (channel.empty()) continue;
    ChannelFigures& f = out[channel];
    if (const auto it = kGauges.find(s.name); it != kGauges.end()) {
      f.figures[it->second] = s.value;
    } else if (s.name == "corvane_channel_records_total") {
      f.records[Label(s, "outcome")] = s.value;
    } else if (s.name == "corvane_channel_lag_records") {
      f.lag[Label(s, "log")] = s.value;
    }
  }
  return out;
}

void AppendObject(std::string& out, const std::map<std::string, double>& values) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : values) {
    if (!first) out += ", ";
    first = false;
    AppendString(out, key);
    out += ": " + Number(value);
  }
  out += '}';
}

}  // namespace

std::vector<MetricSample> ParseExposition(std::string_view text) {
  std::vector<MetricSample> samples;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line[0] == '#') continue;
    MetricSample sample;
    if (ParseLine(line, sample)) samples.push_back(std::move(sample));
  }
  return samples;
}

std::string StatusJson(const std::vector<int32_t>& pairs,
                       const std::vector<MetricSample>& metrics) {
  std::string out = "{\"status\": {";
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    if (i != 0) out += ", ";
    const int32_t key = pairs[i];
    const int32_t value = pairs[i + 1];
    AppendString(out, JsonKey(StatusName(key)));
    out += ": ";
    out += IsUnsigned(key) ? std::to_string(static_cast<uint32_t>(value)) : std::to_string(value);
  }
  out += "}, \"channels\": {";
  const std::map<std::string, ChannelFigures> channels = ByChannel(metrics);
  bool first = true;
  for (const char* name : kChannels) {
    const auto it = channels.find(name);
    if (it == channels.end()) continue;
    if (!first) out += ", ";
    first = false;
    AppendString(out, name);
    out += ": {";
    for (const auto& [key, value] : it->second.figures) {
      AppendString(out, key);
      out += ": " + Number(value) + ", ";
    }
    out += "\"records\": ";
    AppendObject(out, it->second.records);
    double lag = 0;
    for (const auto& [log, value] : it->second.lag) lag += value;
    out += ", \"lag_records\": " + Number(lag) + ", \"lag_by_log\": ";
    AppendObject(out, it->second.lag);
    out += '}';
  }
  out += "}, \"records_read\": ";
  std::map<std::string, double> read;
  for (const MetricSample& s : metrics) {
    if (s.name == "corvane_records_read_total") read[Label(s, "log")] = s.value;
  }
  AppendObject(out, read);
  out += '}';
  return out;
}

std::vector<std::string> ChannelsDown(const std::vector<int32_t>& pairs,
                                      const std::vector<MetricSample>& metrics) {
  std::vector<std::string> down;
  const std::map<std::string, ChannelFigures> channels = ByChannel(metrics);
  // Thread status keys: syslog 11, e-mail 12; the database channel 17.
  const std::map<std::string, int32_t> kStatusKey = {
      {"syslog", 11}, {"email", 12}, {"database", 17}};
  for (const char* name : kChannels) {
    const auto it = channels.find(name);
    if (it == channels.end()) continue;
    const auto& f = it->second.figures;
    const auto enabled = f.find("enabled");
    if (enabled == f.end() || enabled->second == 0) continue;
    const auto up = f.find("up");
    bool ok = up == f.end() || up->second != 0;
    int32_t status = 0;
    if (const auto key = kStatusKey.find(name);
        key != kStatusKey.end() && StatusValue(pairs, key->second, status)) {
      ok = ok && (status == 0 || status == -1);
    }
    if (!ok) down.push_back(name);
  }
  return down;
}

}  // namespace cvn::console
