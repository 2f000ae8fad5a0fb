// Contract tests of the registry: names, values, enumeration, expansion and
// change notification, also across processes.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/environment.h"
#include "platform_eventlog/process_helper.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

constexpr RegistryRoot kHklm = RegistryRoot::kLocalMachine;
constexpr uint32_t kKeyDeleted = 1018;
constexpr uint32_t kUnsupportedType = 1630;
// Notifications arrive within milliseconds; the bound only ends a broken run.
constexpr uint32_t kNotifyWaitMs = 10000;

// Each test works below its own key, so runs against a real registry do not
// meet leftovers, and removes it at the end.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = u"SOFTWARE\\CorvaneTest\\" +
            Utf8ToUtf16(::testing::UnitTest::GetInstance()->current_test_info()->name());
    RegistryKey parent;
    if (parent.Open(kHklm, u"SOFTWARE\\CorvaneTest") == 0) {
      parent.DeleteTree(base_.substr(base_.rfind(u'\\') + 1));
    }
    ASSERT_EQ(root_.Create(kHklm, base_), 0u);
  }
  void TearDown() override {
    RegistryKey parent;
    if (parent.Open(kHklm, u"SOFTWARE\\CorvaneTest") == 0) {
      parent.DeleteTree(base_.substr(base_.rfind(u'\\') + 1));
    }
  }

  testing::ScopedMachineRoot machine_root_;
  std::u16string base_;
  RegistryKey root_;
};

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheCaseTheyWereCreatedWith) {
  RegistryKey key;
  bool created = false;
  ASSERT_EQ(key.Create(root_, u"Services\\EventLog\\MyLog", &created), 0u);
  EXPECT_TRUE(created);

  RegistryKey again;
  ASSERT_EQ(again.Create(root_, u"SERVICES\\eventlog\\MYLOG", &created), 0u);
  EXPECT_FALSE(created);
  ASSERT_EQ(again.SetString(u"EventMessageFile", u"first"), 0u);
  ASSERT_EQ(again.SetString(u"EVENTMESSAGEFILE", u"second"), 0u);

  std::u16string text;
  ASSERT_EQ(key.QueryString(u"eventmessagefile", text), 0u);
  EXPECT_EQ(text, u"second");
  std::vector<std::u16string> names;
  ASSERT_EQ(key.EnumValues(names), 0u);
  EXPECT_EQ(names, std::vector<std::u16string>{u"EventMessageFile"});

  RegistryKey services;
  ASSERT_EQ(services.Open(root_, u"services\\EVENTLOG"), 0u);
  ASSERT_EQ(services.EnumSubkeys(names), 0u);
  EXPECT_EQ(names, std::vector<std::u16string>{u"MyLog"});

  RegistryKey missing;
  EXPECT_EQ(missing.Open(root_, u"Services\\Nothing"), err::kFileNotFound);
  EXPECT_FALSE(missing.IsOpen());
}

TEST_F(RegistryTest, ValuesKeepTheirTypes) {
  ASSERT_EQ(root_.SetString(u"Sz", u"plain %SystemRoot%"), 0u);
  ASSERT_EQ(root_.SetExpandString(u"Expand", u"%SystemRoot%\\x.dll"), 0u);
  ASSERT_EQ(root_.SetDword(u"Dword", 0xFFFFFFFFu), 0u);
  ASSERT_EQ(root_.SetString(u"Tricky", u"tab\there\r\nline ^5E end"), 0u);

  RegistryValue value;
  ASSERT_EQ(root_.QueryValue(u"Sz", value), 0u);
  EXPECT_EQ(value.type, RegistryType::kString);
  ASSERT_EQ(root_.QueryValue(u"Expand", value), 0u);
  EXPECT_EQ(value.type, RegistryType::kExpandString);
  EXPECT_EQ(value.text, u"%SystemRoot%\\x.dll");
  uint32_t dword = 0;
  ASSERT_EQ(root_.QueryDword(u"Dword", dword), 0u);
  EXPECT_EQ(dword, 0xFFFFFFFFu);

  std::u16string text;
  ASSERT_EQ(root_.QueryString(u"Tricky", text), 0u);
  EXPECT_EQ(text, u"tab\there\r\nline ^5E end");
  ASSERT_EQ(root_.QueryExpandedString(u"Sz", text), 0u);
  EXPECT_EQ(text, u"plain %SystemRoot%");  // REG_SZ is never expanded
  ASSERT_EQ(root_.QueryExpandedString(u"Expand", text), 0u);
  EXPECT_EQ(text.find(u'%'), std::u16string::npos);

  EXPECT_EQ(root_.QueryDword(u"Sz", dword), kUnsupportedType);
  EXPECT_EQ(root_.QueryString(u"Dword", text), kUnsupportedType);
  EXPECT_EQ(root_.QueryValue(u"Missing", value), err::kFileNotFound);
  ASSERT_EQ(root_.DeleteValue(u"sz"), 0u);
  EXPECT_EQ(root_.QueryValue(u"Sz", value), err::kFileNotFound);
  EXPECT_EQ(root_.DeleteValue(u"sz"), err::kFileNotFound);
}

TEST_F(RegistryTest, SubkeysEnumerateInNameOrderWithoutRegardToCase) {
  for (const char16_t* name : {u"b", u"9x", u"A", u"c", u"Z"}) {
    RegistryKey key;
    ASSERT_EQ(key.Create(root_, name), 0u);
  }
  std::vector<std::u16string> names;
  ASSERT_EQ(root_.EnumSubkeys(names), 0u);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"9x", u"A", u"b", u"c", u"Z"}));
  std::u16string name;
  ASSERT_EQ(root_.EnumSubkey(4, name), 0u);
  EXPECT_EQ(name, u"Z");
  EXPECT_EQ(root_.EnumSubkey(5, name), err::kNoMoreItems);
}

