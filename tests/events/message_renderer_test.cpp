// Description rendering: message files from the registry, module lists,
// insertion strings (order, SIDs, parameter references), the publisher
// fall-back and the text used when no message can be found.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/text.h"
#include "events/message_renderer.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "raw_record.h"
#include "support/temp_dir.h"

namespace cvn {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;
using testing::RawRecord;

const std::u16string kTestDll = Utf8ToUtf16(CVN_TEST_MESSAGE_DLL);
const std::u16string kServiceTable = Utf8ToUtf16(CVN_SERVICE_MESSAGE_TABLE);
constexpr char16_t kLog[] = u"CvnRenderTestLog";
constexpr char16_t kLogKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\CvnRenderTestLog";

class MessageRendererTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteLog(); }
  void TearDown() override { DeleteLog(); }

  void DeleteLog() {
    RegistryKey parent;
    if (parent.Open(RegistryRoot::kLocalMachine,
                    u"SYSTEM\\CurrentControlSet\\Services\\EventLog") == 0) {
      parent.DeleteTree(kLog);
    }
  }

  // A plain message table in the test folder; its path.
  std::u16string Table(const char* name, const std::string& messages) {
    cvn::testing::WriteFileBytes(dir_.path() / name, "CVN-MESSAGE-TABLE 1\n" + messages);
    return dir_.u16() + u"/" + Utf8ToUtf16(name);
  }

  void Register(std::u16string_view source, std::u16string_view files, bool expand = false) {
    RegistryKey key;
    ASSERT_EQ(key.Create(RegistryRoot::kLocalMachine,
                         std::u16string(kLogKey) + u"\\" + std::u16string(source)),
              0u);
    if (expand) {
      ASSERT_EQ(key.SetExpandString(u"EventMessageFile", files), 0u);
    } else {
      ASSERT_EQ(key.SetString(u"EventMessageFile", files), 0u);
    }
  }

  std::u16string Render(CMessageRenderer& renderer, const RawRecord& raw) {
    SEventRecord record;
    EXPECT_EQ(renderer.BuildEventRecord(record, raw.Build(), kLog), 0);
    return record.description;
  }
  std::u16string Render(const RawRecord& raw) { return Render(renderer_, raw); }

  cvn::testing::ScopedMachineRoot root_;
  cvn::testing::TempDir dir_;
  CMessageRenderer renderer_{CMessageRenderer::PublisherFormatter()};
};

RawRecord Event(uint32_t id, std::vector<std::u16string> strings, std::u16string source = u"Src") {
  RawRecord raw;
  raw.eventId = id;
  raw.source = std::move(source);
  raw.strings = std::move(strings);
  return raw;
}

TEST_F(MessageRendererTest, FixedTextListsTheStringsWhenNothingIsRegistered) {
  EXPECT_EQ(Render(Event(1000, {u"a", u"b"}, u"Unregistered")),
            u"[The description for EventID 1000 cannot be found.], Attachment(1): a, "
            u"Attachment(2): b");
  // The full identifier, signed; SIDs and references are not processed here.
  EXPECT_EQ(Render(Event(0xC0000005, {u"S-1-5-18", u"%%1537"}, u"Unregistered")),
            u"[The description for EventID -1073741819 cannot be found.], Attachment(1): "
            u"S-1-5-18, Attachment(2): %%1537");
  EXPECT_EQ(Render(Event(7, {}, u"Unregistered")),
            u"[The description for EventID 7 cannot be found.]");
}

TEST_F(MessageRendererTest, AMissingModuleOrIdGivesTheFixedText) {
  Register(u"Src", dir_.u16() + u"/missing.dll");
  EXPECT_EQ(Render(Event(1000, {u"x"})),
            u"[The description for EventID 1000 cannot be found.], Attachment(1): x");
  Register(u"Other", Table("o.msgtable", "MessageId=1\nOne\n.\n"));
  EXPECT_EQ(Render(Event(2, {}, u"Other")), u"[The description for EventID 2 cannot be found.]");
}

TEST_F(MessageRendererTest, ModuleListsAreTriedInOrderAndReferencesUseTheModuleThatAnswered) {
  const std::u16string first = Table("first.msgtable", "MessageId=1537\nfrom first\n.\n");
  const std::u16string second = Table(
      "second.msgtable", "MessageId=1000\nSecond says %1.\n.\nMessageId=1537\nfrom second\n.\n");
  Register(u"Src", u";" + first + u";;" + second + u";");
  EXPECT_EQ(Render(Event(1000, {u"%%1537"})), u"Second says from second.");
  EXPECT_EQ(renderer_.LookupMessageFiles(kLog, u"Src"), u";" + first + u";;" + second + u";");
}

