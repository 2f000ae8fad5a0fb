// The configuration schema: the saved order of sections and keys, notable
// defaults, and a file round trip of every key with non-default values.
#include "config/cvn_settings.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "support/temp_dir.h"
#include "xml_test_util.h"

namespace cvn {
namespace {

// Section/Key of every key in the order a saved file lists them.
const char16_t* const kKeyOrder[] = {
    u"General/Autorun",
    u"General/CheckUpdates",
    u"General/TrayIcon",
    u"General/HideTaskbar",
    u"General/DateFormat",
    u"General/TimeFormat",
    u"General/CacheFolder",
    u"General/LogFolder",
    u"General/KeepLogs",
    u"General/TraceLog",
    u"General/MetricsAddress",
    u"Settings/UseSharedFile",
    u"Settings/SharedFilePath",
    u"Settings/TrackChanges",
    u"Settings/TrackChangesPeriod",
    u"Logs/InspectAll",
    u"Logs/IsIncludeList",
    u"Logs/List",
    u"Logs/ProcessOld",
    u"Logs/MaxNewRecords",
    u"Syslog/Server",
    u"Syslog/Port",
    u"Syslog/Tcp",
    u"Syslog/Tls",
    u"Syslog/Facility",
    u"Syslog/TcpSeparator",
    u"Syslog/ForceCp",
    u"Syslog/Cp",
    u"Syslog/TrimLarge",
    u"Syslog/ReplaceNonprint",
    u"Syslog/ReplaceHex",
    u"Syslog/ReplaceChar",
    u"Syslog/LocalTime",
    u"Syslog/MaxQueue",
    u"Syslog/PermitFilterList",
    u"Syslog/DenyFilterList",
    u"Syslog/Forward",
    u"Syslog/Filter",
    u"Syslog/Format",
    u"Syslog/ProcessOld",
    u"Syslog/TlsVerify",
    u"Syslog/TlsCaFile",
    u"Syslog/TlsCertFile",
    u"Syslog/TlsKeyFile",
    u"Syslog/Header",
    u"Syslog/UdpMaxRate",
    u"Email/Server",
    u"Email/Port",
    u"Email/AuthType",
    u"Email/Username",
    u"Email/Password",
    u"Email/Forward",
    u"Email/Filter",
    u"Email/PermitFilterList",
    u"Email/DenyFilterList",
    u"Email/MaxQueue",
    u"Email/From",
    u"Email/To",
    u"Email/Format",
    u"Email/Subject",
    u"Email/TemplateHeader",
    u"Email/Tempate",
    u"Email/TemplateFooter",
    u"Email/ProcessOld",
    u"Email/SecureConnection",
    u"Email/LimitSubject",
    u"Email/LimitSubjectTo",
    u"Email/LimitBody",
    u"Email/LimitBodyTo",
    u"Email/Consolidation",
    u"Email/TimesPerHour",
    u"Email/TlsVerify",
    u"Email/TlsCaFile",
    u"DB/ConnString",
    u"DB/Command",
    u"DB/UseTrans",
    u"DB/Forward",
    u"DB/Filter",
    u"DB/PermitFilterList",
    u"DB/DenyFilterList",
    u"DB/ProcessOld",
    u"DB/MaxQueue",
    u"DB/PositionTable",
    u"Report/GeneratePeriodically",
    u"Report/ScheduleType",
    u"Report/ScheduleParameter",
    u"Report/FolderPath",
    u"Report/LimitNumberOfReports",
    u"Report/MaxNumberOfReports",
    u"Report/SendToEmail",
    u"Report/EmailFromAddress",
    u"Report/EmailToAddress",
    u"Report/FilterEvents",
    u"Report/PermitFilterList",
    u"Report/DenyFilterList",
    u"Report/TrimDescription",
    u"Report/TrimDescriptionLength",
    u"Report/ReplaceNonprintChars",
    u"Report/ReplaceWithHexValue",
    u"Report/ReplaceCustomChar",
    u"Report/OmitEmptyLogs",
    u"Popup/Show",
    u"Popup/Filter",
    u"Popup/PermitFilterList",
    u"Popup/DenyFilterList",
    u"Popup/AutoClose",
    u"Popup/AutoCloseDelay",
    u"Popup/PlaySound",
    u"Popup/SoundFile",
};

TEST(Schema, AFreshInstanceSavesEverySectionAndKeyInTableOrder) {
  const CCVNSettings settings;
  const XmlDocument document = settings.ToDocument();
  std::vector<std::u16string> saved;
  for (int s = 0; s < document.GetChildCount(); ++s) {
    const XmlNode& section = document.GetChild(s);
    for (int k = 0; k < section.GetChildCount(); ++k) {
      saved.push_back(section.GetName() + u"/" + section.GetChild(k).GetName());
    }
  }
  ASSERT_EQ(saved.size(), std::size(kKeyOrder));
  EXPECT_EQ(saved.size(), 109u);
  for (size_t i = 0; i < saved.size(); ++i) EXPECT_EQ(saved[i], kKeyOrder[i]) << i;
  EXPECT_EQ(settings.Variables().size(), saved.size());
}

TEST(Schema, NotableDefaults) {
  const CCVNSettings s;
  const std::u16string body = s.Email_Tempate.value;
  EXPECT_EQ(body.size(), 221u);
  EXPECT_EQ(body.substr(0, 53), u"%EVENT_NUMBER%   /   %DATE% %TIME%   /   %EVENTLOG%\r\n");
  EXPECT_EQ(body.substr(53, 80), std::u16string(78, u'-') + u"\r\n");
  EXPECT_EQ(body.substr(body.size() - 17), u"%DESCRIPTION%\r\n\r\n");
  EXPECT_EQ(s.Email_TemplateHeader.value, u"Total number of events: %NUMBER_OF_EVENTS%\n\n");
  EXPECT_EQ(s.Report_ScheduleParameter.value, 7329792);
  EXPECT_FALSE(s.Syslog_Forward.value || s.Email_Forward.value || s.DB_Forward.value ||
               s.Popup_Show.value);
  EXPECT_TRUE(s.Logs_InspectAll.value && s.Logs_ProcessOld.value);
  EXPECT_EQ(s.Syslog_Port.minimum, 1);
  EXPECT_EQ(s.Syslog_Port.maximum, 65535);
  EXPECT_FALSE(s.Syslog_MaxQueue.HasRange());
}

TEST(Schema, TheBodyTemplateIsReadAsTempateOnly) {
  CCVNSettings s;
  XmlDocument document(u"Corvane");
  ASSERT_EQ(testing::ParseBody(document,
                               u"<Corvane><Email><Template text=\"ignored\" />"
                               u"<Subject text=\"s\" /></Email></Corvane>"),
            0);
  s.Load(document, false);
  EXPECT_EQ(s.Email_Subject.value, u"s");
  EXPECT_EQ(s.Email_Tempate.value, CCVNSettings::kDefaultEmailTempate);
}

// Gives every variable a value that differs from its default.
void SetNonDefaults(CCVNSettings& s) {
  int n = 0;
  for (CSTSettings::Var_t* var : s.Variables()) {
    ++n;
    if (auto* v = dynamic_cast<CSTSettings::VarInt_t*>(var)) {
      v->value = (n % 2 ? -1 : 100000) * n;
    } else if (auto* v = dynamic_cast<CSTSettings::VarBool_t*>(var)) {
      v->value = !v->def;
    } else if (auto* v = dynamic_cast<CSTSettings::VarStr_t*>(var)) {
      v->value = u"  " + std::u16string(var->name) + u" & \"quoted\" <tag> \r\n\t'x'  ";
    } else if (auto* v = dynamic_cast<CSTSettings::VarStrList_t*>(var)) {
      v->items = {u"Application", u"", u" <&> "};
    } else if (auto* v = dynamic_cast<CCVNSettings::VarFL_t*>(var)) {
      FilterRule rule;
      rule.Name = var->name;
      rule.Active = true;
      rule.EventType = {true, 6};
      rule.Source = {true, 1, u"a&b"};
      rule.EventID = {false, 4, 200 * 65536 + 100};
      rule.Description = {true, 3, u"  \"x\" ", 1};
      v->rules = {rule, FilterRule()};
    } else {
      ADD_FAILURE() << "unknown variable class for " << Utf16ToUtf8(var->name);
    }
  }
}

TEST(Schema, EveryKeySurvivesAFileRoundTrip) {
  cvn::testing::TempDir dir;
  const std::u16string path = (dir.path() / "settings.cvncfg").u16string();
  CCVNSettings written;
  SetNonDefaults(written);
  const CCVNSettings defaults;
  for (size_t i = 0; i < written.Variables().size(); ++i) {
    EXPECT_FALSE(written.Variables()[i]->IsEqual(*defaults.Variables()[i]))
        << Utf16ToUtf8(written.Variables()[i]->name);
  }
  ASSERT_EQ(written.SaveFile(path), 0);

  CCVNSettings read;
  ASSERT_EQ(read.LoadFile(path, false), 0);
  for (size_t i = 0; i < read.Variables().size(); ++i) {
    EXPECT_TRUE(read.Variables()[i]->IsEqual(*written.Variables()[i]))
        << Utf16ToUtf8(read.Variables()[i]->section) << "/"
        << Utf16ToUtf8(read.Variables()[i]->name);
  }
  // The saved form is stable: saving what was read gives the same bytes.
  EXPECT_EQ(read.ToDocument().ToBytes(), written.ToDocument().ToBytes());
}

TEST(Schema, LoadFileAppliesNothingWhenTheFileIsMissingOrMalformed) {
  cvn::testing::TempDir dir;
  CCVNSettings s;
  s.Syslog_Port.value = 1;
  EXPECT_EQ(s.LoadFile((dir.path() / "missing").u16string(), true), 2);
  EXPECT_EQ(s.Syslog_Port.value, 1);
  cvn::testing::WriteFileBytes(dir.path() / "bad", testing::XmlImage(u"<Corvane>"));
  EXPECT_EQ(s.LoadFile((dir.path() / "bad").u16string(), true), -1);
  EXPECT_EQ(s.Syslog_Port.value, 1);
}

TEST(Schema, CopiesAreIndependent) {
  CCVNSettings a;
  a.Logs_List.items = {u"System"};
  a.Syslog_Server.value = u"host";
  CCVNSettings b(a);
  EXPECT_TRUE(b.IsEqual(a));
  a.Syslog_Server.value = u"other";
  EXPECT_EQ(b.Syslog_Server.value, u"host");
  b = a;
  EXPECT_EQ(b.Syslog_Server.value, u"other");
  // The copy's registration points at its own members.
  EXPECT_EQ(b.Variables()[20], &b.Syslog_Server);
}

}  // namespace
}  // namespace cvn
