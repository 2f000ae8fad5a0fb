#include "syslog/syslog_message.h"

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "base/time32.h"
#include "platform/codepage.h"
#include "platform/socket.h"

namespace cvn {
namespace {

// 2024-03-05 07:04:09 UTC.
const uint32_t kMarch5 = static_cast<uint32_t>(SecondsFromUtc(2024, 3, 5, 7, 4, 9));

// A fixed zone one hour east of UTC, so local time and UTC differ.
bool UtcPlusOne(int64_t t, std::tm& out) { return UtcCalendarTime(t + 3600, out); }

// No name resolution in these tests.
class NoResolver : public platform::SocketCalls {
 public:
  uint32_t Resolve(std::string_view, std::string_view, const platform::ResolveHints&,
                   std::vector<platform::ResolvedAddress>*) override {
    return err::kWsaHostNotFound;
  }
};

class SyslogMessage : public ::testing::Test {
 protected:
  SyslogMessage() {
    record.timeGenerated = kMarch5;
    record.eventType = kEventTypeInformation;
    record.eventId = 0x40000404;
    record.logName = u"Application";
    record.source = u"Src";
    record.computer = u"HOST1";
    record.description = u"text";
    settings.Syslog_Format.value = u"%DESCRIPTION%";
    settings.Syslog_LocalTime.value = false;
  }
  std::string Build() { return PrepareSyslogMessage(settings, record, &UtcPlusOne); }
  // The message after the full header of kMarch5 in UTC with PRI 134.
  std::string Text() {
    const std::string m = Build();
    const std::string header = "<134>Mar  5 07:04:09 ";
    EXPECT_EQ(m.substr(0, header.size()), header);
    return m.substr(std::min(header.size(), m.size()));
  }