TEST_F(MessageRendererTest, SourcesWithoutAMessageFileUseTheOneOfTheLog) {
  Register(kLog, Table("default.msgtable", "MessageId=5\nDefault %1\n.\n"));
  Register(u"Empty", u"");
  EXPECT_EQ(Render(Event(5, {u"text"}, u"Empty")), u"Default text");
  // A value of another type counts as none.
  RegistryKey key;
  ASSERT_EQ(key.Create(RegistryRoot::kLocalMachine, std::u16string(kLogKey) + u"\\Dword"), 0u);
  ASSERT_EQ(key.SetDword(u"EventMessageFile", 1), 0u);
  EXPECT_EQ(Render(Event(5, {u"d"}, u"Dword")), u"Default d");
}

TEST_F(MessageRendererTest, ExpandableValuesAreExpanded) {
  const std::u16string path = Table("env.msgtable", "MessageId=9\nExpanded\n.\n");
  ASSERT_TRUE(platform::SetEnvironmentValue(u"CVN_RENDER_TEST_DIR", dir_.u16()));
  Register(u"Src", u"%CVN_RENDER_TEST_DIR%/env.msgtable", true);
  EXPECT_EQ(Render(Event(9, {})), u"Expanded");
  platform::SetEnvironmentValue(u"CVN_RENDER_TEST_DIR", u"");
  (void)path;
}

TEST_F(MessageRendererTest, HighIndexesAreFilledFirst) {
  Register(u"Src",
           Table("t.msgtable", "MessageId=1\n%1|%2|%3|%4|%5|%6|%7|%8|%9|%10|%11|%12|%1\n.\n"));
  std::vector<std::u16string> strings;
  for (int i = 1; i <= 12; ++i) strings.push_back(u"s" + Utf8ToUtf16(std::to_string(i)));
  EXPECT_EQ(Render(Event(1, strings)), u"s1|s2|s3|s4|s5|s6|s7|s8|s9|s10|s11|s12|s1");
  // Only the places of existing strings are filled, each by a plain text
  // replacement: with two strings, "%1" also matches the start of "%10".
  EXPECT_EQ(Render(Event(1, {u"a", u"b"})), u"a|b|%3|%4|%5|%6|%7|%8|%9|a0|a1|a2|a");
}

// A record built to amplify: string 2 repeats "%1" and the message repeats
// its references. Inserted text is not scanned again, and the description
// stops at its bound.
TEST_F(MessageRendererTest, InsertedTextIsNotRescannedAndTheDescriptionIsBounded) {
  Register(u"Src", Table("t.msgtable", "MessageId=1\n<%2>\n.\nMessageId=2\n%1%1%1\n.\n"));
  std::u16string percents;
  for (int i = 0; i < 16000; ++i) percents += u"%1";
  const std::u16string long_one(20000, u'x');
  EXPECT_EQ(Render(Event(1, {long_one, percents})), u"<" + percents + u">");

  const std::u16string bounded = Render(Event(2, {long_one}));
  EXPECT_EQ(bounded.size(), CMessageRenderer::kMaxDescriptionLength);
  EXPECT_EQ(bounded, std::u16string(CMessageRenderer::kMaxDescriptionLength, u'x'));
}

TEST_F(MessageRendererTest, SidStringsBecomeAccountNames) {
  Register(u"Src", Table("t.msgtable", "MessageId=1\n[%1] [%2] [%3] [%4]\n.\n"));
  EXPECT_EQ(Render(Event(1, {u"S-1-5-18", u"S-1-5-18x", u"S-1-1-0", u"S-1-5-21-1-2-3-4000"})),
            u"[NT AUTHORITY\\SYSTEM] [S-1-5-18x] [Everyone] [S-1-5-21-1-2-3-4000]");
}

TEST_F(MessageRendererTest, ParameterReferencesAreReplacedByTheirMessages) {
  Register(u"Src", Table("t.msgtable",
                         "MessageId=1\n[%1]\n.\n"
                         "MessageId=1537\nParameter text%n\n.\n"));
  EXPECT_EQ(Render(Event(1, {u"%%1537"})), u"[Parameter text]");
  for (const char16_t* unchanged :
       {u"%%", u"%%12a", u"%%0", u"%%9999", u"%%99999999999", u"%1537"}) {
    EXPECT_EQ(Render(Event(1, {unchanged})), u"[" + std::u16string(unchanged) + u"]");
  }
}

TEST_F(MessageRendererTest, LineBreaksAtTheEndAreRemovedAndInsideKept) {
  Register(u"Src", Table("t.msgtable", "MessageId=1\nLine one%nLine two\n\n.\n"));
  EXPECT_EQ(Render(Event(1, {})), u"Line one\r\nLine two");
}

