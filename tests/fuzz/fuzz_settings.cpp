// Loading a configuration file from disk into the service's settings, then
// the filter lists it holds applied to a few records, as the channels do.
#include "config/cvn_settings.h"
#include "fuzz_support.h"

namespace {

cvn::SEventRecord Record(uint32_t id, uint16_t type, const char16_t* source, const char16_t* text) {
  cvn::SEventRecord r;
  r.eventId = id;
  r.eventType = type;
  r.source = source;
  r.computer = u"HOST";
  r.user = u"SYSTEM";
  r.description = text;
  r.logName = u"Application";
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto path = cvn::fuzz::MachineRoot() / "settings.cvncfg";
  static const cvn::SEventRecord records[] = {
      Record(1000, cvn::kEventTypeInformation, u"Src", u"Service started."),
      Record(0xC0000005, cvn::kEventTypeError, u"Disk", u"The device has a bad block."),
      Record(65535, cvn::kEventTypeAuditFailure, u"Security", u""),
  };
  cvn::fuzz::WriteFile(path, {data, size});
  cvn::CCVNSettings settings;
  if (settings.LoadFile(cvn::fuzz::U16(path), true) != 0) return 0;
  cvn::CCVNSettings::VarFL_t* lists[][2] = {
      {&settings.Syslog_PermitFilterList, &settings.Syslog_DenyFilterList},
      {&settings.Email_PermitFilterList, &settings.Email_DenyFilterList},
      {&settings.DB_PermitFilterList, &settings.DB_DenyFilterList},
  };
  for (const auto& pair : lists) {
    for (const cvn::SEventRecord& r : records)
      cvn::PassesFilters(r, pair[0]->rules, pair[1]->rules);
  }
  // What was loaded saves and loads back the same. A Description criterion
  // at its defaults but for its case flag is not saved: its flag is lost.
  for (const auto& pair : lists) {
    for (auto* list : pair) {
      for (cvn::FilterRule& rule : list->rules) {
        const auto& d = rule.Description;
        if (!d.Active && d.Method == 0 && d.Content.empty()) rule.Description.Case = 0;
      }
    }
  }
  const cvn::XmlDocument doc = settings.ToDocument();
  cvn::CCVNSettings copy;
  cvn::XmlDocument reread(u"Corvane");
  const std::string bytes = doc.ToBytes();
  if (reread.Parse(bytes.data(), bytes.size()) != 0) __builtin_trap();
  copy.Load(reread, true);
  if (!copy.IsEqual(settings)) __builtin_trap();
  return 0;
}
