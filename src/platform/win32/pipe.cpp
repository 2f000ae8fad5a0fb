// Named pipes with overlapped I/O.
//
// The server pipe's operations use one OVERLAPPED record with a manual-reset
// event of its own. A one-shot registered wait on that event sets the
// portable completion event, so callers can wait for the pipe together with
// other portable events. The client pipe is opened for overlapped I/O too, so
// every call can time out and be cancelled from another thread.
#include "platform/pipe.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/accounts.h"
#include "platform/win32/token.h"
#include "platform/win32/win.h"
// After win.h, which sets up the Windows headers.
#include <aclapi.h>

namespace cvn::platform {

using win32::Handle;
using win32::LastError;

namespace {

constexpr DWORD kDefaultTimeoutMs = 5000;

// The local group whose members may use the console without being
// administrators; it is granted access only when an administrator created it.
constexpr wchar_t kConsoleUsersGroup[] = L"Corvane Console Users";

// A security descriptor whose DACL lets only the service's own account, the
// local system, the administrators and the console users group (when it
// exists) read and write the pipe. Nobody else gets any access.
struct PipeSecurity {
  std::vector<std::vector<BYTE>> sids;
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  SECURITY_ATTRIBUTES sa{};

  ~PipeSecurity() {
    if (sd != nullptr) ::LocalFree(sd);
    if (acl != nullptr) ::LocalFree(acl);
  }

  void AddSid(PSID sid) {
    if (sid == nullptr || !::IsValidSid(sid)) return;
    for (auto& known : sids) {
      if (::EqualSid(known.data(), sid)) return;
    }
    const auto* bytes = static_cast<const BYTE*>(sid);
    sids.emplace_back(bytes, bytes + ::GetLengthSid(sid));
  }

  uint32_t AddWellKnown(WELL_KNOWN_SID_TYPE type) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!::CreateWellKnownSid(type, nullptr, sid, &size)) return LastError();
    AddSid(sid);
    return ERROR_SUCCESS;
  }

  // The account the calling process runs as (the local system for the
  // installed service), so a service run by another account can still be
  // reached from its own account.
  void AddProcessUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      AddSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
    }
    ::CloseHandle(token);
  }

  // The console users group, when a local group of that name exists.
  void AddConsoleUsers() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof sid;
    wchar_t domain[256];
    DWORD domain_size = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (::LookupAccountNameW(nullptr, kConsoleUsersGroup, sid, &sid_size, domain, &domain_size,
                             &use) &&
        (use == SidTypeAlias || use == SidTypeGroup)) {
      AddSid(sid);
    }
  }

  uint32_t Build() {
    if (const uint32_t rc = AddWellKnown(WinLocalSystemSid); rc != ERROR_SUCCESS) return rc;
    if (const uint32_t rc = AddWellKnown(WinBuiltinAdministratorsSid); rc != ERROR_SUCCESS)
      return rc;
    AddProcessUser();
    AddConsoleUsers();
    std::vector<EXPLICIT_ACCESSW> entries(sids.size());
    for (size_t i = 0; i < sids.size(); ++i) {
      EXPLICIT_ACCESSW& access = entries[i];
      access.grfAccessPermissions = GENERIC_READ | GENERIC_WRITE;
      access.grfAccessMode = SET_ACCESS;
      access.grfInheritance = NO_INHERITANCE;
      access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
      access.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
      access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids[i].data());
    }
    if (const DWORD rc =
            ::SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr, &acl);
        rc != ERROR_SUCCESS)
      return rc;
    // The descriptor's own size: a fixed 20-byte block only fits 32-bit code.
    sd = ::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (sd == nullptr) return LastError();
    if (!::InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION)) return LastError();
    if (!::SetSecurityDescriptorDacl(sd, TRUE, acl, FALSE)) return LastError();
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = sd;
    sa.bInheritHandle = FALSE;
    return ERROR_SUCCESS;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Server

struct ServerPipe::Impl {
  enum class Op { kNone, kConnect, kRead, kWrite };

  Handle pipe;
  Handle io_event;
  OVERLAPPED ov{};
  HANDLE wait = nullptr;
  Event completion{Event::Mode::kManualReset};
  Op op = Op::kNone;
  bool at_once = false;    // a connect that found its client already there
  bool connected = false;  // a connect ended well and the client was not dropped since
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;

  static VOID CALLBACK OnSignaled(PVOID context, BOOLEAN /*timed_out*/) {
    static_cast<Impl*>(context)->completion.Set();
  }

  void PrepareOverlapped() {
    ::ResetEvent(io_event.Get());
    ov = OVERLAPPED{};
    ov.hEvent = io_event.Get();
    completion.Reset();
    at_once = false;
  }

