#include "syslog/syslog_message.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "base/time32.h"
#include "platform/codepage.h"
#include "platform/environment.h"
#include "platform/socket.h"

namespace cvn {
namespace {

const std::string kHeader = "<134>Mar  5 07:04:09 ";  // facility 16, information, UTC

// A fixed zone one hour east of UTC, so local time and UTC differ.
bool UtcPlusOne(int64_t t, std::tm& out) { return UtcCalendarTime(t + 3600, out); }

// A zone five and a half hours west of UTC: a negative offset with minutes.
bool UtcMinusFiveThirty(int64_t t, std::tm& out) { return UtcCalendarTime(t - 19800, out); }

struct NoResolver : platform::SocketCalls {
  uint32_t Resolve(std::string_view, std::string_view, const platform::ResolveHints&,
                   std::vector<platform::ResolvedAddress>*) override {
    return err::kWsaHostNotFound;
  }
};

class SyslogMessage : public ::testing::Test {
 protected:
  SyslogMessage() {
    record.timeGenerated = static_cast<uint32_t>(SecondsFromUtc(2024, 3, 5, 7, 4, 9));
    record.eventType = kEventTypeInformation;
    record.description = u"text";
    settings.Syslog_Format.value = u"%DESCRIPTION%";
    settings.Syslog_LocalTime.value = false;
  }
  std::string Build() { return PrepareSyslogMessage(settings, record, &UtcPlusOne); }
  std::string Text() {
    const std::string m = Build();
    EXPECT_TRUE(m.starts_with(kHeader)) << m;
    return m.substr(std::min(kHeader.size(), m.size()));
  }
  void ForceCp(int cp) {
    settings.Syslog_ForceCp.value = true;
    settings.Syslog_Cp.value = cp;
  }