  NoResolver no_resolver;
  platform::ScopedSocketCalls scoped{&no_resolver};
  CCVNSettings settings;
  SEventRecord record;
};

TEST_F(SyslogMessage, PriorityFromFacilityAndEventType) {
  struct Case {
    int facility;
    uint16_t type;
    const char* pri;
  } cases[] = {{16, kEventTypeError, "<131>"},
               {23, kEventTypeInformation, "<190>"},
               {0, kEventTypeAuditSuccess, "<5>"},
               {0, kEventTypeAuditFailure, "<5>"},
               {1, kEventTypeWarning, "<12>"},
               {1, 0, "<13>"},
               {1, kEventTypeError | kEventTypeWarning, "<11>"}};
  for (const Case& c : cases) {
    settings.Syslog_Facility.value = c.facility;
    record.eventType = c.type;
    EXPECT_TRUE(Build().starts_with(c.pri)) << c.facility << "/" << c.type << ": " << Build();
  }
}

TEST_F(SyslogMessage, HeaderInUtcOrLocalTime) {
  settings.Syslog_Facility.value = 1;
  EXPECT_EQ(Build(), "<14>Mar  5 07:04:09 text");
  settings.Syslog_LocalTime.value = true;
  EXPECT_EQ(Build(), "<14>Mar  5 08:04:09 text");

  record.timeGenerated = static_cast<uint32_t>(SecondsFromUtc(2023, 12, 15, 23, 59, 59));
  settings.Syslog_LocalTime.value = false;
  EXPECT_EQ(Build(), "<14>Dec 15 23:59:59 text");
  settings.Syslog_LocalTime.value = true;
  EXPECT_EQ(Build(), "<14>Dec 16 00:59:59 text");

  // The real local-time conversion gives a header of the same shape.
  const std::string real = PrepareSyslogMessage(settings, record);
  ASSERT_EQ(real.size(), std::string("<14>Dec 16 00:59:59 text").size()) << real;
  EXPECT_EQ(real.substr(0, 4), "<14>");
}

TEST_F(SyslogMessage, ShortHeaderWhenTheTimeDoesNotConvert) {
  record.timeGenerated = 0x7FFFFFFFu;
  EXPECT_EQ(Build(), "<134>Jan 19 03:14:07 text");
  record.timeGenerated = 0x80000000u;
  EXPECT_EQ(Build(), "<134> text");
  settings.Syslog_LocalTime.value = true;
  EXPECT_EQ(Build(), "<134> text");
  EXPECT_EQ(PrepareSyslogMessage(settings, record), "<134> text");
}

TEST_F(SyslogMessage, DefaultTemplate) {
  settings.Syslog_Format.value = CCVNSettings().Syslog_Format.value;
  record.description = u"line one\r\nline two";
  EXPECT_EQ(Text(), "Application Src: [1028] line one.line two");
}

TEST_F(SyslogMessage, NonPrintableCharacters) {
  record.description = u"\n\n\none\r\ntwo\tthree\x1F";
  settings.Syslog_ReplaceNonprint.value = false;
  EXPECT_EQ(Text(), "\n\n\none\r\ntwo\tthree\x1F");

  settings.Syslog_ReplaceNonprint.value = true;
  EXPECT_EQ(Text(), ".one.two.three.");
  settings.Syslog_ReplaceChar.value = 0x10000 + '_';  // the low 16 bits count
  EXPECT_EQ(Text(), "_one_two_three_");
  settings.Syslog_ReplaceChar.value = 0xE9;  // a character beyond ASCII, converted with the text
  settings.Syslog_ForceCp.value = true;
  settings.Syslog_Cp.value = 65001;
  EXPECT_EQ(Text(), "\xC3\xA9one\xC3\xA9two\xC3\xA9three\xC3\xA9");

  settings.Syslog_ReplaceHex.value = true;
  record.description = u"a\tb\r\n\x7F~";
  EXPECT_EQ(Text(), "a<0x09>b<0x0D><0x0A>\x7F~");
  record.description = u"plain";
  EXPECT_EQ(Text(), "plain");
}

TEST_F(SyslogMessage, CodePages) {
  record.description = u"caf\u00E9 \u03A9 \U0001F600";
  settings.Syslog_ForceCp.value = true;
  settings.Syslog_Cp.value = 65001;
  EXPECT_EQ(Text(), "caf\xC3\xA9 \xCE\xA9 \xF0\x9F\x98\x80");
  settings.Syslog_Cp.value = 1252;  // what 1252 lacks becomes the system's replacement
  const std::string cp1252 = Text();
  EXPECT_TRUE(cp1252.starts_with("caf\xE9 ")) << cp1252;
  EXPECT_EQ(cp1252.find('\xCE'), std::string::npos);

  // Code pages the system cannot convert to give the header alone.
  for (int cp : {12345, 1200, 1201}) {
    settings.Syslog_Cp.value = cp;
    EXPECT_EQ(Build(), "<134>Mar  5 07:04:09 ") << cp;
  }

  // Without ForceCp the text goes out in the system's ANSI code page.
  settings.Syslog_ForceCp.value = false;
  EXPECT_EQ(Text(), platform::ToAnsi(record.description));
}

TEST_F(SyslogMessage, TrimToTheSizeLimit) {
  const std::string header = "<134>Mar  5 07:04:09 ";
  record.description = std::u16string(2000, u'x');
  settings.Syslog_TrimLarge.value = false;
  EXPECT_EQ(Build(), header + std::string(2000, 'x'));
  settings.Syslog_TrimLarge.value = true;
  EXPECT_EQ(Build(), header + std::string(1023 - header.size(), 'x'));
  record.description = std::u16string(1023 - header.size(), u'y');
  EXPECT_EQ(Build().size(), 1023u);

  // The cut falls between characters: no part of a multi-byte character or
  // of a surrogate pair is left at the end.
  settings.Syslog_ForceCp.value = true;
  settings.Syslog_Cp.value = 65001;
  for (std::u16string wide :
       {std::u16string(u"\u00E9"), std::u16string(u"\u20AC"), std::u16string(u"\U0001F600")}) {
    for (size_t lead = 0; lead < 4; ++lead) {
      std::u16string text(lead, u'a');
      while (text.size() < 2000) text += wide;
      record.description = text;
      const std::string m = Build();
      EXPECT_LE(m.size(), 1023u);
      EXPECT_GT(m.size(), 1023u - 4);
      const std::string body = m.substr(header.size());
      EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(body)), body) << "lead " << lead;
      EXPECT_EQ(Utf8ToUtf16(body), text.substr(0, Utf8ToUtf16(body).size()));
    }
  }
}

}  // namespace
}  // namespace cvn