  // Forwards the overlapped event to the completion event.
  uint32_t Watch() {
    if (!::RegisterWaitForSingleObject(&wait, io_event.Get(), &Impl::OnSignaled, this, INFINITE,
                                       WT_EXECUTEONLYONCE)) {
      wait = nullptr;
      return LastError();
    }
    return ERROR_SUCCESS;
  }

  void Unwatch() {
    if (wait != nullptr)
      ::UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);  // waits for a running callback
    wait = nullptr;
  }

  // Cancels a pending operation and waits until the system is done with ov.
  void Cancel() {
    if (op != Op::kNone && !at_once && pipe) {
      ::CancelIoEx(pipe.Get(), &ov);
      DWORD n = 0;
      ::GetOverlappedResult(pipe.Get(), &ov, &n, TRUE);
    }
    Unwatch();
    op = Op::kNone;
    at_once = false;
    completion.Reset();
  }

  // Starts an operation issued with ov; ok says the call succeeded at once.
  uint32_t Started(Op started, BOOL ok) {
    if (!ok) {
      const uint32_t rc = LastError();
      if (rc != ERROR_IO_PENDING) return rc;
    }
    op = started;
    if (const uint32_t rc = Watch(); rc != ERROR_SUCCESS) {
      Cancel();
      return rc;
    }
    return ERROR_SUCCESS;
  }
};

ServerPipe::ServerPipe() : impl_(std::make_unique<Impl>()) {}

ServerPipe::~ServerPipe() { Close(); }

uint32_t ServerPipe::Create(std::u16string_view name) {
  if (IsOpen()) return ERROR_ALREADY_EXISTS;
  Impl& s = *impl_;
  if (!s.io_event) {
    s.io_event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!s.io_event) return LastError();
  }
  PipeSecurity security;
  if (const uint32_t rc = security.Build(); rc != ERROR_SUCCESS) return rc;
  const std::wstring wide = win32::ToWide(name);
  HANDLE h = ::CreateNamedPipeW(
      wide.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE | WRITE_OWNER,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      kPipeChunkSize, kPipeChunkSize, kDefaultTimeoutMs, &security.sa);
  if (h == INVALID_HANDLE_VALUE) {
    const uint32_t rc = LastError();
    // A first instance is refused when any pipe of the name exists.
    const bool exists =
        ::WaitNamedPipeW(wide.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND;
    return rc == ERROR_ACCESS_DENIED && exists ? pipe_err::kPipeBusy : rc;
  }
  s.pipe.Reset(h);
  s.op = Impl::Op::kNone;
  return ERROR_SUCCESS;
}

bool ServerPipe::IsOpen() const { return impl_->pipe.IsValid(); }

void ServerPipe::Close() {
  Impl& s = *impl_;
  if (!s.pipe) return;
  s.Cancel();
  ::DisconnectNamedPipe(s.pipe.Get());
  s.connected = false;
  s.pipe.Reset();
}

uint32_t ServerPipe::BeginConnect() {
  Impl& s = *impl_;
  if (!s.pipe) return ERROR_INVALID_HANDLE;
  if (s.op != Impl::Op::kNone) return pipe_err::kIoPending;
  s.PrepareOverlapped();
  if (!::ConnectNamedPipe(s.pipe.Get(), &s.ov)) {
    const uint32_t rc = LastError();
    if (rc == ERROR_PIPE_CONNECTED) {
      // The client came before the call; the system signals nothing then.
      s.op = Impl::Op::kConnect;
      s.at_once = true;
      s.completion.Set();
      return ERROR_SUCCESS;
    }
    if (rc != ERROR_IO_PENDING) return rc;
  }
  return s.Started(Impl::Op::kConnect, FALSE);
}

uint32_t ServerPipe::BeginRead(size_t max_bytes) {
  Impl& s = *impl_;
  if (!s.pipe) return ERROR_INVALID_HANDLE;
  if (s.op != Impl::Op::kNone) return pipe_err::kIoPending;
  if (max_bytes == 0) return ERROR_INVALID_PARAMETER;
  s.PrepareOverlapped();
  s.in.resize(std::min(max_bytes, kPipeChunkSize));
  const BOOL ok =
      ::ReadFile(s.pipe.Get(), s.in.data(), static_cast<DWORD>(s.in.size()), nullptr, &s.ov);
  return s.Started(Impl::Op::kRead, ok);
}

