// Writes the seed corpora of the fuzz targets: valid inputs built the way the
// tests build them, one folder per target.
//
//   fuzz_seeds <corpus folder>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "config/cvn_settings.h"
#include "control/ctrl_message.h"
#include "control/ctrl_protocol.h"
#include "core/bookmark_store.h"
#include "events/raw_record.h"
#include "fuzz_support.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "platform_messages/pe_builder.h"
#include "syslog/syslog_cache.h"

namespace {

namespace fs = std::filesystem;
using cvn::control::CSTCtrlMessage;

fs::path g_out;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

void Seed(const char* target, const std::string& name, const std::vector<uint8_t>& bytes) {
  cvn::fuzz::WriteFile(g_out / target / name, bytes);
}

void CopySeed(const char* target, const std::string& name, const fs::path& from) {
  fs::create_directories(g_out / target);
  fs::copy_file(from, g_out / target / name, fs::copy_options::overwrite_existing);
}

void SettingsSeeds() {
  cvn::CCVNSettings settings;
  const std::string defaults = settings.ToDocument().ToBytes();
  cvn::FilterRule rule;
  rule.Name = u"Disk <errors> & \"warnings\"";
  rule.Active = true;
  rule.Source = {true, 0, u"Disk"};
  rule.EventType = {true, 3};
  rule.EventID = {true, 4, 7 | (11 << 16)};
  rule.Description = {true, 2, u"bad block", 1};
  settings.Syslog_PermitFilterList.rules.push_back(rule);
  rule.Active = false;
  rule.User = {true, 1, u"SYSTEM"};
  settings.Email_DenyFilterList.rules.push_back(rule);
  settings.Syslog_Port.value = 6514;
  const std::string rules = settings.ToDocument().ToBytes();
  for (const char* target : {"xml_reader", "settings"}) {
    Seed(target, "defaults", Bytes(defaults));
    Seed(target, "filter-rules", Bytes(rules));
  }
}

void EventRecordSeeds() {
  cvn::testing::RawRecord raw;
  raw.source = u"Src";
  raw.eventId = 1000;
  raw.strings = {u"Spooler", u"%%1537", u"details"};
  Seed("event_record", "inserts-and-parameter", raw.Build());
  raw.eventId = 1;
  raw.strings = {u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"h", u"i", u"j", u"k", u"l"};
  Seed("event_record", "twelve-inserts", raw.Build());
  raw.eventId = 0xC0000005;
  raw.eventType = 16;
  raw.sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
  raw.strings = {u"S-1-5-18", u"%%1537", u"%1"};
  raw.data = {1, 2, 3};
  Seed("event_record", "sid-and-data", raw.Build());
  raw.source = u"Unregistered";
  Seed("event_record", "unregistered-source", raw.Build());
}

void MessageTableSeeds() {
  const auto table = cvn::testing::BuildMessageTable(
      {{1, u"First %1\r\n"}, {2, u"Second%0"}, {1000, u"Service %1 %%2 %n%t%r%.\r\n"}});
  Seed("message_table", "pe32", cvn::testing::BuildPeImage(false, {{0, table}}));
  Seed("message_table", "pe32-plus-two-languages",
       cvn::testing::BuildPeImage(true, {{0x407, table}, {0x409, table}}));
  Seed("message_table", "plain",
       Bytes("\xEF\xBB\xBF"
             "CVN-MESSAGE-TABLE 1\r\n; comment\r\nMessageId=0x40000201\r\n"
             "Started. Version: %1.\r\n.\r\n\r\nMessageId=7\r\n%.\r\nsecond line%0\r\n.\r\n"));
}

// Records written through the event log API into a log of this machine root.
fs::path WriteLog(const std::u16string& log, uint32_t max_size, int records, size_t data_size) {
  cvn::platform::CreateEventLog(log, max_size);
  cvn::platform::EventSource source;
  source.Register(log);
  const std::vector<uint8_t> sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  const std::vector<uint8_t> data(data_size, 0xAB);
  for (int i = 0; i < records; ++i) {
    const std::vector<std::u16string> strings = {u"insert " + cvn::Utf8ToUtf16(std::to_string(i)),
                                                 u"%%1537"};
    source.Report(static_cast<uint16_t>(1 << (i % 5)), 3, 1000 + i,
                  i % 2 ? sid : std::vector<uint8_t>{}, strings, data);
  }
  return cvn::fuzz::MachineRoot() / "Windows" / "System32" / "config" /
         (cvn::Utf16ToUtf8(log) + ".evt");
}

void EvtAndRegistrySeeds() {
  CopySeed("evt_file", "three-records", WriteLog(u"SeedLog", 0, 3, 8));
  // A full log of the smallest size: the newest records wrapped to the start.
  CopySeed("evt_file", "wrapped", WriteLog(u"WrapLog", 64 * 1024, 90, 900));
  cvn::platform::EventSourceRegistration registration;
  registration.event_message_file = u"%SystemRoot%\\System32\\seed.dll;C:\\seed\\second.dll";
  registration.category_count = 3;
  cvn::platform::AddEventSource(u"SeedLog", u"Src^Tab\tName", registration);
  CopySeed("registry_store", "event-logs", cvn::fuzz::MachineRoot() / "Registry" / "HKLM.reg");
}

std::vector<uint8_t> Request(uint8_t chunk_choice, CSTCtrlMessage m) {
  m.SetLengthField();
  std::vector<uint8_t> out = {chunk_choice};
  out.insert(out.end(), m.Bytes().begin(), m.Bytes().end());
  return out;
}

void CtrlMessageSeeds() {
  using namespace cvn::control;
  CSTCtrlMessage call;
  call.ValueToStack(static_cast<uint8_t>(kMethodPurgeSyslog));
  call.ValueToStack(static_cast<uint8_t>(kKindMethodCall));
  Seed("ctrl_message", "method-call", Request(255, call));
  CSTCtrlMessage query;
  query.ValueToStack(static_cast<uint8_t>(kPropStatus));
  query.ValueToStack(static_cast<uint8_t>(kKindPropertyQuery));
  Seed("ctrl_message", "status-query-bytewise", Request(0, query));
  CSTCtrlMessage reset;
  reset.ValueToStack(static_cast<int32_t>(2));
  reset.ValueToStack(static_cast<uint8_t>(kPropResetCounter));
  reset.ValueToStack(static_cast<uint8_t>(kKindPropertySet));
  Seed("ctrl_message", "reset-counter", Request(255, reset));
  CSTCtrlMessage report;
  report.ValueToStack(static_cast<int32_t>(0));
  report.ValueToStack(static_cast<int32_t>(1));
  report.ValueToStack(std::vector<std::u16string>{u"Application", u"System"});
  report.ValueToStack(std::u16string_view(u"C:\\Reports\\custom.html"));
  report.ValueToStack(static_cast<int32_t>(1700000000));
  report.ValueToStack(static_cast<int32_t>(1700086400));
  report.ValueToStack(kCustomReportTag);
  report.ValueToStack(static_cast<uint8_t>(kPropCustomReport));
  report.ValueToStack(static_cast<uint8_t>(kKindPropertySet));
  Seed("ctrl_message", "custom-report-in-chunks", Request(1, report));
}

void FileSeeds() {
  Seed("bookmark", "positions", Bytes(cvn::FormatBookmark({1234, 1700000000, 1000, false})));
  Seed("bookmark", "empty-log", Bytes(cvn::FormatBookmark({0, 0, 0, true})));
  const fs::path path = cvn::fuzz::MachineRoot() / "syslogs.cache";
  cvn::CSyslogCache cache(cvn::fuzz::U16(path));
  cache.Create();
  const std::vector<std::string> batch = {"<14>Dec 10 02:00:00 HOST Src: first",
                                          "<11>Dec 10 02:00:01 HOST Disk: second", ""};
  cache.Append(batch);
  cache.Close();
  CopySeed("syslog_cache", "three-records", path);
  cache.OpenExisting();
  std::string first;
  cache.ReadOldest(first);
  cache.RemoveOldest();
  cache.Close();
  CopySeed("syslog_cache", "one-sent", path);
  // The layout of earlier versions: an 8-byte header, 2-byte lengths.
  Seed("syslog_cache", "earlier-layout",
       Bytes(std::string_view("\x0d\0\0\0\x01\0\0\0\x03\0one\x03\0two", 18)));
}

// One diagnostic-record call as fuzz_odbc_diag plays it: return-code choice
// (0 success, 1 with info, 2 no data), state, native code, text, claimed length.
void AppendDiagCall(std::vector<uint8_t>& out, uint8_t code, std::u16string_view state,
                    uint32_t native, std::u16string_view text, uint16_t claimed) {
  auto u16 = [&](char16_t c) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  };
  out.push_back(code);
  for (size_t i = 0; i < 6; ++i) u16(i < state.size() ? state[i] : u'\0');
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(native >> (8 * i)));
  u16(static_cast<char16_t>(text.size()));
  for (char16_t c : text) u16(c);
  u16(static_cast<char16_t>(claimed));
}

