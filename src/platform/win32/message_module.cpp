#include "platform/message_module.h"

#include <map>
#include <vector>

#include "platform/file.h"
#include "platform/message_table.h"
#include "platform/win32/win.h"
// winevt.h after win.h, which sets the Windows version it needs.
#include <winevt.h>

namespace cvn::platform {

using win32::FromWide;
using win32::LastError;
using win32::LocalMemory;
using win32::ToWide;

struct MessageModule::Impl {
  // A PE module mapped by the system, or the messages of a plain table file.
  win32::Module module;
  std::map<uint32_t, std::u16string> messages;
};

namespace {

// Reads a plain message-table file; 193 when path holds something else.
uint32_t LoadPlainTable(std::u16string_view path, std::map<uint32_t, std::u16string>& messages) {
  File file;
  if (const uint32_t error =
          file.Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreate::kOpenExisting);
      error != 0) {
    return error;
  }
  uint64_t size = 0;
  if (const uint32_t error = file.GetSize(size); error != 0) return error;
  if (size > 16u * 1024u * 1024u) return msgtable::kErrorBadExeFormat;
  std::string bytes(static_cast<size_t>(size), '\0');
  uint32_t done = 0;
  while (done < size) {
    uint32_t read = 0;
    if (const uint32_t error =
            file.Read(bytes.data() + done, static_cast<uint32_t>(size - done), read);
        error != 0) {
      return error;
    }
    if (read == 0) break;
    done += read;
  }
  bytes.resize(done);
  if (!msgtable::LooksLikePlainTable(
          std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()))) {
    return msgtable::kErrorBadExeFormat;
  }
  return msgtable::ParsePlainTable(bytes, messages);
}

// FormatMessageW into a buffer the system allocates; 0 or the error number.
uint32_t FormatAllocated(DWORD flags, HMODULE module, uint32_t id, std::u16string& text) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, module, id, 0,
                                        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0) {
    const uint32_t error = LastError();
    if (buffer != nullptr) ::LocalFree(buffer);
    return error != 0 ? error : msgtable::kErrorMessageNotFound;
  }
  LocalMemory owned(buffer);
  text = FromWide(buffer, length);
  return 0;
}

}  // namespace

MessageModule::MessageModule() = default;
MessageModule::~MessageModule() = default;
MessageModule::MessageModule(MessageModule&& other) noexcept = default;
MessageModule& MessageModule::operator=(MessageModule&& other) noexcept = default;

uint32_t MessageModule::Load(std::u16string_view path) {
  Close();
  auto impl = std::make_unique<Impl>();
  const std::wstring wide = ToWide(path);
  impl->module.Reset(::LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!impl->module) {
    const uint32_t error = LastError();
    if (error != ERROR_BAD_EXE_FORMAT) return error;
    if (const uint32_t plain = LoadPlainTable(path, impl->messages); plain != 0) return plain;
  }
  impl_ = std::move(impl);
  return 0;
}

bool MessageModule::IsLoaded() const { return impl_ != nullptr; }

void MessageModule::Close() { impl_.reset(); }

uint32_t MessageModule::Format(uint32_t id, std::u16string& text) const {
  text.clear();
  if (!impl_) return ERROR_INVALID_HANDLE;
  if (!impl_->module) {
    const auto it = impl_->messages.find(id);
    if (it == impl_->messages.end()) return msgtable::kErrorMessageNotFound;
    return msgtable::ApplyEscapes(it->second, text);
  }
  return FormatAllocated(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                         impl_->module.Get(), id, text);
}

uint32_t FormatSystemMessage(uint32_t code, bool ignore_inserts, std::u16string& text) {
  text.clear();
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM;
  if (ignore_inserts) flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
  return FormatAllocated(flags, nullptr, code, text);
}

struct PublisherMetadata::Impl {
  using OpenFn = EVT_HANDLE(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR, LCID, DWORD);
  using PropertyFn = BOOL(WINAPI*)(EVT_HANDLE, EVT_PUBLISHER_METADATA_PROPERTY_ID, DWORD, DWORD,
                                   PEVT_VARIANT, PDWORD);
  using FormatFn = BOOL(WINAPI*)(EVT_HANDLE, EVT_HANDLE, DWORD, DWORD, PEVT_VARIANT, DWORD, DWORD,
                                 LPWSTR, PDWORD);
  using CloseFn = BOOL(WINAPI*)(EVT_HANDLE);

  win32::Module library;
  OpenFn open = nullptr;
  PropertyFn property = nullptr;
  FormatFn format = nullptr;
  CloseFn close = nullptr;
};

namespace {

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  // Function pointers from GetProcAddress are cast to their real signature.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

PublisherMetadata::PublisherMetadata() : impl_(std::make_unique<Impl>()) {
  impl_->library.Reset(::LoadLibraryW(L"wevtapi.dll"));
  if (!impl_->library) return;
  const HMODULE m = impl_->library.Get();
  impl_->open = Resolve<Impl::OpenFn>(m, "EvtOpenPublisherMetadata");
  impl_->property = Resolve<Impl::PropertyFn>(m, "EvtGetPublisherMetadataProperty");
  impl_->format = Resolve<Impl::FormatFn>(m, "EvtFormatMessage");
  impl_->close = Resolve<Impl::CloseFn>(m, "EvtClose");
}

PublisherMetadata::~PublisherMetadata() = default;

bool PublisherMetadata::Available() const {
  return impl_->library && impl_->open != nullptr && impl_->property != nullptr &&
         impl_->format != nullptr && impl_->close != nullptr;
}

std::u16string PublisherMetadata::FormatMessageId(std::u16string_view publisher,
                                                  uint32_t message_id) const {
  if (!Available()) return {};
  const std::wstring name = ToWide(publisher);
  EVT_HANDLE handle = impl_->open(nullptr, name.c_str(), nullptr, 0x400, 0);
  if (handle == nullptr) return {};
  std::u16string text;
  DWORD used = 0;
  impl_->format(handle, nullptr, message_id, 0, nullptr, EvtFormatMessageId, 0, nullptr, &used);
  if (used != 0) {
    std::vector<wchar_t> buffer(used);
    if (impl_->format(handle, nullptr, message_id, 0, nullptr, EvtFormatMessageId, used,
                      buffer.data(), &used) &&
        used != 0) {
      text = FromWide(buffer.data(), used - 1);
    }
  }
  impl_->close(handle);
  return text;
}

}  // namespace cvn::platform
