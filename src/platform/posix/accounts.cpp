#include "platform/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"

namespace cvn::platform {

namespace {

struct WellKnown {
  const char16_t* sid;
  const char16_t* domain;
  const char16_t* name;
  SidType type;
};

constexpr SidType kGroup = SidType::kWellKnownGroup;
constexpr SidType kAlias = SidType::kAlias;
constexpr SidType kLabel = SidType::kLabel;

constexpr WellKnown kWellKnown[] = {
    {u"S-1-0-0", u"", u"NULL SID", kGroup},
    {u"S-1-1-0", u"", u"Everyone", kGroup},
    {u"S-1-2-0", u"", u"LOCAL", kGroup},
    {u"S-1-2-1", u"", u"CONSOLE LOGON", kGroup},
    {u"S-1-3-0", u"", u"CREATOR OWNER", kGroup},
    {u"S-1-3-1", u"", u"CREATOR GROUP", kGroup},
    {u"S-1-3-4", u"", u"OWNER RIGHTS", kGroup},
    {u"S-1-5-1", u"NT AUTHORITY", u"DIALUP", kGroup},
    {u"S-1-5-2", u"NT AUTHORITY", u"NETWORK", kGroup},
    {u"S-1-5-3", u"NT AUTHORITY", u"BATCH", kGroup},
    {u"S-1-5-4", u"NT AUTHORITY", u"INTERACTIVE", kGroup},
    {u"S-1-5-6", u"NT AUTHORITY", u"SERVICE", kGroup},
    {u"S-1-5-7", u"NT AUTHORITY", u"ANONYMOUS LOGON", kGroup},
    {u"S-1-5-9", u"NT AUTHORITY", u"ENTERPRISE DOMAIN CONTROLLERS", kGroup},
    {u"S-1-5-10", u"NT AUTHORITY", u"SELF", kGroup},
    {u"S-1-5-11", u"NT AUTHORITY", u"Authenticated Users", kGroup},
    {u"S-1-5-12", u"NT AUTHORITY", u"RESTRICTED", kGroup},
    {u"S-1-5-13", u"NT AUTHORITY", u"TERMINAL SERVER USER", kGroup},
    {u"S-1-5-14", u"NT AUTHORITY", u"REMOTE INTERACTIVE LOGON", kGroup},
    {u"S-1-5-15", u"NT AUTHORITY", u"This Organization", kGroup},
    {u"S-1-5-17", u"NT AUTHORITY", u"IUSR", kGroup},
    {u"S-1-5-18", u"NT AUTHORITY", u"SYSTEM", kGroup},
    {u"S-1-5-19", u"NT AUTHORITY", u"LOCAL SERVICE", kGroup},
    {u"S-1-5-20", u"NT AUTHORITY", u"NETWORK SERVICE", kGroup},
    {u"S-1-5-32", u"BUILTIN", u"BUILTIN", SidType::kDomain},
    {u"S-1-5-32-544", u"BUILTIN", u"Administrators", kAlias},
    {u"S-1-5-32-545", u"BUILTIN", u"Users", kAlias},
    {u"S-1-5-32-546", u"BUILTIN", u"Guests", kAlias},
    {u"S-1-5-32-547", u"BUILTIN", u"Power Users", kAlias},
    {u"S-1-5-32-548", u"BUILTIN", u"Account Operators", kAlias},
    {u"S-1-5-32-549", u"BUILTIN", u"Server Operators", kAlias},
    {u"S-1-5-32-550", u"BUILTIN", u"Print Operators", kAlias},
    {u"S-1-5-32-551", u"BUILTIN", u"Backup Operators", kAlias},
    {u"S-1-5-32-552", u"BUILTIN", u"Replicator", kAlias},
    {u"S-1-5-32-554", u"BUILTIN", u"Pre-Windows 2000 Compatible Access", kAlias},
    {u"S-1-5-32-555", u"BUILTIN", u"Remote Desktop Users", kAlias},
    {u"S-1-5-32-556", u"BUILTIN", u"Network Configuration Operators", kAlias},
    {u"S-1-5-32-558", u"BUILTIN", u"Performance Monitor Users", kAlias},
    {u"S-1-5-32-559", u"BUILTIN", u"Performance Log Users", kAlias},
    {u"S-1-5-32-560", u"BUILTIN", u"Windows Authorization Access Group", kAlias},
    {u"S-1-5-32-562", u"BUILTIN", u"Distributed COM Users", kAlias},
    {u"S-1-5-32-568", u"BUILTIN", u"IIS_IUSRS", kAlias},
    {u"S-1-5-32-569", u"BUILTIN", u"Cryptographic Operators", kAlias},
    {u"S-1-5-32-573", u"BUILTIN", u"Event Log Readers", kAlias},
    {u"S-1-5-32-574", u"BUILTIN", u"Certificate Service DCOM Access", kAlias},
    {u"S-1-5-32-578", u"BUILTIN", u"Hyper-V Administrators", kAlias},
    {u"S-1-5-32-579", u"BUILTIN", u"Access Control Assistance Operators", kAlias},
    {u"S-1-5-32-580", u"BUILTIN", u"Remote Management Users", kAlias},
    {u"S-1-5-64-10", u"NT AUTHORITY", u"NTLM Authentication", kGroup},
    {u"S-1-5-64-14", u"NT AUTHORITY", u"SChannel Authentication", kGroup},
    {u"S-1-5-64-21", u"NT AUTHORITY", u"Digest Authentication", kGroup},
    {u"S-1-5-80-0", u"NT SERVICE", u"ALL SERVICES", kGroup},
    {u"S-1-5-113", u"NT AUTHORITY", u"Local account", kGroup},
    {u"S-1-5-114", u"NT AUTHORITY", u"Local account and member of Administrators group", kGroup},
    {u"S-1-15-2-1", u"APPLICATION PACKAGE AUTHORITY", u"ALL APPLICATION PACKAGES", kGroup},
    {u"S-1-16-0", u"Mandatory Label", u"Untrusted Mandatory Level", kLabel},
    {u"S-1-16-4096", u"Mandatory Label", u"Low Mandatory Level", kLabel},
    {u"S-1-16-8192", u"Mandatory Label", u"Medium Mandatory Level", kLabel},
    {u"S-1-16-8448", u"Mandatory Label", u"Medium Plus Mandatory Level", kLabel},
    {u"S-1-16-12288", u"Mandatory Label", u"High Mandatory Level", kLabel},
    {u"S-1-16-16384", u"Mandatory Label", u"System Mandatory Level", kLabel},
    {u"S-1-16-20480", u"Mandatory Label", u"Protected Process Mandatory Level", kLabel},
};

constexpr uint32_t kLocalUserBase = 1000;  // uid u -> 1000 + 2u, gid g -> 1001 + 2g
constexpr char16_t kUnixUserDomain[] = u"Unix User";
constexpr char16_t kUnixGroupDomain[] = u"Unix Group";

bool ParseDecimal(std::u16string_view s, uint64_t limit, uint64_t& value) {
  if (s.empty()) return false;
  value = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
    if (value > limit) return false;
  }
  return true;
}

bool ParseHex(std::u16string_view s, uint64_t limit, uint64_t& value) {
  if (s.empty() || s.size() > 12) return false;
  value = 0;
  for (char16_t c : s) {
    int digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  return value <= limit;
}

SidBytes MakeSid(uint64_t authority, const std::vector<uint32_t>& subs) {
  SidBytes sid(8 + 4 * subs.size());
  sid[0] = 1;
  sid[1] = static_cast<uint8_t>(subs.size());
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
  for (size_t i = 0; i < subs.size(); ++i) {
    for (int b = 0; b < 4; ++b) sid[8 + 4 * i + b] = static_cast<uint8_t>(subs[i] >> (8 * b));
  }
  return sid;
}

// The three sub-authorities of this machine's local account domain.
std::array<uint32_t, 3> ComputeMachineDomain() {
  for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(file);
    std::string id;
    if (!(in >> id) || id.size() < 24) continue;
    std::array<uint32_t, 3> parts{};
    bool ok = true;
    for (int i = 0; i < 3 && ok; ++i) {
      uint64_t v = 0;
      ok = ParseHex(std::u16string(id.begin() + 8 * i, id.begin() + 8 * i + 8), 0xFFFFFFFFu, v);
      parts[i] = static_cast<uint32_t>(v);
    }
    if (ok) return parts;
  }
  // No machine id: derive the domain from the host name (FNV-1a).
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::array<uint32_t, 3> parts{};
  uint32_t hash = 2166136261u;
  for (int i = 0; i < 3; ++i) {
    for (const char* p = host; *p != 0; ++p) hash = (hash ^ static_cast<uint8_t>(*p)) * 16777619u;
    hash = (hash ^ static_cast<uint32_t>(i)) * 16777619u;
    parts[i] = hash;
  }
  return parts;
}

const std::array<uint32_t, 3>& MachineDomain() {
  static const std::array<uint32_t, 3> domain = ComputeMachineDomain();
  return domain;
}

std::u16string ComputerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return u"LOCALHOST";
  std::string name(host);
  name = name.substr(0, name.find('.'));
  if (name.size() > 15) name.resize(15);
  std::u16string result;
  for (char c : name) result.push_back(static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - 32 : c));
  return result.empty() ? u"LOCALHOST" : result;
}