void OdbcDiagSeeds() {
  std::vector<uint8_t> bytes;
  AppendDiagCall(bytes, 0, u"08S01", 26, u"could not receive data from server", 34);
  AppendDiagCall(bytes, 2, u"", 0, u"", 0);
  Seed("odbc_diag", "connection-lost", bytes);
  bytes.clear();
  AppendDiagCall(bytes, 0, u"42601", 7,
                 u"ERROR: syntax error at or near \"'\";\nLINE 1: INSERT \u00e9", 47);
  AppendDiagCall(bytes, 0, u"HY000", 5, u"database is locked", 18);
  AppendDiagCall(bytes, 2, u"", 0, u"", 0);
  Seed("odbc_diag", "two-records", bytes);
  bytes.clear();
  const std::u16string long_text(1500, u'x');
  AppendDiagCall(bytes, 1, u"57014", 0, std::u16string_view(long_text).substr(0, 1024), 1500);
  AppendDiagCall(bytes, 0, u"57014", 0, long_text, 1500);
  AppendDiagCall(bytes, 2, u"", 0, u"", 0);
  Seed("odbc_diag", "text-read-twice", bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <corpus folder>\n");
    return 2;
  }
  g_out = argv[1];
  // Everything below writes into a fresh machine root, never the real one.
  (void)cvn::fuzz::MachineRoot();
  SettingsSeeds();
  EventRecordSeeds();
  MessageTableSeeds();
  EvtAndRegistrySeeds();
  CtrlMessageSeeds();
  FileSeeds();
  OdbcDiagSeeds();
  return 0;
}