uint32_t ServerPipe::BeginWrite(std::span<const uint8_t> bytes) {
  Impl& s = *impl_;
  if (!s.pipe) return ERROR_INVALID_HANDLE;
  if (s.op != Impl::Op::kNone) return pipe_err::kIoPending;
  s.PrepareOverlapped();
  s.out.assign(bytes.begin(), bytes.end());
  const BOOL ok =
      ::WriteFile(s.pipe.Get(), s.out.data(), static_cast<DWORD>(s.out.size()), nullptr, &s.ov);
  return s.Started(Impl::Op::kWrite, ok);
}

Event* ServerPipe::Completion() { return &impl_->completion; }

uint32_t ServerPipe::Finish(size_t* bytes) {
  Impl& s = *impl_;
  if (bytes != nullptr) *bytes = 0;
  if (s.op == Impl::Op::kNone) return pipe_err::kPipeNotConnected;
  uint32_t rc = ERROR_SUCCESS;
  DWORD n = 0;
  if (!s.at_once && !::GetOverlappedResult(s.pipe.Get(), &s.ov, &n, FALSE)) {
    rc = LastError();
    if (rc == ERROR_IO_INCOMPLETE) return pipe_err::kIoIncomplete;
  }
  const Impl::Op op = s.op;
  s.Unwatch();
  s.op = Impl::Op::kNone;
  s.at_once = false;
  s.completion.Reset();
  if (op == Impl::Op::kRead) s.in.resize(rc == ERROR_SUCCESS ? n : 0);
  if (op == Impl::Op::kConnect) s.connected = rc == ERROR_SUCCESS;
  if (bytes != nullptr && rc == ERROR_SUCCESS) *bytes = n;
  return rc;
}

std::span<const uint8_t> ServerPipe::ReadData() const { return impl_->in; }

void ServerPipe::Disconnect() {
  Impl& s = *impl_;
  if (!s.pipe) return;
  s.Cancel();
  ::DisconnectNamedPipe(s.pipe.Get());
  s.connected = false;
}

uint32_t ServerPipe::RunAsClient(const std::function<uint32_t()>& work) {
  Impl& s = *impl_;
  // Some systems impersonate without a client; this one never does.
  if (!s.pipe || !s.connected) return pipe_err::kPipeNotConnected;
  if (!::ImpersonateNamedPipeClient(s.pipe.Get())) {
    const DWORD error = ::GetLastError();
    return error == ERROR_CANNOT_IMPERSONATE ? pipe_err::kPipeNotConnected : error;
  }
  const uint32_t result = work();
  // A thread that cannot go back to its own rights must not serve anyone
  // again with the client's.
  if (!::RevertToSelf()) ::ExitThread(ERROR_ACCESS_DENIED);
  return result;
}

namespace {

// The user SID of the token the calling thread impersonates; empty when
// there is none.
SidBytes ImpersonatedUserSid() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return {};
  Handle owned(token);
  return win32::TokenUserSid(token);
}

}  // namespace

bool ServerPipe::ClientIsAdministrator() {
  bool admin = false;
  RunAsClient([&admin] {
    const SidBytes user = ImpersonatedUserSid();
    admin =
        win32::TokenHoldsAdministrators(nullptr) ||
        (!user.empty() && ::IsWellKnownSid(const_cast<uint8_t*>(user.data()), WinLocalSystemSid));
    return 0u;
  });
  return admin;
}

std::string ServerPipe::ClientUser() {
  SidBytes sid;
  RunAsClient([&sid] {
    sid = ImpersonatedUserSid();
    return 0u;
  });
  return sid.empty() ? "unknown" : AccountText(sid);
}

// ---------------------------------------------------------------------------
// Client

struct ClientPipe::Impl {
  std::mutex mu;  // Shutdown never signals a pipe that Close is closing
  Handle pipe;
  Handle io_event;
  Handle cancel_event;  // set by Shutdown, manual reset

  // Runs one overlapped call (started by start(ov)) to its end.
  template <typename StartFn>
  uint32_t Run(StartFn start, DWORD* moved, uint32_t timeout_ms) {
    *moved = 0;
    if (!pipe) return ERROR_INVALID_HANDLE;
    if (::WaitForSingleObject(cancel_event.Get(), 0) == WAIT_OBJECT_0)
      return pipe_err::kOperationAborted;
    OVERLAPPED ov{};
    ov.hEvent = io_event.Get();
    ::ResetEvent(io_event.Get());
    if (!start(&ov)) {
      const uint32_t rc = LastError();
      if (rc != ERROR_IO_PENDING) return rc;
    }
    HANDLE handles[2] = {io_event.Get(), cancel_event.Get()};
    const DWORD w = ::WaitForMultipleObjects(2, handles, FALSE, timeout_ms);
    uint32_t outcome = ERROR_SUCCESS;
    if (w != WAIT_OBJECT_0) {
      outcome = w == WAIT_OBJECT_0 + 1 ? pipe_err::kOperationAborted : pipe_err::kTimeout;
      ::CancelIoEx(pipe.Get(), &ov);
    }
    // Wait until the system is done with ov; a call that completed while it
    // was being cancelled keeps its result.
    if (!::GetOverlappedResult(pipe.Get(), &ov, moved, TRUE)) {
      const uint32_t rc = LastError();
      return rc == ERROR_OPERATION_ABORTED && outcome != ERROR_SUCCESS ? outcome : rc;
    }
    return ERROR_SUCCESS;
  }
};

