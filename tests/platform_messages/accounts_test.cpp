// SID conversion and account lookup on both platforms.
#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/accounts.h"

namespace cvn::platform {
namespace {

TEST(Sids, StringsRoundTrip) {
  for (const char16_t* text :
       {u"S-1-5-18", u"S-1-1-0", u"S-1-5-32-544", u"S-1-5-21-4294967295-1-2-500",
        u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"}) {
    SidBytes sid;
    ASSERT_TRUE(StringToSid(text, sid)) << Utf16ToUtf8(text);
    EXPECT_EQ(ValidSidLength(sid), sid.size());
    EXPECT_EQ(SidToString(sid), text);
  }
  SidBytes sid;
  ASSERT_TRUE(StringToSid(u"S-1-5-32-544", sid));
  const SidBytes expected = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  EXPECT_EQ(sid, expected);
}

TEST(Sids, MalformedStringsDoNotConvert) {
  // Wine is laxer than this about empty parts and extra sub-authorities;
  // the posix suite checks those.
  for (const char16_t* text : {u"S-1-5-18x", u"S-", u"X-1-5-18", u"S-1-5-18 "}) {
    SidBytes sid;
    EXPECT_FALSE(StringToSid(text, sid)) << Utf16ToUtf8(text);
  }
}

TEST(Sids, TruncatedBytesAreNotASid) {
  SidBytes sid;
  ASSERT_TRUE(StringToSid(u"S-1-5-21-1-2-3-500", sid));
  EXPECT_EQ(ValidSidLength(sid), 28u);
  for (size_t size = 0; size < sid.size(); ++size) {
    const SidBytes cut(sid.begin(), sid.begin() + size);
    EXPECT_EQ(ValidSidLength(cut), 0u) << size;
    EXPECT_EQ(SidToString(cut), u"");
    Account account;
    EXPECT_EQ(LookupAccountSid(cut, account), kErrorInvalidSid) << size;
  }
  SidBytes too_many = sid;
  too_many[1] = 16;
  too_many.resize(8 + 4 * 16);
  EXPECT_EQ(ValidSidLength(too_many), 0u);
}

Account Lookup(const char16_t* text, uint32_t* error = nullptr) {
  SidBytes sid;
  EXPECT_TRUE(StringToSid(text, sid));
  Account account;
  const uint32_t result = LookupAccountSid(sid, account);
  if (error != nullptr) *error = result;
  return account;
}

TEST(Accounts, WellKnownSidsHaveTheirWindowsNames) {
  Account a = Lookup(u"S-1-5-18");
  EXPECT_EQ(a.domain, u"NT AUTHORITY");
  EXPECT_EQ(a.name, u"SYSTEM");
  EXPECT_EQ(a.type, SidType::kWellKnownGroup);
  a = Lookup(u"S-1-5-32-544");
  EXPECT_EQ(a.domain, u"BUILTIN");
  EXPECT_EQ(a.name, u"Administrators");
  EXPECT_EQ(a.type, SidType::kAlias);
  a = Lookup(u"S-1-1-0");
  EXPECT_EQ(a.domain, u"");
  EXPECT_EQ(a.name, u"Everyone");
  EXPECT_EQ(Lookup(u"S-1-5-19").name, u"LOCAL SERVICE");
  EXPECT_EQ(Lookup(u"S-1-5-20").name, u"NETWORK SERVICE");
}

TEST(Accounts, UnknownSidsMapToNothing) {
  uint32_t error = 0;
  const Account a = Lookup(u"S-1-5-21-1-2-3-4000", &error);
  EXPECT_EQ(error, kErrorNoneMapped);
  EXPECT_TRUE(a.name.empty());
}

TEST(Accounts, NamesLookUpTheirSids) {
  SidBytes sid;
  Account account;
  ASSERT_EQ(LookupAccountName(u"NT AUTHORITY\\SYSTEM", sid, account), 0u);
  EXPECT_EQ(SidToString(sid), u"S-1-5-18");
  EXPECT_EQ(account.name, u"SYSTEM");
  EXPECT_EQ(LookupAccountName(u"no-such-account-cvn", sid, account), kErrorNoneMapped);
}

}  // namespace
}  // namespace cvn::platform
