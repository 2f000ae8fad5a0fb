// Security identifiers (SIDs) and the accounts they name on the local system.
//
// A SID in binary form is: revision (1), number of sub-authorities (0-15),
// the 48-bit identifier authority (big-endian), then the sub-authorities
// (32-bit little-endian each), 8 + 4 x count bytes in all; its text form is
// "S-1-<authority>-<sub>-<sub>...", as event records and insertion strings
// carry it.
//
// On Windows the system calls answer (ConvertStringSidToSidW,
// LookupAccountSidW, LookupAccountNameW). On posix:
// - the well-known SIDs have their English Windows names: S-1-1-0
//   "\Everyone", S-1-5-18 "NT AUTHORITY\SYSTEM", S-1-5-19 "NT AUTHORITY\LOCAL
//   SERVICE", S-1-5-20 "NT AUTHORITY\NETWORK SERVICE", S-1-5-32-544
//   "BUILTIN\Administrators" and the other common ones;
// - the machine's accounts are local accounts of a machine domain
//   S-1-5-21-<a>-<b>-<c>, where a, b and c are the first 24 hexadecimal digits
//   of /etc/machine-id (or /var/lib/dbus/machine-id) read as three 32-bit
//   numbers (a hash of the host name when neither exists). The user with uid u
//   has the relative id 1000 + 2u, the group with gid g has 1001 + 2g; the
//   domain name is the host name up to its first dot, in capitals, at most 15
//   characters (as Windows shows local accounts: MACHINE\user);
// - S-1-22-1-<uid> and S-1-22-2-<gid> name the same users and groups in the
//   domains "Unix User" and "Unix Group".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::platform {

using SidBytes = std::vector<uint8_t>;

// The kinds of account (SID_NAME_USE).
enum class SidType : uint32_t {
  kUser = 1,
  kGroup = 2,
  kDomain = 3,
  kAlias = 4,
  kWellKnownGroup = 5,
  kDeletedAccount = 6,
  kInvalid = 7,
  kUnknown = 8,
  kComputer = 9,
  kLabel = 10,
};

struct Account {
  std::u16string domain;  // may be empty (Everyone)
  std::u16string name;
  SidType type = SidType::kUnknown;
};

constexpr uint32_t kErrorNoneMapped = 1332;
constexpr uint32_t kErrorInvalidSid = 1337;

// The length of the valid SID at the start of bytes (8 + 4 x count), or 0
// when bytes do not begin with a complete SID of revision 1.
size_t ValidSidLength(std::span<const uint8_t> bytes);

// ConvertStringSidToSidW: "S-1-<authority>-<sub>..." with decimal numbers (the
// authority may also be hexadecimal, "0x" and up to 12 digits), at most 15
// sub-authorities, each below 2^32. False for anything else (letters, empty
// parts, trailing "-", numbers out of range).
bool StringToSid(std::u16string_view text, SidBytes& sid);

// The text form of a SID; empty when bytes are not a valid SID.
std::u16string SidToString(std::span<const uint8_t> sid);

// LookupAccountSidW on the local system: 0 and the account, 1332 when no
// account has the SID, 1337 when the bytes are not a valid SID.
uint32_t LookupAccountSid(std::span<const uint8_t> sid, Account& account);

// A SID for log lines, UTF-8: "DOMAIN\name", or the SID's text form when no
// account has it.
std::string AccountText(std::span<const uint8_t> sid);

// LookupAccountNameW on the local system, for "name" or "DOMAIN\name": 0 with
// the SID and the account as found, or 1332.
uint32_t LookupAccountName(std::u16string_view name, SidBytes& sid, Account& account);

}  // namespace cvn::platform