ClientPipe::ClientPipe() : impl_(std::make_unique<Impl>()) {}

ClientPipe::~ClientPipe() { Close(); }

uint32_t ClientPipe::Open(std::u16string_view name, uint32_t timeout_ms, Identity identity) {
  Close();
  Impl& c = *impl_;
  std::lock_guard lk(c.mu);
  if (!c.io_event) c.io_event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!c.cancel_event) c.cancel_event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!c.io_event || !c.cancel_event) return LastError();
  ::ResetEvent(c.cancel_event.Get());
  const std::wstring wide = win32::ToWide(name);
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  // A server that may only identify this client cannot act with its rights,
  // whoever created the pipe.
  const DWORD flags =
      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT |
      (identity == Identity::kImpersonate ? SECURITY_IMPERSONATION : SECURITY_IDENTIFICATION);
  for (;;) {
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      c.pipe.Reset(h);
      return ERROR_SUCCESS;
    }
    const uint32_t rc = LastError();
    // The instance is busy, or between two clients: wait for it to listen
    // again within the time-out.
    const ULONGLONG now = ::GetTickCount64();
    if (rc != ERROR_PIPE_BUSY || now >= deadline) return rc;
    if (!::WaitNamedPipeW(wide.c_str(),
                          static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 0x7FFFFFFF))) &&
        LastError() != ERROR_PIPE_BUSY) {
      return LastError() == ERROR_SEM_TIMEOUT ? static_cast<uint32_t>(ERROR_PIPE_BUSY)
                                              : LastError();
    }
  }
}

bool ClientPipe::IsOpen() const {
  std::lock_guard lk(impl_->mu);
  return impl_->pipe.IsValid();
}

void ClientPipe::Close() {
  Impl& c = *impl_;
  std::lock_guard lk(c.mu);
  c.pipe.Reset();
  if (c.cancel_event) ::ResetEvent(c.cancel_event.Get());
}

void ClientPipe::Shutdown() {
  Impl& c = *impl_;
  std::lock_guard lk(c.mu);
  if (c.cancel_event) ::SetEvent(c.cancel_event.Get());
}

bool ClientPipe::ServerIsAdministrator() {
  std::lock_guard lk(impl_->mu);
  ULONG pid = 0;
  if (!impl_->pipe || !::GetNamedPipeServerProcessId(impl_->pipe.Get(), &pid)) return false;
  Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  HANDLE token = nullptr;
  if (!process || !::OpenProcessToken(process.Get(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
    return false;
  }
  Handle owned(token);
  HANDLE identification = nullptr;
  if (!::DuplicateToken(token, SecurityIdentification, &identification)) return false;
  Handle checked(identification);
  return win32::TokenHoldsAdministrators(identification);
}

uint32_t ClientPipe::Read(uint8_t* buffer, size_t max, size_t* got, uint32_t timeout_ms) {
  *got = 0;
  if (max == 0) return ERROR_INVALID_PARAMETER;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(max, 0x7FFFFFFF));
  DWORD moved = 0;
  uint32_t rc = impl_->Run(
      [&](OVERLAPPED* ov) { return ::ReadFile(impl_->pipe.Get(), buffer, want, nullptr, ov); },
      &moved, timeout_ms);
  if (rc == ERROR_SUCCESS && moved == 0) rc = pipe_err::kBrokenPipe;
  if (rc == ERROR_PIPE_NOT_CONNECTED) rc = pipe_err::kBrokenPipe;
  if (rc == ERROR_SUCCESS) *got = moved;
  return rc;
}

uint32_t ClientPipe::Write(std::span<const uint8_t> bytes, uint32_t timeout_ms) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - pos, 0x7FFFFFFF));
    DWORD moved = 0;
    const uint32_t rc = impl_->Run(
        [&](OVERLAPPED* ov) {
          return ::WriteFile(impl_->pipe.Get(), bytes.data() + pos, chunk, nullptr, ov);
        },
        &moved, timeout_ms);
    if (rc != ERROR_SUCCESS) return rc;
    if (moved == 0) return pipe_err::kNoData;
    pos += moved;
  }
  return ERROR_SUCCESS;
}

}  // namespace cvn::platform
