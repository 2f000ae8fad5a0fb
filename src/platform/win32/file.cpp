#include "platform/file.h"

#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/accounts.h"
#include "platform/win32/token.h"
#include "platform/win32/win.h"
// After win.h: the shell and security headers need the Windows types.
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

namespace cvn::platform {

const char16_t kPathSeparator = u'\\';

using win32::LastError;
using win32::ToWide;

namespace {

HANDLE Native(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

DWORD DesiredAccess(FileAccess access) {
  switch (access) {
    case FileAccess::kRead: return GENERIC_READ;
    case FileAccess::kWrite: return GENERIC_WRITE;
    case FileAccess::kReadWrite: return GENERIC_READ | GENERIC_WRITE;
  }
  return 0;
}

// The attributes of path, or INVALID_FILE_ATTRIBUTES.
DWORD Attributes(std::u16string_view path) { return ::GetFileAttributesW(ToWide(path).c_str()); }

bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

uint32_t File::Open(std::u16string_view path, FileAccess access, FileShare share,
                    FileCreate create) {
  Close();
  const std::wstring wide = ToWide(path);
  const bool writing = access != FileAccess::kRead;
  // A reparse point is refused before the open can truncate or follow it,
  // and the open itself does not follow one planted meanwhile.
  if (writing && IsReparsePoint(::GetFileAttributesW(wide.c_str()))) {
    return err::kStoppedOnSymlink;
  }
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (writing ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  // FileShare and FileCreate carry the Windows values.
  const HANDLE h = ::CreateFileW(wide.c_str(), DesiredAccess(access), static_cast<DWORD>(share),
                                 nullptr, static_cast<DWORD>(create), flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  handle_ = reinterpret_cast<intptr_t>(h);
  BY_HANDLE_FILE_INFORMATION info{};
  if (writing && ::GetFileInformationByHandle(h, &info) && IsReparsePoint(info.dwFileAttributes)) {
    Close();
    return err::kStoppedOnSymlink;
  }
  return err::kSuccess;
}

bool File::IsOpen() const { return handle_ != -1; }

void File::Close() {
  if (IsOpen()) ::CloseHandle(Native(handle_));
  handle_ = -1;
}

uint32_t File::Read(void* buffer, uint32_t size, uint32_t& read) {
  read = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  auto* p = static_cast<char*>(buffer);
  while (read < size) {
    DWORD n = 0;
    if (!::ReadFile(Native(handle_), p + read, size - read, &n, nullptr)) {
      const uint32_t error = LastError();
      return error == err::kHandleEof ? err::kSuccess : error;
    }
    if (n == 0) break;
    read += n;
  }
  return err::kSuccess;
}

uint32_t File::Write(const void* data, uint32_t size) {
  if (!IsOpen()) return err::kInvalidHandle;
  const auto* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    DWORD n = 0;
    if (!::WriteFile(Native(handle_), p + done, size - done, &n, nullptr)) return LastError();
    if (n == 0) return err::kDiskFull;
    done += n;
  }
  return err::kSuccess;
}

uint32_t File::Seek(int64_t offset, SeekFrom from, int64_t* position) {
  if (!IsOpen()) return err::kInvalidHandle;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER pos;
  pos.QuadPart = 0;
  // SeekFrom carries FILE_BEGIN, FILE_CURRENT and FILE_END.
  if (!::SetFilePointerEx(Native(handle_), distance, &pos, static_cast<DWORD>(from))) {
    return LastError();
  }
  if (position != nullptr) *position = pos.QuadPart;
  return err::kSuccess;
}

uint32_t File::GetSize(uint64_t& size) const {
  if (!IsOpen()) return err::kInvalidHandle;
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(Native(handle_), &value)) return LastError();
  size = static_cast<uint64_t>(value.QuadPart);
  return err::kSuccess;
}

uint32_t File::Truncate() {
  if (!IsOpen()) return err::kInvalidHandle;
  return ::SetEndOfFile(Native(handle_)) ? err::kSuccess : LastError();
}

uint32_t File::Sync() {
  if (!IsOpen()) return err::kInvalidHandle;
  return ::FlushFileBuffers(Native(handle_)) ? err::kSuccess : LastError();
}

uint32_t CreateFolderTree(std::u16string_view folder) {
  std::wstring path = ToWide(folder);
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  if (path.empty()) return err::kPathNotFound;
  // The shell call wants a full path.
  const DWORD need = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (need == 0) return LastError();
  std::wstring full(need, L'\0');
  const DWORD len = ::GetFullPathNameW(path.c_str(), need, full.data(), nullptr);
  if (len == 0 || len >= need) return err::kPathNotFound;
  full.resize(len);
  const DWORD attributes = ::GetFileAttributesW(full.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? err::kAlreadyExists : err::kFileExists;
  }
  return static_cast<uint32_t>(::SHCreateDirectoryExW(nullptr, full.c_str(), nullptr));
}

std::vector<std::u16string> FindFiles(std::u16string_view folder, std::u16string_view pattern) {
  std::vector<std::u16string> names;
  std::u16string query =
      folder.empty() ? std::u16string() : WithTrailingSeparator(std::u16string(folder));
  query += pattern;
  WIN32_FIND_DATAW data;
  win32::FindHandle find(::FindFirstFileW(win32::WideCStr(query), &data));
  if (!find) return names;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    // Windows also matches the short 8.3 names and lets '?' match nothing
    // before a dot; the portable rule decides, so both platforms agree.
    std::u16string name = win32::FromWide(data.cFileName);
    if (MatchesPattern(name, pattern)) names.push_back(std::move(name));
  } while (::FindNextFileW(find.Get(), &data));
  return names;
}

uint32_t RemoveFile(std::u16string_view path) {
  return ::DeleteFileW(ToWide(path).c_str()) ? err::kSuccess : LastError();
}

uint32_t ReplaceFile(std::u16string_view from, std::u16string_view to) {
  return ::MoveFileExW(ToWide(from).c_str(), ToWide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? err::kSuccess
             : LastError();
}

bool FileExists(std::u16string_view path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FileWriteTime(std::u16string_view path, int64_t& seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(ToWide(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  // 100 ns steps since 1601 to seconds since 1970.
  const uint64_t t = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                     data.ftLastWriteTime.dwLowDateTime;
  seconds = static_cast<int64_t>(t / 10000000ull) - 11644473600ll;
  return true;
}

bool FolderExists(std::u16string_view path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsAbsolutePath(std::u16string_view path) {
  auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
  const bool letter = path.size() >= 3 && ((path[0] >= u'A' && path[0] <= u'Z') ||
                                           (path[0] >= u'a' && path[0] <= u'z'));
  return letter && path[1] == u':' && separator(path[2]);
}

namespace {

// Rights that let a holder change what the service finds at a path.
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER |
                               GENERIC_WRITE | GENERIC_ALL;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return ::IsWellKnownSid(sid, type) != 0; }

// The user the process runs as.
SidBytes ProcessUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  win32::Handle owned(token);
  return win32::TokenUserSid(token);
}

bool IsTrusted(PSID sid) {
  static const SidBytes self = ProcessUserSid();
  return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
         (!self.empty() && ::EqualSid(sid, const_cast<uint8_t*>(self.data())));
}

std::string SidName(PSID sid) {
  return AccountText(std::span(static_cast<const uint8_t*>(sid), ::GetLengthSid(sid)));
}

// The first entry of the list that lets someone untrusted write; null when
// there is none. CREATOR OWNER entries only pass on to new children.
PSID UntrustedWriter(PACL dacl) {
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(dacl, i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    const PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if ((ace->Mask & kWriteRights) != 0 && !IsTrusted(sid) &&
        !IsWellKnown(sid, WinCreatorOwnerSid)) {
      return sid;
    }
  }
  return nullptr;
}

}  // namespace

uint32_t CloseFolderToOthers(std::u16string_view folder) {
  const uint32_t made = CreateFolderTree(folder);
  if (made != err::kSuccess && made != err::kAlreadyExists) return made;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return LastError();
  }
  const std::unique_ptr<void, decltype(&::LocalFree)> owned(descriptor, &::LocalFree);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return LastError();
  // Unlike SetFileSecurity, this passes the inherited entries on to what the
  // folder holds already.
  std::wstring path = ToWide(folder);
  return ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr);
}

uint32_t CheckPrivatePath(std::u16string_view path, std::string& reason) {
  reason.clear();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD rc = ::GetNamedSecurityInfoW(ToWide(path).c_str(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           &owner, nullptr, &dacl, nullptr, &sd);
  if (rc != ERROR_SUCCESS) return rc;
  const std::unique_ptr<void, decltype(&::LocalFree)> owned(sd, &::LocalFree);
  if (owner == nullptr || !IsTrusted(owner)) {
    reason = "it belongs to " + (owner == nullptr ? std::string("nobody") : SidName(owner));
    return err::kAccessDenied;
  }
  if (dacl == nullptr) {
    reason = "it has no access list, so everyone may write it";
    return err::kAccessDenied;
  }
  if (const PSID writer = UntrustedWriter(dacl)) {
    reason = SidName(writer) + " may write it";
    return err::kAccessDenied;
  }
  return err::kSuccess;
}

std::u16string CommonAppDataFolder() {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, path))) {
    return {};
  }
  return win32::FromWide(path);
}

}  // namespace cvn::platform
