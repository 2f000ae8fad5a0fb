// cvncfg set: a missing file is created with defaults, an existing one keeps
// everything but the key set, and a refused key or value leaves the file as
// it was.
#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "config/cvn_settings.h"
#include "support/temp_dir.h"
#include "tools/cvncfg/config_set.h"

namespace cvn {
namespace {

class ConfigSetTest : public ::testing::Test {
 protected:
  bool Set(const char16_t* key, const char16_t* value) {
    error_.clear();
    return SetConfigValue(path_, key, value, error_);
  }
  CCVNSettings Read() {
    CCVNSettings s;
    EXPECT_EQ(s.LoadFile(path_, true), 0);
    return s;
  }

  cvn::testing::TempDir dir_;
  std::u16string path_ = (dir_.path() / "Halvorn" / "Corvane 3" / "settings.cvncfg").u16string();
  std::u16string error_;
};

TEST_F(ConfigSetTest, CreatesAMissingFileAndFolderWithDefaultsAndParsesEachType) {
  ASSERT_TRUE(Set(u"syslog/PORT", u"6514")) << Utf16ToUtf8(error_);
  EXPECT_EQ(Read().Syslog_Port.value, 6514);
  EXPECT_TRUE(Read().ToDocument().FindChild(u"Popup").FindChild(u"SoundFile").IsValid());

  EXPECT_TRUE(Set(u"Syslog/Tcp", u"on"));
  EXPECT_TRUE(Set(u"Syslog/Server", u"127.0.0.1, logs.example.test"));
  EXPECT_TRUE(Set(u"Report/ScheduleParameter", u"0x10"));  // no declared range: any int32
  EXPECT_TRUE(Set(u"DB/MaxQueue", u"-1"));
  EXPECT_TRUE(Set(u"Logs/List", u" Application ,,Windows PowerShell,"));
  const CCVNSettings s = Read();
  EXPECT_TRUE(s.Syslog_Tcp.value);
  EXPECT_EQ(s.Syslog_Server.value, u"127.0.0.1, logs.example.test");
  EXPECT_EQ(s.Report_ScheduleParameter.value, 16);
  EXPECT_EQ(s.DB_MaxQueue.value, -1);
  EXPECT_EQ(s.Logs_List.items,
            (std::vector<std::u16string>{u"Application", u"Windows PowerShell"}));
  EXPECT_EQ(s.Syslog_Facility.value, 16);  // untouched keys keep their defaults
}

TEST_F(ConfigSetTest, ASharedFileHoldsOnlyTheKeysGiven) {
  ASSERT_TRUE(SetConfigValue(path_, u"Syslog/Server", u"10.0.0.9", error_, true));
  ASSERT_TRUE(SetConfigValue(path_, u"Syslog/Port", u"1514", error_, true));
  XmlDocument document(u"Corvane");
  ASSERT_EQ(document.Load(path_), 0);
  ASSERT_EQ(document.GetChildCount(), 1);
  EXPECT_EQ(document.GetChild(0).GetName(), u"Syslog");
  EXPECT_EQ(document.GetChild(0).GetChildCount(), 2);
  EXPECT_EQ(Read().Syslog_Port.value, 1514);
}

TEST_F(ConfigSetTest, AnExistingFileKeepsItsOtherElementsAndAListIsReplaced) {
  path_ = (dir_.path() / "settings.cvncfg").u16string();
  XmlDocument document(u"Corvane");
  document.AddChild(u"Syslog").AddChild(u"Facility").SetTextInt(3);
  document.AddChild(u"Custom").AddChild(u"Mine").SetAttribute(u"text", u"kept");
  ASSERT_EQ(document.Save(path_), 0);

  ASSERT_TRUE(Set(u"Logs/List", u"System,Security"));
  ASSERT_TRUE(Set(u"Logs/List", u"Application"));
  ASSERT_TRUE(Set(u"Syslog/Facility", u"4"));
  const CCVNSettings s = Read();
  EXPECT_EQ(s.Logs_List.items, std::vector<std::u16string>{u"Application"});
  EXPECT_EQ(s.Syslog_Facility.value, 4);
  XmlDocument after(u"Corvane");
  ASSERT_EQ(after.Load(path_), 0);
  EXPECT_EQ(after.FindChild(u"Custom").FindChild(u"Mine").GetAttribute(u"text"), u"kept");
  EXPECT_FALSE(after.FindChild(u"Email").IsValid());  // nothing added beyond the key
}

TEST_F(ConfigSetTest, RefusesUnknownKeysFilterListsAndBadValuesLeavingTheFileAsItWas) {
  ASSERT_TRUE(Set(u"Syslog/Port", u"514"));
  const std::string before = cvn::testing::ReadFileBytes(path_);
  const struct {
    const char16_t* key;
    const char16_t* value;
    const char* says;
  } refused[] = {
      {u"Syslog/Prot", u"1", "not a key"},
      {u"Port", u"1", "Section/Key"},
      {u"Syslog/PermitFilterList", u"x", "filter list"},
      {u"Syslog/Port", u"0", "from 1 to 65535"},
      {u"Syslog/Port", u"65536", "from 1 to 65535"},
      {u"Syslog/Port", u"51 4", "not \"51 4\""},
      {u"Syslog/Port", u"", "whole number"},
      {u"Email/MaxQueue", u"4294967296", "whole number"},
      {u"Syslog/Tls", u"2", "1 or 0"},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(Set(r.key, r.value)) << Utf16ToUtf8(r.key);
    EXPECT_NE(Utf16ToUtf8(error_).find(r.says), std::string::npos) << Utf16ToUtf8(error_);
  }
  EXPECT_EQ(cvn::testing::ReadFileBytes(path_), before);

  cvn::testing::WriteFileBytes(path_, "not a configuration");
  EXPECT_FALSE(Set(u"Syslog/Port", u"515"));
  EXPECT_NE(Utf16ToUtf8(error_).find("not a valid configuration file"), std::string::npos);
  EXPECT_EQ(cvn::testing::ReadFileBytes(path_), "not a configuration");
}

}  // namespace
}  // namespace cvn
