// The service's configuration: one settings variable per key of
// settings.cvncfg, registered in the order in which a saved file lists them
// (sections General, Settings, Logs, Syslog, Email, DB, Report, Popup).
//
// Members are named Section_Key after the element names (Syslog_Port is
// <Syslog><Port>); read the current value from .value (.items for string
// lists, .rules for filter lists). Note the key Email/Tempate, spelled so in
// the file.
#pragma once

#include <cstdint>
#include <string>

#include "config/filter_rule.h"
#include "config/settings.h"

namespace cvn {

class CCVNSettings : public CSTSettings {
 public:
  // A filter list: <PermitFilterList><FilterRule>...</FilterRule>...</...>.
  class VarFL_t final : public CSTSettings::Var_t {
   public:
    VarFL_t(const char16_t* name, const char16_t* section) : Var_t(name, section) {}
    void Assign(const CSTSettings::Var_t& other) override;
    bool IsEqual(const CSTSettings::Var_t& other) const override;
    void SetDefault() override { rules.clear(); }
    void WriteValue(XmlNode& element) const override;
    // Replaces the list by the FilterRule children; other children are skipped.
    void ReadValue(const XmlNode& element) override;

    FilterList rules;
  };

  CCVNSettings();
  // Copies are independent configurations with the same values.
  CCVNSettings(const CCVNSettings& other);
  CCVNSettings& operator=(const CCVNSettings& other);

  // The whole configuration as a document with the root Corvane.
  XmlDocument ToDocument() const;
  // Loads a configuration file (XmlDocument::Load) and, only when that
  // succeeds, reads it into this instance; returns the load result. When the
  // file's image is rejected (-1) and reject_reason is given, it receives why.
  int32_t LoadFile(std::u16string_view path, bool reset_first,
                   std::string* reject_reason = nullptr);
  // Saves this configuration to a file (XmlDocument::Save).
  int32_t SaveFile(std::u16string_view path) const;

  // General
  VarBool_t General_Autorun{u"Autorun", u"General", false};
  VarBool_t General_CheckUpdates{u"CheckUpdates", u"General", true};
  VarBool_t General_TrayIcon{u"TrayIcon", u"General", true};
  VarBool_t General_HideTaskbar{u"HideTaskbar", u"General", false};
  VarInt_t General_DateFormat{u"DateFormat", u"General", 0, 0, 14};
  VarInt_t General_TimeFormat{u"TimeFormat", u"General", 0, 0, 2};
  VarStr_t General_CacheFolder{u"CacheFolder", u"General"};
  VarStr_t General_LogFolder{u"LogFolder", u"General"};
  VarInt_t General_KeepLogs{u"KeepLogs", u"General", 14, 1, 9999};
  VarBool_t General_TraceLog{u"TraceLog", u"General", false};
  // "host:port" to serve the metrics on (GET /metrics); empty: not served.
  VarStr_t General_MetricsAddress{u"MetricsAddress", u"General"};

  // Settings
  VarBool_t Settings_UseSharedFile{u"UseSharedFile", u"Settings", false};
  VarStr_t Settings_SharedFilePath{u"SharedFilePath", u"Settings"};
  VarBool_t Settings_TrackChanges{u"TrackChanges", u"Settings", false};
  VarInt_t Settings_TrackChangesPeriod{u"TrackChangesPeriod", u"Settings", 60, 1, 99999};

  // Logs
  VarBool_t Logs_InspectAll{u"InspectAll", u"Logs", true};
  VarBool_t Logs_IsIncludeList{u"IsIncludeList", u"Logs", true};
  VarStrList_t Logs_List{u"List", u"Logs"};
  VarBool_t Logs_ProcessOld{u"ProcessOld", u"Logs", true};
  VarInt_t Logs_MaxNewRecords{u"MaxNewRecords", u"Logs", 10000, 1, 999999};

