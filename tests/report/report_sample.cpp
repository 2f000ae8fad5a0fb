// Writes a sample report for the browser tests: three logs with records on
// two days in all five classes, markup in a source and a description, and
// an empty log.
//
//   report_sample <output.html>
#include <cstdio>
#include <string>

#include "base/text.h"
#include "core/cvn_core.h"
#include "report/report_schedule.h"
#include "report/report_test_util.h"
#include "support/temp_dir.h"

using namespace cvn;
using report_test::TestRecord;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: report_sample <output.html>\n", stderr);
    return 2;
  }
  report_test::UseTimeZone("UTC0");
  cvn::testing::ScopedMachineRoot root;
  const uint32_t day = 1481068800;  // 2016-12-07 00:00 UTC
  const std::u16string long_text =
      u"The service entered the running state after a long start. The following drivers "
      u"could not be loaded: disk0, disk1, netcard2; the system will retry them at the next "
      u"start. See the vendor's documentation for more details.";
  auto r = [day](uint32_t at, uint16_t type, std::u16string source, std::u16string text,
                 uint32_t id) {
    TestRecord record;
    record.time = day + at;
    record.type = type;
    record.source = std::move(source);
    record.text = std::move(text);
    record.event_id = id;
    return record;
  };
  std::vector<TestRecord> application;
  application.push_back(r(3600, 1, u"Backup", u"The backup job failed: disk full.", 7));
  application.push_back(r(5400, 2, u"Backup", u"Retrying in 30 minutes.", 8));
  application.push_back(r(7200, 4, u"Updater", long_text, 9));
  application.push_back(r(86400 + 60, 4, u"<b>Injected</b>",
                          u"<img src=x onerror=\"document.title='pwned'\"> & <i>text</i>", 10));
  application.push_back(r(86400 + 120, 1, u"Backup", u"Second failure.", 7));
  std::vector<TestRecord> security;
  security.push_back(r(600, 8, u"Security", u"An account logged on: alice.", 4624));
  security.push_back(r(660, 16, u"Security", u"An account failed to log on: bob.", 4625));
  security.push_back(r(86400 + 600, 16, u"Security", u"An account failed to log on.", 4625));
  std::vector<TestRecord> system;
  system.push_back(r(900, 2, u"Disk", u"The disk is nearly full.", 11));
  system.push_back(r(86400 + 900, 0, u"Kernel", u"Time changed.", 1));
  const bool written = report_test::WriteLog(u"Application", application) &&
                       report_test::WriteLog(u"Security", security) &&
                       report_test::WriteLog(u"System", system) &&
                       report_test::WriteLog(u"Empty", {});
  if (!written) {
    std::fputs("report_sample: the sample logs could not be written\n", stderr);
    return 1;
  }
  CCVNCore core;
  core.Settings().General_DateFormat.value = 9;
  core.Settings().General_TimeFormat.value = 2;
  const std::vector<std::u16string> logs = {u"Empty", u"System", u"Security", u"Application"};
  std::u16string document;
  std::string period;
  core.GenerateReport(day, day + 2 * 86400, &logs, document, period);
  const uint32_t error = report::SaveReport(Utf8ToUtf16(argv[1]), document);
  if (error != 0) {
    std::fprintf(stderr, "report_sample: cannot write %s (%u)\n", argv[1], error);
    return 1;
  }
  return 0;
}
