#include "events/placeholders.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "base/time32.h"
#include "platform/socket.h"

namespace cvn {
namespace {

using platform::AddressFamily;
using platform::ResolvedAddress;
using PC = PlaceholderChannel;

constexpr PC kAll[] = {PC::kSyslog, PC::kEmail, PC::kDatabase};

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

std::string Fill(PC channel, const SEventRecord& r, std::u16string_view text) {
  return Utf16ToUtf8(CPlaceholderFiller(channel, r).Fill(text));
}

// Name resolution without a network: a fixed answer, counted.
struct FakeResolver : platform::SocketCalls {
  uint32_t Resolve(std::string_view host, std::string_view, const platform::ResolveHints&,
                   std::vector<ResolvedAddress>* out) override {
    ++calls;
    last_host = host;
    *out = answer;
    return result;
  }
  uint32_t result = 0;
  std::vector<ResolvedAddress> answer;
  int calls = 0;
  std::string last_host;
};

ResolvedAddress Loopback(AddressFamily family) {
  return {family, platform::SocketType::kAny, platform::SocketAddress::Loopback(0, family)};
}

TEST(Placeholders, ValuesAndTheSetOfEachChannel) {
  const SEventRecord r = Sample();
  for (PC ch : kAll) {
    EXPECT_EQ(Fill(ch, r,
                   u"%EVENTLOG%|%EVENT_ID%|%EVENT_NUMBER%|%CATEGORY_ID%|%SOURCE%|%USER%|"
                   u"[%CATEGORY%]|%COMPUTER%|%DESCRIPTION%|%source%|% USER%"),
              "Application|1028|4464|65535|Src|alice|[]|HOST1|desc|%source%|% USER%");
  }
  EXPECT_EQ(Fill(PC::kSyslog, r, u"%EVENT_TYPE% %DATE%%TIME%%DATE_TIME%%EVENT_TYPE_NUM%"),
            "%EVENT_TYPE% %DATE%%TIME%%DATE_TIME%%EVENT_TYPE_NUM%");
  EXPECT_EQ(Fill(PC::kEmail, r, u"%EVENT_TYPE% %EVENT_TYPE_NUM%%DATE_TIME%%NUMBER_OF_EVENTS%"),
            "Warning %EVENT_TYPE_NUM%%DATE_TIME%%NUMBER_OF_EVENTS%");
  EXPECT_EQ(Fill(PC::kDatabase, r, u"%EVENT_TYPE%/%EVENT_TYPE_NUM% %DATE%%TIME%"),
            "Warning/2 %DATE%%TIME%");
}

// A value holding a placeholder of a later step is expanded by that step; one
// of an earlier or the same step, or anything in the description, stays.
TEST(Placeholders, ValuesHoldingPlaceholders) {
  SEventRecord r = Sample();
  r.source = u"%USER%";
  r.description = u"%SOURCE% %USER%";
  r.user = u"%CATEGORY%%COMPUTER%|%EVENTLOG%|%USER%";
  r.categoryText = u"%USER%";
  for (PC ch : kAll) {
    EXPECT_EQ(Fill(ch, r, u"%SOURCE% %DESCRIPTION%"),
              "%USER%HOST1|%EVENTLOG%|%USER% %SOURCE% %USER%");
  }
  // Only the database channel replaces the type number after the category number.
  r.logName = u"%CATEGORY_ID%/%EVENT_TYPE_NUM%";
  EXPECT_EQ(Fill(PC::kDatabase, r, u"%EVENTLOG%"), "65535/2");
  EXPECT_EQ(Fill(PC::kEmail, r, u"%EVENTLOG%"), "65535/%EVENT_TYPE_NUM%");
}

TEST(Placeholders, TimesAndQuotes) {
  SEventRecord r = Sample();
  r.user = u"O'Brien";
  CPlaceholderFiller db(PC::kDatabase, r);
  db.SetLocalTimeFunction([](int64_t t, std::tm& out) { return UtcCalendarTime(t, out); });
  EXPECT_EQ(Utf16ToUtf8(db.Fill(u"('%DATE_TIME%', '%USER%', %EVENT_ID%)")),
            "('2024-03-05 17:04:09', 'O''Brien', 1028)");
  db.SetDoubleSingleQuotes(false);
  EXPECT_EQ(Utf16ToUtf8(db.Fill(u"%USER%")), "O'Brien");
  EXPECT_EQ(Fill(PC::kEmail, r, u"%USER%"), "O'Brien");

  // A time that does not convert: the database placeholder stays, the e-mail
  // date and time are empty.
  r.timeGenerated = 0x80000000u;
  EXPECT_EQ(Fill(PC::kDatabase, r, u"%DATE_TIME%"), "%DATE_TIME%");
  EXPECT_EQ(Fill(PC::kEmail, r, u"[%DATE%][%TIME%]"), "[][]");
}

TEST(Placeholders, ComputerAddress) {
  FakeResolver fake;
  platform::ScopedSocketCalls scoped(&fake);
  SEventRecord r = Sample();
  // Each answer below is a new look-up, not the one kept from before.
  auto& cache = CComputerAddressCache::Process();
  cache.Clear();

  fake.answer = {Loopback(AddressFamily::kIPv6), Loopback(AddressFamily::kIPv4)};
  for (PC ch : kAll) EXPECT_EQ(Fill(ch, r, u"%COMPUTER_IP%"), "127.0.0.1");
  EXPECT_EQ(fake.last_host, "HOST1");
  cache.Clear();
  fake.answer = {Loopback(AddressFamily::kIPv6)};
  for (PC ch : kAll) EXPECT_EQ(Fill(ch, r, u"%COMPUTER_IP%"), "::1");

  cache.Clear();
  fake.result = err::kWsaHostNotFound;  // does not resolve: the name
  for (PC ch : kAll) EXPECT_EQ(Fill(ch, r, u"%COMPUTER_IP%"), "HOST1");

  cache.Clear();
  fake.result = 0;
  fake.answer = {ResolvedAddress{}};  // an address that cannot be written
  EXPECT_EQ(Fill(PC::kSyslog, r, u"%COMPUTER_IP%"), "Error:-1");
  EXPECT_EQ(Fill(PC::kEmail, r, u"%COMPUTER_IP%"), "%COMPUTER_IP%");
  EXPECT_EQ(Fill(PC::kDatabase, r, u"%COMPUTER_IP%"), "%COMPUTER_IP%");

  // Resolved once per filler, only when the text holds the placeholder at its
  // step, also when an earlier step's value brought it in.
  cache.Clear();
  fake.answer = {Loopback(AddressFamily::kIPv4)};
  fake.calls = 0;
  r.source = u"%COMPUTER_IP%";
  CPlaceholderFiller filler(PC::kEmail, r);
  filler.Fill(u"%COMPUTER%");
  EXPECT_EQ(fake.calls, 0);
  EXPECT_EQ(Utf16ToUtf8(filler.Fill(u"%SOURCE%")), "127.0.0.1");
  filler.Fill(u"%COMPUTER_IP%");
  EXPECT_EQ(fake.calls, 1);
}

// Every record of a busy log fills "%COMPUTER_IP%" again: one look-up per
// name and minute serves them all, failures included.
TEST(Placeholders, ComputerAddressesAreLookedUpOncePerMinute) {
  FakeResolver fake;
  platform::ScopedSocketCalls scoped(&fake);
  CComputerAddressCache::Process().Clear();
  fake.answer = {Loopback(AddressFamily::kIPv4)};
  const SEventRecord r = Sample();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Fill(PC::kSyslog, r, u"%COMPUTER_IP%"), "127.0.0.1");
  EXPECT_EQ(fake.calls, 1);

