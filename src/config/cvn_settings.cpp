#include "config/cvn_settings.h"

namespace cvn {

CCVNSettings::CCVNSettings() {
  // Registration order is the order of sections and keys in a saved file.
  Register(General_Autorun);
  Register(General_CheckUpdates);
  Register(General_TrayIcon);
  Register(General_HideTaskbar);
  Register(General_DateFormat);
  Register(General_TimeFormat);
  Register(General_CacheFolder);
  Register(General_LogFolder);
  Register(General_KeepLogs);
  Register(General_TraceLog);
  Register(General_MetricsAddress);
  Register(Settings_UseSharedFile);
  Register(Settings_SharedFilePath);
  Register(Settings_TrackChanges);
  Register(Settings_TrackChangesPeriod);
  Register(Logs_InspectAll);
  Register(Logs_IsIncludeList);
  Register(Logs_List);
  Register(Logs_ProcessOld);
  Register(Logs_MaxNewRecords);
  Register(Syslog_Server);
  Register(Syslog_Port);
  Register(Syslog_Tcp);
  Register(Syslog_Tls);
  Register(Syslog_Facility);
  Register(Syslog_TcpSeparator);
  Register(Syslog_ForceCp);
  Register(Syslog_Cp);
  Register(Syslog_TrimLarge);
  Register(Syslog_ReplaceNonprint);
  Register(Syslog_ReplaceHex);
  Register(Syslog_ReplaceChar);
  Register(Syslog_LocalTime);
  Register(Syslog_MaxQueue);
  Register(Syslog_PermitFilterList);
  Register(Syslog_DenyFilterList);
  Register(Syslog_Forward);
  Register(Syslog_Filter);
  Register(Syslog_Format);
  Register(Syslog_ProcessOld);
  Register(Syslog_TlsVerify);
  Register(Syslog_TlsCaFile);
  Register(Syslog_TlsCertFile);
  Register(Syslog_TlsKeyFile);
  Register(Syslog_Header);
  Register(Syslog_UdpMaxRate);
  Register(Email_Server);
  Register(Email_Port);
  Register(Email_AuthType);
  Register(Email_Username);
  Register(Email_Password);
  Register(Email_Forward);
  Register(Email_Filter);
  Register(Email_PermitFilterList);
  Register(Email_DenyFilterList);
  Register(Email_MaxQueue);
  Register(Email_From);
  Register(Email_To);
  Register(Email_Format);
  Register(Email_Subject);
  Register(Email_TemplateHeader);
  Register(Email_Tempate);
  Register(Email_TemplateFooter);
  Register(Email_ProcessOld);
  Register(Email_SecureConnection);
  Register(Email_LimitSubject);
  Register(Email_LimitSubjectTo);
  Register(Email_LimitBody);
  Register(Email_LimitBodyTo);
  Register(Email_Consolidation);
  Register(Email_TimesPerHour);
  Register(Email_TlsVerify);
  Register(Email_TlsCaFile);
  Register(DB_ConnString);
  Register(DB_Command);
  Register(DB_UseTrans);
  Register(DB_Forward);
  Register(DB_Filter);
  Register(DB_PermitFilterList);
  Register(DB_DenyFilterList);
  Register(DB_ProcessOld);
  Register(DB_MaxQueue);
  Register(DB_PositionTable);
  Register(Report_GeneratePeriodically);
  Register(Report_ScheduleType);
  Register(Report_ScheduleParameter);
  Register(Report_FolderPath);
  Register(Report_LimitNumberOfReports);
  Register(Report_MaxNumberOfReports);
  Register(Report_SendToEmail);
  Register(Report_EmailFromAddress);
  Register(Report_EmailToAddress);
  Register(Report_FilterEvents);
  Register(Report_PermitFilterList);
  Register(Report_DenyFilterList);
  Register(Report_TrimDescription);
  Register(Report_TrimDescriptionLength);
  Register(Report_ReplaceNonprintChars);
  Register(Report_ReplaceWithHexValue);
  Register(Report_ReplaceCustomChar);
  Register(Report_OmitEmptyLogs);
  Register(Popup_Show);
  Register(Popup_Filter);
  Register(Popup_PermitFilterList);
  Register(Popup_DenyFilterList);
  Register(Popup_AutoClose);
  Register(Popup_AutoCloseDelay);
  Register(Popup_PlaySound);
  Register(Popup_SoundFile);
}

CCVNSettings::CCVNSettings(const CCVNSettings& other) : CCVNSettings() { Assign(other); }

CCVNSettings& CCVNSettings::operator=(const CCVNSettings& other) {
  Assign(other);
  return *this;
}

XmlDocument CCVNSettings::ToDocument() const {
  XmlDocument document(u"Corvane");
  Save(document);
  return document;
}

int32_t CCVNSettings::LoadFile(std::u16string_view path, bool reset_first,
                               std::string* reject_reason) {
  XmlDocument document(u"Corvane");
  const int32_t result = document.Load(path);
  if (result == 0) Load(document, reset_first);
  if (reject_reason) *reject_reason = document.RejectReason();
  return result;
}

int32_t CCVNSettings::SaveFile(std::u16string_view path) const { return ToDocument().Save(path); }

// ---------------------------------------------------------------------------
// VarFL_t

void CCVNSettings::VarFL_t::Assign(const CSTSettings::Var_t& other) {
  if (const auto* o = dynamic_cast<const VarFL_t*>(&other)) rules = o->rules;
}

bool CCVNSettings::VarFL_t::IsEqual(const CSTSettings::Var_t& other) const {
  const auto* o = dynamic_cast<const VarFL_t*>(&other);
  return o != nullptr && o->rules == rules;
}

void CCVNSettings::VarFL_t::WriteValue(XmlNode& element) const {
  for (const FilterRule& rule : rules) {
    XmlNode& child = element.AddChild(u"FilterRule");
    if (child.IsValid()) rule.Write(child);
  }
}

void CCVNSettings::VarFL_t::ReadValue(const XmlNode& element) {
  rules.clear();
  for (int i = 0; i < element.GetChildCount(); ++i) {
    const XmlNode& child = element.GetChild(i);
    if (!child.IsValid() || child.GetName() != u"FilterRule") continue;
    FilterRule rule;
    rule.Read(child);
    rules.push_back(std::move(rule));
  }
}

}  // namespace cvn
