#include "platform/accounts.h"

#include "base/text.h"

namespace cvn::platform {

size_t ValidSidLength(std::span<const uint8_t> bytes) {
  if (bytes.size() < 8 || bytes[0] != 1 || bytes[1] > 15) return 0;
  const size_t length = 8 + 4 * static_cast<size_t>(bytes[1]);
  return length <= bytes.size() ? length : 0;
}

std::u16string SidToString(std::span<const uint8_t> sid) {
  const size_t length = ValidSidLength(sid);
  if (length == 0) return {};
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::string text = "S-1-";
  if (authority < 0x100000000ull) {
    text += std::to_string(authority);
  } else {
    static const char kHex[] = "0123456789ABCDEF";
    text += "0x";
    for (int shift = 44; shift >= 0; shift -= 4) text += kHex[(authority >> shift) & 0xF];
  }
  for (size_t i = 8; i < length; i += 4) {
    const uint32_t sub = static_cast<uint32_t>(sid[i]) | (static_cast<uint32_t>(sid[i + 1]) << 8) |
                         (static_cast<uint32_t>(sid[i + 2]) << 16) |
                         (static_cast<uint32_t>(sid[i + 3]) << 24);
    text += '-';
    text += std::to_string(sub);
  }
  return std::u16string(text.begin(), text.end());
}

std::string AccountText(std::span<const uint8_t> sid) {
  Account account;
  if (LookupAccountSid(sid, account) != 0) return Utf16ToUtf8(SidToString(sid));
  return Utf16ToUtf8(account.domain.empty() ? account.name : account.domain + u"\\" + account.name);
}

}  // namespace cvn::platform