TEST_F(RegistryTest, DeletingKeys) {
  RegistryKey leaf;
  ASSERT_EQ(leaf.Create(root_, u"Parent\\Child\\Leaf"), 0u);
  EXPECT_EQ(root_.DeleteSubkey(u"Parent"), err::kAccessDenied);  // has subkeys
  ASSERT_EQ(root_.DeleteTree(u"PARENT"), 0u);
  RegistryValue value;
  EXPECT_EQ(leaf.QueryValue(u"x", value), kKeyDeleted);
  EXPECT_EQ(leaf.SetDword(u"x", 1), kKeyDeleted);
  std::vector<std::u16string> names;
  ASSERT_EQ(root_.EnumSubkeys(names), 0u);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(root_.DeleteSubkey(u"Parent"), err::kFileNotFound);
}

TEST(RegistryExpansion, ExpandsKnownVariablesAndLeavesTheRest) {
  SetEnvironmentValue(u"CVN_TEST_VAR", u"abc");
  EXPECT_EQ(ExpandEnvironmentText(u"%CVN_TEST_VAR%\\x %CVN_NO_SUCH_VAR% 100% %%"),
            u"abc\\x %CVN_NO_SUCH_VAR% 100% %%");
  SetEnvironmentValue(u"CVN_TEST_VAR", u"");
  const std::u16string system_root = ExpandEnvironmentText(u"%SystemRoot%");
  ASSERT_GE(system_root.size(), 7u);
  EXPECT_TRUE(EqualsNoCase(system_root.substr(system_root.size() - 7), u"windows"));
  EXPECT_EQ(ExpandEnvironmentText(u"%systemroot%"), system_root);
}

TEST_F(RegistryTest, SubtreeNotificationSeesSubkeysAddedAndDeletedDeepBelow) {
  RegistryKey source;
  ASSERT_EQ(source.Create(root_, u"Log\\Source"), 0u);
  Event changed;
  ASSERT_EQ(root_.Notify(changed, true, kRegNotifyName), 0u);
  RegistryKey deep;
  ASSERT_EQ(deep.Create(source, u"Deeper"), 0u);
  EXPECT_TRUE(changed.Wait(kNotifyWaitMs));

  ASSERT_EQ(root_.Notify(changed, true, kRegNotifyName), 0u);
  ASSERT_EQ(source.DeleteSubkey(u"deeper"), 0u);
  EXPECT_TRUE(changed.Wait(kNotifyWaitMs));
}

TEST_F(RegistryTest, ValueNotificationOnTheKeyItself) {
  Event changed;
  ASSERT_EQ(root_.Notify(changed, false, kRegNotifyLastSet), 0u);
  ASSERT_EQ(root_.SetDword(u"LastReport", 5), 0u);
  EXPECT_TRUE(changed.Wait(kNotifyWaitMs));
}

TEST_F(RegistryTest, AnotherProcessCreatingASubkeyWakesTheWatcher) {
  Event changed;
  ASSERT_EQ(root_.Notify(changed, true, kRegNotifyName), 0u);
  ASSERT_EQ(testing::RunChild("reg-create \"" + Utf16ToUtf8(base_) + "\\Application\\Other\""), 0);
  EXPECT_TRUE(changed.Wait(kNotifyWaitMs));
  RegistryKey other;
  EXPECT_EQ(other.Open(root_, u"application\\other"), 0u);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 40;
  int child_exit = -1;
  std::thread child([&] {
    child_exit = testing::RunChild("reg-values \"" + Utf16ToUtf8(base_) + "\" child " +
                                   std::to_string(kCount));
  });
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(root_.SetDword(Utf8ToUtf16("parent" + std::to_string(i)), static_cast<uint32_t>(i)),
              0u);
  }
  child.join();
  ASSERT_EQ(child_exit, 0);
  for (const char* prefix : {"parent", "child"}) {
    for (int i = 0; i < kCount; ++i) {
      uint32_t value = 0;
      ASSERT_EQ(root_.QueryDword(Utf8ToUtf16(prefix + std::to_string(i)), value), 0u)
          << prefix << i;
      EXPECT_EQ(value, static_cast<uint32_t>(i));
    }
  }
}

// posix keeps the registry in a file below the machine root; a damaged file
// must give an error, never a crash or a silently empty registry that the next
// write would make permanent.
TEST_F(RegistryTest, DamagedStoreFileIsReportedNotReplaced) {
  const auto file = machine_root_.dir().path() / "Registry" / "HKLM.reg";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "this registry is not kept in a file";
  for (const std::string& garbage :
       {std::string("garbage\n"), std::string("CVNREG 1\nK\tA\nV\t9\tx\ty\n"),
        std::string("CVNREG 1\nK\tA\\B\n"), std::string("CVNREG 1\nK\tA")}) {
    testing::WriteFileBytes(file, garbage);
    RegistryKey key;
    EXPECT_EQ(key.Open(kHklm, u"A"), 1009u) << garbage;
    EXPECT_EQ(key.Create(kHklm, u"B"), 1009u) << garbage;
    EXPECT_EQ(testing::ReadFileBytes(file), garbage);
  }
}

}  // namespace
}  // namespace cvn::platform
