// Who may open the Windows control pipes: the access list of a server pipe.
#include "platform/win32/win.h"
// After windows.h.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/pipe.h"

namespace cvn::platform {
namespace {

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring out(text);
  ::LocalFree(text);
  return out;
}

TEST(PipeWin32Test, OnlySystemAdministratorsAndTheServerAccountMayOpen) {
  const std::string leaf = "cvn-pipe-acl-test-" + std::to_string(::GetCurrentProcessId());
  const std::u16string name = u"\\\\.\\pipe\\" + std::u16string(leaf.begin(), leaf.end());
  ServerPipe server;
  ASSERT_EQ(server.Create(name), 0u);

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const std::wstring wide(name.begin(), name.end());
  const DWORD rc = ::GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS || dacl == nullptr) {
    if (sd != nullptr) ::LocalFree(sd);
    GTEST_SKIP() << "the pipe's access list cannot be read back here (error " << rc << ")";
  }
  std::vector<std::wstring> granted;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&header)));
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    granted.push_back(SidText(&ace->SidStart));
  }
  ::LocalFree(sd);

  auto has = [&](const wchar_t* sid) {
    return std::find(granted.begin(), granted.end(), sid) != granted.end();
  };
  EXPECT_TRUE(has(L"S-1-5-18")) << "the local system";
  EXPECT_TRUE(has(L"S-1-5-32-544")) << "the Administrators";
  for (const wchar_t* other : {L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-545", L"S-1-5-7", L"S-1-5-4"}) {
    EXPECT_FALSE(has(other)) << "granted to " << std::string(other, other + wcslen(other));
  }
}

}  // namespace
}  // namespace cvn::platform
