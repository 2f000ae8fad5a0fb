#include "events/placeholders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "platform/socket.h"
#include "report/date_time_format.h"

namespace cvn {
namespace {

using platform::AddressFamily;
using platform::ResolvedAddress;
using platform::SocketAddress;

constexpr PlaceholderChannel kAll[] = {PlaceholderChannel::kSyslog, PlaceholderChannel::kEmail,
                                       PlaceholderChannel::kDatabase};

SEventRecord Sample() {
  SEventRecord r;
  r.recordNumber = 70000;
  r.timeGenerated = 1709658249;  // 2024-03-05 17:04:09 UTC
  r.eventId = 0x40000404;
  r.eventType = kEventTypeWarning;
  r.category = 65535;
  r.source = u"Src";
  r.computer = u"HOST1";
  r.user = u"alice";
  r.description = u"desc";
  r.logName = u"Application";
  return r;
}

std::string Fill(PlaceholderChannel channel, const SEventRecord& r, std::u16string_view text) {
  return Utf16ToUtf8(CPlaceholderFiller(channel, r).Fill(text));
}

// Name resolution without a network: a fixed answer, counted.
class FakeResolver : public platform::SocketCalls {
 public:
  uint32_t Resolve(std::string_view host, std::string_view, const platform::ResolveHints&,
                   std::vector<ResolvedAddress>* out) override {
    ++calls;
    last_host = std::string(host);
    if (result != 0) return result;
    *out = answer;
    return 0;
  }
  uint32_t result = 0;
  std::vector<ResolvedAddress> answer;
  int calls = 0;
  std::string last_host;
};

ResolvedAddress Loopback(AddressFamily family) {
  ResolvedAddress a;
  a.family = family;
  a.address = SocketAddress::Loopback(0, family);
  return a;
}

bool UtcAsLocal(int64_t t, std::tm& out) {
  if (t < 0 || t > 0x7FFFFFFF) return false;
  const time_t v = static_cast<time_t>(t);
  return gmtime_r(&v, &out) != nullptr;
}

TEST(PlaceholderValues, NumbersAndTextsInEveryChannel) {
  const SEventRecord r = Sample();
  for (PlaceholderChannel ch : kAll) {
    EXPECT_EQ(Fill(ch, r,
                   u"%EVENTLOG%|%EVENT_ID%|%EVENT_NUMBER%|%CATEGORY_ID%|%SOURCE%|%USER%|"
                   u"[%CATEGORY%]|%COMPUTER%|%DESCRIPTION%"),
              "Application|1028|4464|65535|Src|alice|[]|HOST1|desc");
  }
  SEventRecord c = r;
  c.eventId = 0xC0000005;
  c.recordNumber = 0x10000;
  for (PlaceholderChannel ch : kAll) EXPECT_EQ(Fill(ch, c, u"%EVENT_ID% %EVENT_NUMBER%"), "5 0");
}

TEST(PlaceholderValues, EachChannelKnowsItsOwnSet) {
  const SEventRecord r = Sample();
  // Unknown placeholders, misspelt or lower-case ones stay exactly as written.
  EXPECT_EQ(Fill(PlaceholderChannel::kSyslog, r, u"%EVENT_TYPE% %DATE%"), "%EVENT_TYPE% %DATE%");
  EXPECT_EQ(Fill(PlaceholderChannel::kSyslog, r, u"%TIME%%DATE_TIME%%EVENT_TYPE_NUM%"),
            "%TIME%%DATE_TIME%%EVENT_TYPE_NUM%");
  EXPECT_EQ(Fill(PlaceholderChannel::kEmail, r, u"%EVENT_TYPE_NUM% %DATE_TIME% %source% % SOURCE%"),
            "%EVENT_TYPE_NUM% %DATE_TIME% %source% % SOURCE%");
  EXPECT_EQ(Fill(PlaceholderChannel::kDatabase, r, u"%DATE% %TIME% %NUMBER_OF_EVENTS%"),
            "%DATE% %TIME% %NUMBER_OF_EVENTS%");
  EXPECT_EQ(Fill(PlaceholderChannel::kEmail, r, u"%EVENT_TYPE% %NUMBER_OF_EVENTS%"),
            "Warning %NUMBER_OF_EVENTS%");
  EXPECT_EQ(Fill(PlaceholderChannel::kDatabase, r, u"%EVENT_TYPE%/%EVENT_TYPE_NUM%"), "Warning/2");
}

// A value holding a placeholder of a later step is expanded by that step; one
// of an earlier or the same step, or anything in the description, stays.
TEST(PlaceholderOrder, ValuesHoldingPlaceholders) {
  SEventRecord r = Sample();
  r.source = u"%USER%";
  r.description = u"%SOURCE% %EVENTLOG% %USER%";
  for (PlaceholderChannel ch : kAll) {
    EXPECT_EQ(Fill(ch, r, u"%SOURCE%"), "alice");
    EXPECT_EQ(Fill(ch, r, u"%DESCRIPTION%"), "%SOURCE% %EVENTLOG% %USER%");
  }

  r = Sample();
  r.source = u"%EVENTLOG%|%SOURCE%";  // earlier step, same step
  for (PlaceholderChannel ch : kAll) {
    EXPECT_EQ(Fill(ch, r, u"%SOURCE% %SOURCE%"), "%EVENTLOG%|%SOURCE% %EVENTLOG%|%SOURCE%");
  }

  // The orders differ: the type number comes after the category number only
  // in the database channel, the date after the time only in e-mails.
  r = Sample();
  r.logName = u"%CATEGORY_ID%/%EVENT_TYPE_NUM%";
  EXPECT_EQ(Fill(PlaceholderChannel::kDatabase, r, u"%EVENTLOG%"), "65535/2");
  EXPECT_EQ(Fill(PlaceholderChannel::kEmail, r, u"%EVENTLOG%"), "65535/%EVENT_TYPE_NUM%");
  r = Sample();
  r.user = u"%CATEGORY%%COMPUTER%";
  r.categoryText = u"%USER%";
  for (PlaceholderChannel ch : kAll) EXPECT_EQ(Fill(ch, r, u"%USER%"), "%USER%HOST1");
}

TEST(PlaceholderOrder, ReplaceAllGoesOnAfterTheInsertedValue) {
  std::u16string text = u"a%X%b%X%%X";
  ReplaceAllPlaceholders(text, u"%X%", u"<%X%>");
  EXPECT_EQ(Utf16ToUtf8(text), "a<%X%>b<%X%>%X");
}

TEST(PlaceholderDates, DatabaseDateTimeAndEmailDateAndTime) {
  SEventRecord r = Sample();
  CPlaceholderFiller db(PlaceholderChannel::kDatabase, r);
  db.SetLocalTimeFunction(&UtcAsLocal);
  EXPECT_EQ(Utf16ToUtf8(db.Fill(u"'%DATE_TIME%'")), "'2024-03-05 17:04:09'");

  CPlaceholderFiller mail(PlaceholderChannel::kEmail, r);
  mail.SetDateTimeFormats(9, 2);
  EXPECT_EQ(mail.Fill(u"%DATE% %TIME%"),
            FormatDate(r.timeGenerated, 9) + u" " + FormatTime(r.timeGenerated, 2));

  // A time that does not convert: the database placeholder stays, the e-mail
  // values are empty.
  r.timeGenerated = 0x80000000u;
  CPlaceholderFiller late(PlaceholderChannel::kDatabase, r);
  late.SetLocalTimeFunction(&UtcAsLocal);
  EXPECT_EQ(Utf16ToUtf8(late.Fill(u"%DATE_TIME%")), "%DATE_TIME%");
  EXPECT_EQ(Fill(PlaceholderChannel::kEmail, r, u"[%DATE%][%TIME%]"), "[][]");
}

TEST(PlaceholderQuotes, DatabaseTextsHaveTheirSingleQuotesDoubled) {
  SEventRecord r = Sample();
  r.user = u"O'Brien";
  r.description = u"it's'); DROP TABLE EventLog; --";
  EXPECT_EQ(Fill(PlaceholderChannel::kDatabase, r, u"('%USER%', '%DESCRIPTION%', %EVENT_ID%)"),
            "('O''Brien', 'it''s''); DROP TABLE EventLog; --', 1028)");
  EXPECT_EQ(Fill(PlaceholderChannel::kEmail, r, u"%USER%"), "O'Brien");
  EXPECT_EQ(Fill(PlaceholderChannel::kSyslog, r, u"%USER%"), "O'Brien");

  CPlaceholderFiller raw(PlaceholderChannel::kDatabase, r);
  raw.SetDoubleSingleQuotes(false);
  EXPECT_EQ(Utf16ToUtf8(raw.Fill(u"%USER%")), "O'Brien");
}

TEST(ComputerAddress, FirstIPv4AddressBareOrFirstOfAny) {
  FakeResolver fake;
  platform::ScopedSocketCalls scoped(&fake);
  const SEventRecord r = Sample();

  fake.answer = {Loopback(AddressFamily::kIPv6), Loopback(AddressFamily::kIPv4)};
  for (PlaceholderChannel ch : kAll) EXPECT_EQ(Fill(ch, r, u"%COMPUTER_IP%"), "127.0.0.1");
  EXPECT_EQ(fake.last_host, "HOST1");

  fake.answer = {Loopback(AddressFamily::kIPv6)};
  for (PlaceholderChannel ch : kAll) EXPECT_EQ(Fill(ch, r, u"%COMPUTER_IP%"), "::1");
}

TEST(ComputerAddress, FailuresPerChannel) {
  FakeResolver fake;
  platform::ScopedSocketCalls scoped(&fake);
  const SEventRecord r = Sample();

  // A name that does not resolve shows as the name.
  fake.result = err::kWsaHostNotFound;
  for (PlaceholderChannel ch : kAll) EXPECT_EQ(Fill(ch, r, u"%COMPUTER_IP%"), "HOST1");

  // An address that cannot be written.
  fake.result = 0;
  fake.answer = {ResolvedAddress{}};
  EXPECT_EQ(Fill(PlaceholderChannel::kSyslog, r, u"%COMPUTER_IP%"), "Error:-1");
  EXPECT_EQ(Fill(PlaceholderChannel::kEmail, r, u"%COMPUTER_IP%"), "%COMPUTER_IP%");
  EXPECT_EQ(Fill(PlaceholderChannel::kDatabase, r, u"%COMPUTER_IP%"), "%COMPUTER_IP%");
}

TEST(ComputerAddress, ResolvedOnlyWhenNeededAndOncePerFiller) {
  FakeResolver fake;
  platform::ScopedSocketCalls scoped(&fake);
  fake.answer = {Loopback(AddressFamily::kIPv4)};
  SEventRecord r = Sample();

  CPlaceholderFiller filler(PlaceholderChannel::kEmail, r);
  EXPECT_EQ(Utf16ToUtf8(filler.Fill(u"%COMPUTER%")), "HOST1");
  EXPECT_EQ(fake.calls, 0);
  filler.Fill(u"%COMPUTER_IP%");
  filler.Fill(u"%COMPUTER_IP%");
  EXPECT_EQ(fake.calls, 1);

  // The placeholder brought in by a value of an earlier step is resolved too.
  r.source = u"%COMPUTER_IP%";
  EXPECT_EQ(Fill(PlaceholderChannel::kSyslog, r, u"%SOURCE%"), "127.0.0.1");
  EXPECT_EQ(fake.calls, 2);
}

TEST(ChannelTemplates, DefaultsFilledFromTheSettings) {
  FakeResolver fake;
  fake.result = err::kWsaHostNotFound;
  platform::ScopedSocketCalls scoped(&fake);
  CCVNSettings settings;
  const SEventRecord r = Sample();

  EXPECT_EQ(Utf16ToUtf8(FillSyslogFormat(settings, r)), "Application Src: [1028] desc");
  std::u16string subject, body;
  FillEmailTemplates(settings, r, &subject, &body);
  EXPECT_EQ(Utf16ToUtf8(subject), "HOST1 has %NUMBER_OF_EVENTS% new event(s) (Application/Src)");
  EXPECT_NE(body.find(u"4464   /   "), std::u16string::npos);
  EXPECT_EQ(body.find(u"%DESCRIPTION%"), std::u16string::npos);
  EXPECT_TRUE(Utf16ToUtf8(FillDbCommand(settings, r))
                  .ends_with("', 2, 1028, 'Application', 'Src', 'desc');"));
}

}  // namespace
}  // namespace cvn