  NoResolver no_resolver;
  platform::ScopedSocketCalls scoped{&no_resolver};
  CCVNSettings settings;
  SEventRecord record;
};

TEST_F(SyslogMessage, PriorityAndHeader) {
  const struct {
    int facility;
    uint16_t type;
    const char* pri;
  } cases[] = {
      {16, kEventTypeError, "<131>"},     {23, kEventTypeInformation, "<190>"},
      {0, kEventTypeAuditSuccess, "<5>"}, {0, kEventTypeAuditFailure, "<5>"},
      {1, kEventTypeWarning, "<12>"},     {1, kEventTypeError | kEventTypeWarning, "<11>"}};
  for (const auto& c : cases) {
    settings.Syslog_Facility.value = c.facility;
    record.eventType = c.type;
    EXPECT_EQ(Build(), std::string(c.pri) + kHeader.substr(5) + "text");
  }
  settings.Syslog_Facility.value = 0x7FFFFFFF;  // read without a range check: no overflow
  EXPECT_TRUE(Build().starts_with("<17179869179>Mar")) << Build();
  settings.Syslog_Facility.value = 1;
  settings.Syslog_LocalTime.value = true;
  EXPECT_EQ(Build(), "<11>Mar  5 08:04:09 text");
  record.timeGenerated = static_cast<uint32_t>(SecondsFromUtc(2023, 12, 31, 23, 59, 59));
  EXPECT_EQ(Build(), "<11>Jan  1 00:59:59 text");
  settings.Syslog_LocalTime.value = false;
  EXPECT_EQ(Build(), "<11>Dec 31 23:59:59 text");
}

TEST_F(SyslogMessage, ShortHeaderWhenTheTimeDoesNotConvert) {
  record.timeGenerated = 0x7FFFFFFFu;
  EXPECT_EQ(Build(), "<134>Jan 19 03:14:07 text");
  record.timeGenerated = 0x80000000u;
  EXPECT_EQ(Build(), "<134> text");
  settings.Syslog_LocalTime.value = true;
  EXPECT_EQ(PrepareSyslogMessage(settings, record), "<134> text");  // the system's conversion
}

TEST_F(SyslogMessage, NonPrintableCharacters) {
  record.description = u"\n\n\none\r\ntwo\tthree\x1F";
  settings.Syslog_ReplaceNonprint.value = false;
  EXPECT_EQ(Text(), "\n\n\none\r\ntwo\tthree\x1F");
  settings.Syslog_ReplaceNonprint.value = true;
  EXPECT_EQ(Text(), ".one.two.three.");
  settings.Syslog_ReplaceChar.value = 0x10000 + '_';  // the low 16 bits count
  EXPECT_EQ(Text(), "_one_two_three_");
  settings.Syslog_ReplaceChar.value = 0xE9;  // converted with the text
  ForceCp(65001);
  EXPECT_EQ(Text(), "\xC3\xA9one\xC3\xA9two\xC3\xA9three\xC3\xA9");

  settings.Syslog_ReplaceHex.value = true;
  record.description = u"a\tb\r\n\x7F~";
  EXPECT_EQ(Text(), "a<0x09>b<0x0D><0x0A>\x7F~");
}

TEST_F(SyslogMessage, CodePages) {
  settings.Syslog_Format.value = CCVNSettings().Syslog_Format.value;
  record.logName = u"Application";
  record.source = u"Src";
  record.eventId = 0x40000404;
  record.description = u"caf\u00E9 \u03A9 \U0001F600";
  ForceCp(65001);
  EXPECT_EQ(Text(), "Application Src: [1028] caf\xC3\xA9 \xCE\xA9 \xF0\x9F\x98\x80");
  ForceCp(1252);  // what 1252 lacks becomes the system's replacement
  EXPECT_TRUE(Text().starts_with("Application Src: [1028] caf\xE9 ? ?")) << Text();
  for (int cp : {12345, 1200}) {  // not convertible: the header alone
    ForceCp(cp);
    EXPECT_EQ(Build(), kHeader) << cp;
  }
  settings.Syslog_ForceCp.value = false;  // the system's ANSI code page
  EXPECT_EQ(Text(), platform::ToAnsi(u"Application Src: [1028] " + record.description));
}

TEST_F(SyslogMessage, TrimToTheSizeLimit) {
  record.description = std::u16string(2000, u'x');
  settings.Syslog_TrimLarge.value = false;
  EXPECT_EQ(Build(), kHeader + std::string(2000, 'x'));
  settings.Syslog_TrimLarge.value = true;
  EXPECT_EQ(Build(), kHeader + std::string(1023 - kHeader.size(), 'x'));

  // The cut falls between characters: no part of a multi-byte character or of
  // a surrogate pair is left at the end.
  ForceCp(65001);
  for (std::u16string wide : {u"\u00E9", u"\u20AC", u"\U0001F600"}) {
    for (size_t lead = 0; lead < 4; ++lead) {
      std::u16string text(lead, u'a');
      while (text.size() < 2000) text += wide;
      record.description = text;
      const std::string m = Build();
      EXPECT_GT(m.size(), 1023u - 4);
      EXPECT_LE(m.size(), 1023u);
      const std::u16string body = Utf8ToUtf16(m.substr(kHeader.size()));
      EXPECT_EQ(body, text.substr(0, body.size())) << "lead " << lead;
    }
  }
}

// The host name after the time stamp: the record's computer, this computer's
// name when the record has none, anything but printable ASCII as "_".
TEST_F(SyslogMessage, HostNameFollowsTheTimeStamp) {
  settings.Syslog_Header.value = kSyslogHeaderWithHost;
  const std::string local = SyslogHeaderName(platform::LocalComputerName(), kMaxHostNameBytes);
  const struct {
    std::u16string computer;
    std::string host;
  } cases[] = {{u"WS01", "WS01"},
               {u"", local},
               {u"two words\n<13>", "two_words_<13>"},
               {u"h\u00F6st\U0001F600", "h_st_"}};
  for (const auto& c : cases) {
    record.computer = c.computer;
    EXPECT_EQ(Build(), kHeader + c.host + " text");
  }
  record.timeGenerated = 0x80000000u;  // no time stamp: the host name still leads
  record.computer = u"WS01";
  EXPECT_EQ(Build(), "<134> WS01 text");
}

class VersionOneMessage : public SyslogMessage {
 protected:
  VersionOneMessage() {
    settings.Syslog_Header.value = kSyslogHeaderVersion1;
    ForceCp(1252);  // no byte order mark
    record.logName = u"Application";
    record.source = u"Src";
    record.eventId = 0x40000404;
    record.recordNumber = 70000;
    record.category = 3;
    record.user = u"alice";
    record.computer = u"WS01";
  }
  static std::string Sd(const std::string& source = "Src", const std::string& user = "alice") {
    return "[event@32473 log=\"Application\" source=\"" + source +
           "\" eventId=\"1028\" type=\"Information\" recordNumber=\"70000\" category=\"3\" "
           "user=\"" +
           user + "\" computer=\"WS01\"]";
  }
};

TEST_F(VersionOneMessage, HeaderStructuredDataAndText) {
  const std::string head = "<134>1 2024-03-05T07:04:09.000Z WS01 Src - 1028 ";
  EXPECT_EQ(Build(), head + Sd() + " text");
  const struct {
    LocalTimeFunction zone;
    const char* stamp;
  } zones[] = {{&UtcPlusOne, "2024-03-05T08:04:09.000+01:00"},
               {&UtcMinusFiveThirty, "2024-03-05T01:34:09.000-05:30"}};
  settings.Syslog_LocalTime.value = true;
  for (const auto& z : zones) {
    EXPECT_EQ(PrepareSyslogMessage(settings, record, z.zone),
              std::string("<134>1 ") + z.stamp + " WS01 Src - 1028 " + Sd() + " text");
  }
  settings.Syslog_LocalTime.value = false;
  record.timeGenerated = 0x80000000u;
  EXPECT_EQ(Build(), "<134>1 - WS01 Src - 1028 " + Sd() + " text");
  record.timeGenerated = static_cast<uint32_t>(SecondsFromUtc(2024, 3, 5, 7, 4, 9));

  ForceCp(65001);  // UTF-8 text is marked as such
  record.description = u"caf\u00E9";
  EXPECT_EQ(Build(), head + Sd() +
                         " \xEF\xBB\xBF"
                         "caf\xC3\xA9");
  record.description.clear();
  EXPECT_EQ(Build(), head + Sd() + " \xEF\xBB\xBF");
  ForceCp(1252);
  EXPECT_EQ(Build(), head + Sd());  // no text: no MSG
  ForceCp(12345);
  record.description = u"lost";
  EXPECT_EQ(Build(), head + Sd());  // an unknown code page: no MSG either
}

// What comes from the record cannot break the header or the structured data:
// names are cut and cleaned, values escaped (as UTF-8 whatever the code page),
// control characters replaced as in the text.
TEST_F(VersionOneMessage, FieldsAreCleanedAndEscaped) {
  const struct {
    std::u16string source, user;
    std::string app, sd_source, sd_user;
  } cases[] = {
      {u"My App", u"a\"b", "My_App", "My App", "a\\\"b"},
      {u"x]y", u"c:\\d", "x]y", "x\\]y", "c:\\\\d"},
      {std::u16string(60, u's'), u"\u00E9=", std::string(48, 's'), std::string(60, 's'),
       "\xC3\xA9="},
      {u"", u"l\r\nf", "-", "", "l.f"},
  };
  for (const auto& c : cases) {
    record.source = c.source;
    record.user = c.user;
    EXPECT_EQ(Build(), "<134>1 2024-03-05T07:04:09.000Z WS01 " + c.app + " - 1028 " +
                           Sd(c.sd_source, c.sd_user) + " text");
  }
}

TEST_F(VersionOneMessage, TheSizeLimitCutsTheTextOnly) {
  record.description = std::u16string(2000, u'x');
  const std::string head = "<134>1 2024-03-05T07:04:09.000Z WS01 Src - 1028 " + Sd() + " ";
  EXPECT_EQ(Build(), head + std::string(1023 - head.size(), 'x'));
  // Fields too long for the limit: the structured data gives way as a whole.
  record.source = std::u16string(1100, u's');
  const std::string bare =
      "<134>1 2024-03-05T07:04:09.000Z WS01 " + std::string(48, 's') + " - 1028 - ";
  EXPECT_EQ(Build(), bare + std::string(1023 - bare.size(), 'x'));
  settings.Syslog_TrimLarge.value = false;
  EXPECT_EQ(Build(), bare.substr(0, bare.size() - 2) + Sd(std::string(1100, 's')) + " " +
                         std::string(2000, 'x'));
}

}  // namespace
}  // namespace cvn