  // Syslog
  VarStr_t Syslog_Server{u"Server", u"Syslog"};
  VarInt_t Syslog_Port{u"Port", u"Syslog", 514, 1, 65535};
  VarBool_t Syslog_Tcp{u"Tcp", u"Syslog", false};
  VarBool_t Syslog_Tls{u"Tls", u"Syslog", false};
  VarInt_t Syslog_Facility{u"Facility", u"Syslog", 16, 0, 23};
  VarInt_t Syslog_TcpSeparator{u"TcpSeparator", u"Syslog", 0, 0, 4};
  VarBool_t Syslog_ForceCp{u"ForceCp", u"Syslog", false};
  VarInt_t Syslog_Cp{u"Cp", u"Syslog", 1252, 1, 65535};
  VarBool_t Syslog_TrimLarge{u"TrimLarge", u"Syslog", true};
  VarBool_t Syslog_ReplaceNonprint{u"ReplaceNonprint", u"Syslog", true};
  VarBool_t Syslog_ReplaceHex{u"ReplaceHex", u"Syslog", false};
  VarInt_t Syslog_ReplaceChar{u"ReplaceChar", u"Syslog", 46, 32, 65535};
  VarBool_t Syslog_LocalTime{u"LocalTime", u"Syslog", true};
  VarInt_t Syslog_MaxQueue{u"MaxQueue", u"Syslog", 1000};
  VarFL_t Syslog_PermitFilterList{u"PermitFilterList", u"Syslog"};
  VarFL_t Syslog_DenyFilterList{u"DenyFilterList", u"Syslog"};
  VarBool_t Syslog_Forward{u"Forward", u"Syslog", false};
  VarBool_t Syslog_Filter{u"Filter", u"Syslog", false};
  VarStr_t Syslog_Format{u"Format", u"Syslog", kDefaultSyslogFormat};
  VarBool_t Syslog_ProcessOld{u"ProcessOld", u"Syslog", true};
  // TLS peer checks: 2 = a trusted chain for the server's name, 1 = a trusted
  // chain, 0 = none. A CA file replaces the system's store of roots.
  VarInt_t Syslog_TlsVerify{u"TlsVerify", u"Syslog", 2, 0, 2};
  VarStr_t Syslog_TlsCaFile{u"TlsCaFile", u"Syslog"};
  VarStr_t Syslog_TlsCertFile{u"TlsCertFile", u"Syslog"};
  VarStr_t Syslog_TlsKeyFile{u"TlsKeyFile", u"Syslog"};
  // The message header: 0 = priority and time stamp only (the template
  // supplies the rest), 1 = the same with the host name after the time stamp,
  // 2 = version 1 headers with structured data.
  VarInt_t Syslog_Header{u"Header", u"Syslog", 0, 0, 2};
  // Datagrams per second over UDP; 0 sends as fast as the system takes them.
  VarInt_t Syslog_UdpMaxRate{u"UdpMaxRate", u"Syslog", 5000, 0, 1000000};

  // Email
  VarStr_t Email_Server{u"Server", u"Email"};
  VarInt_t Email_Port{u"Port", u"Email", 25, 1, 65535};
  VarInt_t Email_AuthType{u"AuthType", u"Email", 0, 0, 3};
  VarStr_t Email_Username{u"Username", u"Email"};
  VarStr_t Email_Password{u"Password", u"Email"};
  VarBool_t Email_Forward{u"Forward", u"Email", false};
  VarBool_t Email_Filter{u"Filter", u"Email", false};
  VarFL_t Email_PermitFilterList{u"PermitFilterList", u"Email"};
  VarFL_t Email_DenyFilterList{u"DenyFilterList", u"Email"};
  VarInt_t Email_MaxQueue{u"MaxQueue", u"Email", 1000};
  VarStr_t Email_From{u"From", u"Email"};
  VarStr_t Email_To{u"To", u"Email"};
  VarInt_t Email_Format{u"Format", u"Email", 0, 0, 1};
  VarStr_t Email_Subject{u"Subject", u"Email", kDefaultEmailSubject};
  VarStr_t Email_TemplateHeader{u"TemplateHeader", u"Email", kDefaultEmailTemplateHeader};
  VarStr_t Email_Tempate{u"Tempate", u"Email", kDefaultEmailTempate};
  VarStr_t Email_TemplateFooter{u"TemplateFooter", u"Email"};
  VarBool_t Email_ProcessOld{u"ProcessOld", u"Email", true};
  VarInt_t Email_SecureConnection{u"SecureConnection", u"Email", 0, 0, 2};
  VarBool_t Email_LimitSubject{u"LimitSubject", u"Email", false};
  VarInt_t Email_LimitSubjectTo{u"LimitSubjectTo", u"Email", 100};
  VarBool_t Email_LimitBody{u"LimitBody", u"Email", false};
  VarInt_t Email_LimitBodyTo{u"LimitBodyTo", u"Email", 1000};
  VarInt_t Email_Consolidation{u"Consolidation", u"Email", 2, 0, 3};
  VarInt_t Email_TimesPerHour{u"TimesPerHour", u"Email", 120, 1, 9999};
  VarInt_t Email_TlsVerify{u"TlsVerify", u"Email", 2, 0, 2};
  VarStr_t Email_TlsCaFile{u"TlsCaFile", u"Email"};

