// The pieces of the HTML events report: event classes, description clean-up,
// HTML escaping, the per-log section with its sources and class counts, the
// head with the summary, and the footer.
//
// The document is assembled newest record first by adding pieces at the front
// of a list (ReportPieces), so that it reads oldest first. Every text taken
// from an event or a log (names, sources, categories, descriptions) goes
// through EscapeHtml (base/text.h): whoever writes an event chooses its source name.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::report {

// The five event classes, in the order of the count tables.
enum EventClass : int {
  kClassError = 0,
  kClassWarning = 1,
  kClassInformation = 2,
  kClassAuthFail = 3,
  kClassAuthSuccess = 4,
};
constexpr size_t kClassCount = 5;
using ClassCounts = std::array<int32_t, kClassCount>;

// The class of a raw EventType as the log stores it.
EventClass ClassOf(uint16_t raw_event_type);
// "Warnings", "Warn", "warn_ev" ... for the class.
const char16_t* ClassSummaryName(EventClass c);
const char16_t* ClassShortName(EventClass c);
const char16_t* ClassRowName(EventClass c);

struct DescriptionOptions {
  bool replace_nonprint = true;
  bool replace_with_hex = false;
  char16_t custom_char = u' ';
  bool trim = true;
  int32_t trim_length = 500;
};
// A description as the report shows it: control characters replaced, trimmed
// to the length with "...", then escaped.
std::u16string CleanDescription(std::u16string_view text, const DescriptionOptions& options);

// "1 day 2 hours 3 min 4 sec " style text of a period of seconds.
std::u16string PeriodLengthText(int64_t seconds);

// The local calendar day of a time as one comparable integer.
int32_t DayKey(const std::tm& local);

// The list of text pieces the document is assembled from.
using ReportPieces = std::deque<std::u16string>;

// What one log contributes while it is read newest record first.
class LogSection {
 public:
  explicit LogSection(const DescriptionOptions& options, uint32_t date_format, uint32_t time_format)
      : options_(options), date_format_(date_format), time_format_(time_format) {}

  // Adds the row of one shown record (and a day group row when the day changes).
  void AddRecord(ReportPieces& pieces, uint32_t time_generated, uint16_t raw_event_type,
                 std::u16string_view source, uint32_t event_id, std::u16string_view category,
                 std::u16string_view description);
  void AddIgnored() { ++ignored_; }
  // Closes the log: the last day group row, the table header and the section
  // header; nothing at all when the log is empty and empty logs are omitted.
  // False when the log got no section.
  bool Finish(ReportPieces& pieces, int log_number, std::u16string_view log_name, bool omit_empty);

  int32_t shown() const { return shown_; }
  const ClassCounts& counts() const { return counts_; }

  // Pieces of the section, exposed for tests.
  static std::u16string IgnoredNotice(int32_t ignored);
  static std::u16string SourcesText(const std::map<std::u16string, int32_t>& sources);
  static std::u16string ClassRows(int log_number, const ClassCounts& counts);

 private:
  void AddDayGroup(ReportPieces& pieces);

  DescriptionOptions options_;
  uint32_t date_format_;
  uint32_t time_format_;
  int32_t shown_ = 0;
  int32_t ignored_ = 0;
  ClassCounts counts_{};
  std::map<std::u16string, int32_t> sources_;
  bool has_day_ = false;
  int32_t day_ = 0;
  std::tm day_tm_{};
};

// What the head's summary shows.
struct ReportSummary {
  std::u16string computer_name;
  uint32_t period_start = 0;
  uint32_t period_end = 0;
  uint32_t date_format = 0;
  uint32_t time_format = 0;
  int32_t logs_analysed = 0;
  int32_t logs_with_records = 0;
  int32_t events = 0;
  ClassCounts totals{};
  // Named logs left out: repeated, beyond the bound of a request, or not found.
  std::vector<std::u16string> logs_ignored;
};

// The document head with the script and style blocks, the title and the summary.
std::u16string HeadPiece(const ReportSummary& summary);
// The end of every document.
std::u16string FooterPiece();

}  // namespace cvn::report