TEST_F(MessageRendererTest, RealMessageDllsWorkAsMessageFiles) {
  if (kTestDll.empty()) GTEST_SKIP() << "the mingw-w64 message tools were not found at build time";
  Register(u"Src", kTestDll);
  EXPECT_EQ(Render(Event(1000, {u"boot", u"%%1537"})),
            u"Event boot happened at Parameter fifteen thirty-seven.\r\nSecond line.");
}

TEST_F(MessageRendererTest, TheServiceMessagesRenderFromItsRegisteredMessageFile) {
  Register(u"CVNService", kServiceTable);
  EXPECT_EQ(Render(Event(0x40000201, {u"3.2.3"}, u"CVNService")),
            u"Corvane Service successfully started. Version: 3.2.3.");
  EXPECT_EQ(Render(Event(0x40000202, {}, u"CVNService")), u"Corvane Service has been stopped.");
  EXPECT_EQ(Render(Event(0xC0000203, {u"3.2.3", u"specErr=0x00000C02, win32Err=0x00000005"},
                         u"CVNService")),
            u"Corvane Service cannot start. Version: 3.2.3. Error:specErr=0x00000C02, "
            u"win32Err=0x00000005.");
}

TEST_F(MessageRendererTest, PublisherFallBackOnlyForSourcesWithoutMessageFiles) {
  std::vector<std::pair<std::u16string, uint32_t>> asked;
  CMessageRenderer renderer([&asked](std::u16string_view publisher, uint32_t id) {
    asked.emplace_back(std::u16string(publisher), id);
    return std::u16string(u"Publisher %1 text");
  });
  EXPECT_EQ(Render(renderer, Event(4624, {u"S-1-5-18"}, u"Microsoft-Windows-Security-Auditing")),
            u"Publisher NT AUTHORITY\\SYSTEM text");
  EXPECT_EQ(Render(renderer, Event(10, {u"x"}, u"Microsoft-Windows-RestartManager")),
            u"Publisher x text");
  EXPECT_EQ(Render(renderer, Event(11, {}, u"microsoft-windows-security-auditing")),
            u"Publisher %1 text");
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0].second, 0xB0001210u);
  EXPECT_EQ(asked[1].second, 0xB000000Au);
  EXPECT_EQ(asked[2].second, 11u);  // the comparison is case-sensitive

  // A registered module that has no text does not lead to the publisher.
  Register(u"Registered", Table("t.msgtable", "MessageId=1\nx\n.\n"));
  EXPECT_EQ(Render(renderer, Event(2, {}, u"Registered")),
            u"[The description for EventID 2 cannot be found.]");
  EXPECT_EQ(asked.size(), 3u);

  // A publisher without the message: parameter references find no module.
  CMessageRenderer empty([](std::u16string_view, uint32_t) { return std::u16string(); });
  EXPECT_EQ(Render(empty, Event(3, {u"a"}, u"Pub")),
            u"[The description for EventID 3 cannot be found.], Attachment(1): a");
}

TEST_F(MessageRendererTest, CacheHoldsListsUntilCleared) {
  const std::u16string a = Table("a.msgtable", "MessageId=1\nA\n.\n");
  const std::u16string b = Table("b.msgtable", "MessageId=1\nB\n.\n");
  Register(u"Src", a);
  EXPECT_EQ(renderer_.LookupMessageFiles(kLog, u"Src"), a);
  Register(u"Src", b);
  EXPECT_EQ(renderer_.LookupMessageFiles(u"cvnrendertestlog", u"SRC"), a);  // cached
  // An unknown source is looked up again every time, so a new one is found.
  EXPECT_EQ(renderer_.LookupMessageFiles(kLog, u"Later"), u"");
  Register(u"Later", b);
  EXPECT_EQ(renderer_.LookupMessageFiles(kLog, u"Later"), b);
  renderer_.ClearCaches();
  EXPECT_EQ(renderer_.LookupMessageFiles(kLog, u"Src"), b);
  EXPECT_EQ(renderer_.LookupMessageFiles(u"NoSuchLogCvn", u"Src"), u"");
}

TEST_F(MessageRendererTest, TwoThreadsRenderWhileTheCacheIsCleared) {
  Register(u"Src", Table("t.msgtable", "MessageId=1\nText %1\n.\n"));
  std::atomic<bool> stop{false};
  std::thread clearer([&] {
    while (!stop) renderer_.ClearCaches();
  });
  std::atomic<int> wrong{0};
  auto render = [&] {
    for (int i = 0; i < 50; ++i) {
      SEventRecord record;
      if (renderer_.BuildEventRecord(record, Event(1, {u"x"}).Build(), kLog) != 0 ||
          record.description != u"Text x") {
        ++wrong;
      }
    }
  };
  std::thread first(render);
  std::thread second(render);
  first.join();
  second.join();
  stop = true;
  clearer.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace cvn