  CComputerAddressCache cache;
  fake.calls = 0;
  fake.result = err::kWsaHostNotFound;
  cache.Lookup("HOST1", 0xFFFFFF00u);
  EXPECT_EQ(cache.Lookup("HOST1", 0xFFFFFF00u + CComputerAddressCache::kReuseMs - 1).result,
            err::kWsaHostNotFound);
  EXPECT_EQ(fake.calls, 1);  // kept across the wrap of the tick count
  cache.Lookup("OTHER", 0);
  EXPECT_EQ(fake.calls, 2);
  fake.result = 0;
  EXPECT_EQ(cache.Lookup("HOST1", 0xFFFFFF00u + CComputerAddressCache::kReuseMs).result, 0u);
  EXPECT_EQ(fake.calls, 3);
}

TEST(Placeholders, DefaultTemplatesFromTheSettings) {
  FakeResolver fake;
  platform::ScopedSocketCalls scoped(&fake);
  CCVNSettings settings;
  const SEventRecord r = Sample();
  EXPECT_EQ(Utf16ToUtf8(FillSyslogFormat(settings, r)), "Application Src: [1028] desc");
  std::u16string subject, body;
  FillEmailTemplates(settings, r, &subject, &body);
  EXPECT_EQ(Utf16ToUtf8(subject), "HOST1 has %NUMBER_OF_EVENTS% new event(s) (Application/Src)");
  EXPECT_TRUE(Utf16ToUtf8(body).starts_with("4464   /   ")) << Utf16ToUtf8(body);
  EXPECT_TRUE(Utf16ToUtf8(FillDbCommand(settings, r))
                  .ends_with("', 2, 1028, 'Application', 'Src', 'desc');"));
}

// An HTML body shows event text as text: the values are escaped, while the
// template's own markup, the subject and a plain-text body are left alone.
TEST(Placeholders, HtmlBodiesEscapeTheValues) {
  FakeResolver fake;
  platform::ScopedSocketCalls scoped(&fake);
  CCVNSettings settings;
  settings.Email_Subject.value = u"%SOURCE%";
  settings.Email_Tempate.value = u"<p>%SOURCE%</p>";
  const struct {
    std::u16string value;
    std::string escaped;
  } cases[] = {
      {u"A&B", "A&amp;B"},
      {u"<script>x</script>", "&lt;script&gt;x&lt;/script&gt;"},
      {u"say \"hi\" 'there'", "say &quot;hi&quot; &#39;there&#39;"},
      {u"&amp;", "&amp;amp;"},
      {u"plain %", "plain %"},
  };
  for (const auto& c : cases) {
    SEventRecord r = Sample();
    r.source = c.value;
    const std::string raw = Utf16ToUtf8(c.value);
    SCOPED_TRACE(raw);
    std::u16string subject, body;
    settings.Email_Format.value = 1;
    FillEmailTemplates(settings, r, &subject, &body);
    EXPECT_EQ(Utf16ToUtf8(body), "<p>" + c.escaped + "</p>");
    EXPECT_EQ(Utf16ToUtf8(subject), raw);
    settings.Email_Format.value = 0;
    FillEmailTemplates(settings, r, &subject, &body);
    EXPECT_EQ(Utf16ToUtf8(body), "<p>" + raw + "</p>");
  }
}

}  // namespace
}  // namespace cvn
