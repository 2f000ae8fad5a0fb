#include "platform/accounts.h"

#include <vector>

#include "platform/win32/win.h"
// sddl.h after win.h, which sets the Windows version it needs.
#include <sddl.h>

// The portable names of this file are also the names of the system's
// character-set macros; the system calls are made by their W names.
#undef LookupAccountSid
#undef LookupAccountName

namespace cvn::platform {

using win32::FromWide;
using win32::LastError;
using win32::ToWide;

bool StringToSid(std::u16string_view text, SidBytes& sid) {
  sid.clear();
  PSID converted = nullptr;
  const std::wstring wide = ToWide(text);
  if (!::ConvertStringSidToSidW(wide.c_str(), &converted)) return false;
  win32::LocalMemory owned(converted);
  const DWORD length = ::GetLengthSid(converted);
  const auto* bytes = static_cast<const uint8_t*>(converted);
  sid.assign(bytes, bytes + length);
  return true;
}

uint32_t LookupAccountSid(std::span<const uint8_t> sid, Account& account) {
  account = Account();
  // The system reads as many bytes as the SID's header claims: check first
  // that they are all there.
  const size_t length = ValidSidLength(sid);
  if (length == 0) return kErrorInvalidSid;
  std::vector<uint8_t> copy(sid.begin(), sid.begin() + length);
  PSID psid = copy.data();
  DWORD name_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use = SidTypeUnknown;
  ::LookupAccountSidW(nullptr, psid, nullptr, &name_size, nullptr, &domain_size, &use);
  if (name_size == 0) {
    const uint32_t error = LastError();
    return error == ERROR_INSUFFICIENT_BUFFER || error == 0 ? ERROR_NONE_MAPPED : error;
  }
  std::vector<wchar_t> name(name_size + 1);
  std::vector<wchar_t> domain(domain_size + 1);
  if (!::LookupAccountSidW(nullptr, psid, name.data(), &name_size, domain.data(), &domain_size,
                           &use)) {
    return LastError();
  }
  account.name = FromWide(name.data());
  account.domain = FromWide(domain.data());
  account.type = static_cast<SidType>(use);
  return 0;
}

uint32_t LookupAccountName(std::u16string_view full_name, SidBytes& sid, Account& account) {
  sid.clear();
  account = Account();
  const std::wstring wide = ToWide(full_name);
  DWORD sid_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use = SidTypeUnknown;
  ::LookupAccountNameW(nullptr, wide.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
  if (sid_size == 0) {
    const uint32_t error = LastError();
    return error == ERROR_INSUFFICIENT_BUFFER || error == 0 ? ERROR_NONE_MAPPED : error;
  }
  std::vector<uint8_t> buffer(sid_size);
  std::vector<wchar_t> domain(domain_size + 1);
  if (!::LookupAccountNameW(nullptr, wide.c_str(), buffer.data(), &sid_size, domain.data(),
                            &domain_size, &use)) {
    return LastError();
  }
  const size_t length = ValidSidLength(buffer);
  if (length == 0) return kErrorInvalidSid;
  sid.assign(buffer.begin(), buffer.begin() + length);
  account.domain = FromWide(domain.data());
  // The account's own spelling, as the SID lookup gives it.
  Account found;
  account.name = LookupAccountSid(sid, found) == 0 ? found.name : std::u16string(full_name);
  account.type = static_cast<SidType>(use);
  return 0;
}

}  // namespace cvn::platform
