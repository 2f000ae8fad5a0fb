// The mapping of the Linux machine's accounts to SIDs.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <fstream>

#include "base/text.h"
#include "platform/accounts.h"

namespace cvn::platform {
namespace {

// "S-1-5-21-a-b-c" from /etc/machine-id, as the mapping documents it.
std::u16string MachineDomain() {
  std::ifstream in("/etc/machine-id");
  std::string id;
  if (!(in >> id) || id.size() < 24) return {};
  std::string sid = "S-1-5-21";
  for (int i = 0; i < 3; ++i)
    sid += "-" + std::to_string(std::stoul(id.substr(8 * i, 8), nullptr, 16));
  return Utf8ToUtf16(sid);
}

std::u16string ComputerName() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string name(host);
  name = name.substr(0, name.find('.')).substr(0, 15);
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return Utf8ToUtf16(name);
}

TEST(LocalAccounts, UsersAndGroupsMapToMachineDomainSids) {
  const std::u16string domain = MachineDomain();
  if (domain.empty()) GTEST_SKIP() << "this machine has no /etc/machine-id";
  const passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  const std::u16string user = Utf8ToUtf16(pw->pw_name);

  SidBytes sid;
  Account account;
  ASSERT_EQ(LookupAccountName(user, sid, account), 0u);
  EXPECT_EQ(SidToString(sid), domain + u"-" + Utf8ToUtf16(std::to_string(1000 + 2ull * getuid())));
  EXPECT_EQ(account.type, SidType::kUser);

  Account back;
  ASSERT_EQ(LookupAccountSid(sid, back), 0u);
  EXPECT_EQ(back.name, user);
  EXPECT_EQ(back.domain, ComputerName());
  EXPECT_EQ(back.type, SidType::kUser);

  // Group 0 has the odd relative id 1001.
  const group* gr = getgrgid(0);
  ASSERT_NE(gr, nullptr);
  SidBytes group_sid;
  ASSERT_TRUE(StringToSid(domain + u"-1001", group_sid));
  ASSERT_EQ(LookupAccountSid(group_sid, back), 0u);
  EXPECT_EQ(back.name, Utf8ToUtf16(gr->gr_name));
  EXPECT_EQ(back.type, SidType::kAlias);

  // The same user by its domain-qualified name.
  ASSERT_EQ(LookupAccountName(ComputerName() + u"\\" + user, sid, account), 0u);
  EXPECT_EQ(account.name, user);
}

TEST(LocalAccounts, UnixUserAndGroupSids) {
  const passwd* pw = getpwuid(0);
  ASSERT_NE(pw, nullptr);
  SidBytes sid;
  ASSERT_TRUE(StringToSid(u"S-1-22-1-0", sid));
  Account account;
  ASSERT_EQ(LookupAccountSid(sid, account), 0u);
  EXPECT_EQ(account.domain, u"Unix User");
  EXPECT_EQ(account.name, Utf8ToUtf16(pw->pw_name));
  ASSERT_TRUE(StringToSid(u"S-1-22-1-4000000000", sid));
  EXPECT_EQ(LookupAccountSid(sid, account), kErrorNoneMapped);
}

TEST(PosixSids, OnlyWellFormedStringsConvert) {
  SidBytes sid;
  EXPECT_FALSE(StringToSid(u"S-1-5-4294967296", sid));
  EXPECT_FALSE(StringToSid(u"S-2-5-18", sid));
  EXPECT_FALSE(StringToSid(u"S-1-0x1234567890ABC-1", sid));
  for (const char16_t* text :
       {u"S-1-5--18", u"S-1-5-18-", u"", u"S-1", u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
    EXPECT_FALSE(StringToSid(text, sid)) << Utf16ToUtf8(text);
  }
  EXPECT_TRUE(StringToSid(u"s-1-5-18", sid));
  ASSERT_TRUE(StringToSid(u"S-1-0x123456789ABC-7", sid));  // authorities of 48 bits
  EXPECT_EQ(SidToString(sid), u"S-1-0x123456789ABC-7");
  ASSERT_TRUE(StringToSid(u"S-1-5", sid));  // the authority alone
  EXPECT_EQ(SidToString(sid), u"S-1-5");
}

}  // namespace
}  // namespace cvn::platform