  // DB
  VarStr_t DB_ConnString{u"ConnString", u"DB"};
  VarStr_t DB_Command{u"Command", u"DB", kDefaultDbCommand};
  VarBool_t DB_UseTrans{u"UseTrans", u"DB", false};
  VarBool_t DB_Forward{u"Forward", u"DB", false};
  VarBool_t DB_Filter{u"Filter", u"DB", false};
  VarFL_t DB_PermitFilterList{u"PermitFilterList", u"DB"};
  VarFL_t DB_DenyFilterList{u"DenyFilterList", u"DB"};
  VarBool_t DB_ProcessOld{u"ProcessOld", u"DB", true};
  VarInt_t DB_MaxQueue{u"MaxQueue", u"DB", 1000};  // 0: no limit
  // The table in the target database that keeps the channel's position in
  // each log, with the rows; empty: none.
  VarStr_t DB_PositionTable{u"PositionTable", u"DB"};

  // Report
  VarBool_t Report_GeneratePeriodically{u"GeneratePeriodically", u"Report", false};
  VarInt_t Report_ScheduleType{u"ScheduleType", u"Report", 0, 0, 1};
  VarInt_t Report_ScheduleParameter{u"ScheduleParameter", u"Report", 0x6FD800};
  VarStr_t Report_FolderPath{u"FolderPath", u"Report"};
  VarBool_t Report_LimitNumberOfReports{u"LimitNumberOfReports", u"Report", true};
  VarInt_t Report_MaxNumberOfReports{u"MaxNumberOfReports", u"Report", 50, 1, 99999};
  VarBool_t Report_SendToEmail{u"SendToEmail", u"Report", false};
  VarStr_t Report_EmailFromAddress{u"EmailFromAddress", u"Report"};
  VarStr_t Report_EmailToAddress{u"EmailToAddress", u"Report"};
  VarBool_t Report_FilterEvents{u"FilterEvents", u"Report", false};
  VarFL_t Report_PermitFilterList{u"PermitFilterList", u"Report"};
  VarFL_t Report_DenyFilterList{u"DenyFilterList", u"Report"};
  VarBool_t Report_TrimDescription{u"TrimDescription", u"Report", true};
  VarInt_t Report_TrimDescriptionLength{u"TrimDescriptionLength", u"Report", 500, 1, 99999};
  VarBool_t Report_ReplaceNonprintChars{u"ReplaceNonprintChars", u"Report", true};
  VarBool_t Report_ReplaceWithHexValue{u"ReplaceWithHexValue", u"Report", false};
  VarInt_t Report_ReplaceCustomChar{u"ReplaceCustomChar", u"Report", 32};
  VarBool_t Report_OmitEmptyLogs{u"OmitEmptyLogs", u"Report", false};

  // Popup
  VarBool_t Popup_Show{u"Show", u"Popup", false};
  VarBool_t Popup_Filter{u"Filter", u"Popup", false};
  VarFL_t Popup_PermitFilterList{u"PermitFilterList", u"Popup"};
  VarFL_t Popup_DenyFilterList{u"DenyFilterList", u"Popup"};
  VarBool_t Popup_AutoClose{u"AutoClose", u"Popup", true};
  VarInt_t Popup_AutoCloseDelay{u"AutoCloseDelay", u"Popup", 10, 0, 9999};
  VarBool_t Popup_PlaySound{u"PlaySound", u"Popup", false};
  VarStr_t Popup_SoundFile{u"SoundFile", u"Popup"};

  static constexpr const char16_t* kDefaultSyslogFormat =
      u"%EVENTLOG% %SOURCE%: [%EVENT_ID%] %DESCRIPTION%";
  static constexpr const char16_t* kDefaultEmailSubject =
      u"%COMPUTER% has %NUMBER_OF_EVENTS% new event(s) (%EVENTLOG%/%SOURCE%)";
  static constexpr const char16_t* kDefaultEmailTemplateHeader =
      u"Total number of events: %NUMBER_OF_EVENTS%\n\n";
  static constexpr const char16_t* kDefaultEmailTempate =
      u"%EVENT_NUMBER%   /   %DATE% %TIME%   /   %EVENTLOG%\r\n"
      u"------------------------------------------------------------------------------\r\n"
      u"Source   : %SOURCE%\r\n"
      u"EventID  : %EVENT_ID%\r\n"
      u"Category : %CATEGORY%\r\n"
      u"--\r\n"
      u"%DESCRIPTION%\r\n"
      u"\r\n";
  static constexpr const char16_t* kDefaultDbCommand =
      u"INSERT INTO EventLog (Generated, Type, EventId, Log, Source, Description) VALUES "
      u"('%DATE_TIME%', %EVENT_TYPE_NUM%, %EVENT_ID%, '%EVENTLOG%', '%SOURCE%', "
      u"'%DESCRIPTION%');";
};

// PassesFilters over a channel's two filter-list variables.
inline bool PassesFilters(const SEventRecord& record, const CCVNSettings::VarFL_t& permit,
                          const CCVNSettings::VarFL_t& deny) {
  return PassesFilters(record, permit.rules, deny.rules);
}

}  // namespace cvn