bool UserName(uid_t uid, std::u16string& name) {
  struct passwd pw {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  name = Utf8ToUtf16(found->pw_name);
  return true;
}

bool GroupName(gid_t gid, std::u16string& name) {
  struct group gr {};
  struct group* found = nullptr;
  std::vector<char> buffer(65536);
  if (getgrgid_r(gid, &gr, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  name = Utf8ToUtf16(found->gr_name);
  return true;
}

std::vector<uint32_t> SubAuthorities(std::span<const uint8_t> sid, size_t length) {
  std::vector<uint32_t> subs;
  for (size_t i = 8; i < length; i += 4) {
    subs.push_back(static_cast<uint32_t>(sid[i]) | (static_cast<uint32_t>(sid[i + 1]) << 8) |
                   (static_cast<uint32_t>(sid[i + 2]) << 16) |
                   (static_cast<uint32_t>(sid[i + 3]) << 24));
  }
  return subs;
}

uint64_t Authority(std::span<const uint8_t> sid) {
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  return authority;
}

}  // namespace

bool StringToSid(std::u16string_view text, SidBytes& sid) {
  sid.clear();
  if (text.size() < 2 || (text[0] != u'S' && text[0] != u's') || text[1] != u'-') return false;
  std::vector<std::u16string_view> parts;
  size_t pos = 2;
  while (true) {
    const size_t dash = text.find(u'-', pos);
    parts.push_back(text.substr(pos, dash == std::u16string_view::npos ? dash : dash - pos));
    if (dash == std::u16string_view::npos) break;
    pos = dash + 1;
  }
  if (parts.size() < 2 || parts.size() > 17 || parts[0] != u"1") return false;
  uint64_t authority = 0;
  const std::u16string_view auth = parts[1];
  if (auth.size() > 2 && auth[0] == u'0' && (auth[1] == u'x' || auth[1] == u'X')) {
    if (!ParseHex(auth.substr(2), 0xFFFFFFFFFFFFull, authority)) return false;
  } else if (!ParseDecimal(auth, 0xFFFFFFFFull, authority)) {
    return false;
  }
  std::vector<uint32_t> subs;
  for (size_t i = 2; i < parts.size(); ++i) {
    uint64_t value = 0;
    if (!ParseDecimal(parts[i], 0xFFFFFFFFull, value)) return false;
    subs.push_back(static_cast<uint32_t>(value));
  }
  sid = MakeSid(authority, subs);
  return true;
}

uint32_t LookupAccountSid(std::span<const uint8_t> sid, Account& account) {
  account = Account();
  const size_t length = ValidSidLength(sid);
  if (length == 0) return kErrorInvalidSid;
  const std::u16string text = SidToString(sid.first(length));
  for (const WellKnown& w : kWellKnown) {
    if (text == w.sid) {
      account = {w.domain, w.name, w.type};
      return 0;
    }
  }
  const uint64_t authority = Authority(sid);
  const std::vector<uint32_t> subs = SubAuthorities(sid, length);
  // S-1-5-21-<machine>-<rid>: the machine's own accounts.
  const auto& machine = MachineDomain();
  if (authority == 5 && subs.size() == 5 && subs[0] == 21 && subs[1] == machine[0] &&
      subs[2] == machine[1] && subs[3] == machine[2] && subs[4] >= kLocalUserBase) {
    const uint32_t rid = subs[4] - kLocalUserBase;
    std::u16string name;
    const bool found = (rid % 2 == 0) ? UserName(static_cast<uid_t>(rid / 2), name)
                                      : GroupName(static_cast<gid_t>(rid / 2), name);
    if (!found) return kErrorNoneMapped;
    account = {ComputerName(), name, rid % 2 == 0 ? SidType::kUser : SidType::kAlias};
    return 0;
  }
  // S-1-22-1-<uid> and S-1-22-2-<gid>.
  if (authority == 22 && subs.size() == 2 && (subs[0] == 1 || subs[0] == 2)) {
    std::u16string name;
    const bool user = subs[0] == 1;
    if (!(user ? UserName(static_cast<uid_t>(subs[1]), name)
               : GroupName(static_cast<gid_t>(subs[1]), name))) {
      return kErrorNoneMapped;
    }
    account = {user ? kUnixUserDomain : kUnixGroupDomain, name,
               user ? SidType::kUser : SidType::kGroup};
    return 0;
  }
  return kErrorNoneMapped;
}

uint32_t LookupAccountName(std::u16string_view full_name, SidBytes& sid, Account& account) {
  sid.clear();
  account = Account();
  std::u16string_view domain;
  std::u16string_view name = full_name;
  const size_t slash = full_name.find(u'\\');
  const bool has_domain = slash != std::u16string_view::npos;
  if (has_domain) {
    domain = full_name.substr(0, slash);
    name = full_name.substr(slash + 1);
  }
  if (name.empty()) return kErrorNoneMapped;
  for (const WellKnown& w : kWellKnown) {
    if (EqualsNoCase(name, w.name) && (!has_domain || EqualsNoCase(domain, w.domain))) {
      StringToSid(w.sid, sid);
      account = {w.domain, w.name, w.type};
      return 0;
    }
  }
  const std::u16string computer = ComputerName();
  const bool local = !has_domain || EqualsNoCase(domain, computer) || domain == u".";
  const bool unix_user = has_domain && EqualsNoCase(domain, kUnixUserDomain);
  const bool unix_group = has_domain && EqualsNoCase(domain, kUnixGroupDomain);
  if (!local && !unix_user && !unix_group) return kErrorNoneMapped;
  const std::string native = Utf16ToUtf8(name);
  const auto& machine = MachineDomain();
  if (local || unix_user) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(native.c_str(), &pw, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
      const uint64_t rid = kLocalUserBase + 2ull * found->pw_uid;
      if (unix_user) {
        sid = MakeSid(22, {1, static_cast<uint32_t>(found->pw_uid)});
        account = {kUnixUserDomain, Utf8ToUtf16(found->pw_name), SidType::kUser};
        return 0;
      }
      if (rid <= 0xFFFFFFFFu) {
        sid = MakeSid(5, {21, machine[0], machine[1], machine[2], static_cast<uint32_t>(rid)});
        account = {computer, Utf8ToUtf16(found->pw_name), SidType::kUser};
        return 0;
      }
    }
  }
  if (local || unix_group) {
    struct group gr {};
    struct group* found = nullptr;
    std::vector<char> buffer(65536);
    if (getgrnam_r(native.c_str(), &gr, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
      const uint64_t rid = kLocalUserBase + 1 + 2ull * found->gr_gid;
      if (unix_group) {
        sid = MakeSid(22, {2, static_cast<uint32_t>(found->gr_gid)});
        account = {kUnixGroupDomain, Utf8ToUtf16(found->gr_name), SidType::kGroup};
        return 0;
      }
      if (rid <= 0xFFFFFFFFu) {
        sid = MakeSid(5, {21, machine[0], machine[1], machine[2], static_cast<uint32_t>(rid)});
        account = {computer, Utf8ToUtf16(found->gr_name), SidType::kAlias};
        return 0;
      }
    }
  }
  return kErrorNoneMapped;
}

}  // namespace cvn::platform
