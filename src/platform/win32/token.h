// What the pipes and the folder checks ask of access tokens: the user, and
// whether the token holds the Administrators group.
#pragma once

#include <vector>

#include "platform/accounts.h"
#include "platform/win32/win.h"

namespace cvn::platform::win32 {

// The user SID of token; empty when it cannot be read.
inline SidBytes TokenUserSid(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  const auto* bytes = static_cast<const uint8_t*>(sid);
  return SidBytes(bytes, bytes + ::GetLengthSid(sid));
}

// Whether token holds the Administrators group (enabled: an elevated
// administrator); null asks of the token the calling thread impersonates.
inline bool TokenHoldsAdministrators(HANDLE token) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         ::CheckTokenMembership(token, sid, &member) && member;
}

}  // namespace cvn::platform::win32
