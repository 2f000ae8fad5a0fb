#include "platform/message_module.h"

#include <map>
#include <vector>

#include "base/win_errors.h"
#include "platform/file.h"
#include "platform/message_table.h"

namespace cvn::platform {

namespace {

// A file read piece by piece, so a large executable is not read whole.
class FileSource : public msgtable::ByteSource {
 public:
  FileSource(File& file, uint64_t size) : file_(file), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool Read(uint64_t offset, void* out, size_t size) const override {
    if (offset > size_ || size > size_ - offset) return false;
    if (file_.Seek(static_cast<int64_t>(offset), SeekFrom::kBegin) != 0) return false;
    auto* p = static_cast<uint8_t*>(out);
    while (size > 0) {
      uint32_t read = 0;
      const uint32_t chunk = size > 0x10000000u ? 0x10000000u : static_cast<uint32_t>(size);
      if (file_.Read(p, chunk, read) != 0 || read == 0) return false;
      p += read;
      size -= read;
    }
    return true;
  }

 private:
  File& file_;
  uint64_t size_;
};

// The English resource file that holds the texts of a language-neutral
// module: <folder>/en-US/<name>.mui.
std::u16string MuiPath(std::u16string_view path) {
  const size_t slash = path.find_last_of(u"/\\");
  const std::u16string_view folder =
      slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash + 1);
  const std::u16string_view name =
      slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  return std::u16string(folder) + u"en-US/" + std::u16string(name) + u".mui";
}

constexpr uint64_t kMaxPlainTableSize = 16u * 1024u * 1024u;
constexpr std::u16string_view kSidecarSuffix = u".msgtable";

}  // namespace

struct MessageModule::Impl {
  // Either a message-table blob of a PE image, or the messages of a plain
  // table file; table_error is what formatting reports when the image had no
  // usable table.
  bool plain = false;
  std::vector<uint8_t> table;
  uint32_t table_error = 0;
  std::map<uint32_t, std::u16string> messages;
};

namespace {

// top_level: the file the caller named, which may lead to a resource file or
// a table next to it; those are read without looking further.
uint32_t LoadFile(std::u16string_view path, MessageModule::Impl& impl, bool top_level);

uint32_t LoadPe(File& file, uint64_t size, std::u16string_view path, MessageModule::Impl& impl,
                bool top_level) {
  FileSource source(file, size);
  const uint32_t error = msgtable::ReadPeMessageTable(source, impl.table);
  if (error == msgtable::kErrorBadExeFormat) return error;
  impl.table_error = error;
  if (top_level && error >= msgtable::kErrorResourceDataNotFound &&
      error <= msgtable::kErrorResourceLangNotFound) {
    MessageModule::Impl mui;
    const std::u16string mui_path = MuiPath(path);
    if (FileExists(mui_path) && LoadFile(mui_path, mui, false) == 0 && !mui.plain &&
        mui.table_error == 0) {
      impl.table = std::move(mui.table);
      impl.table_error = 0;
    }
  }
  return 0;
}

uint32_t LoadFile(std::u16string_view path, MessageModule::Impl& impl, bool top_level) {
  File file;
  if (const uint32_t error =
          file.Open(path, FileAccess::kRead, FileShare::kReadWrite, FileCreate::kOpenExisting);
      error != 0) {
    return error;
  }
  uint64_t size = 0;
  if (const uint32_t error = file.GetSize(size); error != 0) return error;
  uint8_t head[64] = {};
  uint32_t got = 0;
  if (const uint32_t error = file.Read(head, sizeof head, got); error != 0) return error;
  const std::span<const uint8_t> start(head, got);
  if (msgtable::LooksLikePeImage(start)) return LoadPe(file, size, path, impl, top_level);
  if (msgtable::LooksLikePlainTable(start)) {
    if (size > kMaxPlainTableSize) return msgtable::kErrorInvalidData;
    std::string bytes(static_cast<size_t>(size), '\0');
    FileSource source(file, size);
    if (!source.Read(0, bytes.data(), bytes.size())) return err::kAccessDenied;
    impl.plain = true;
    return msgtable::ParsePlainTable(bytes, impl.messages);
  }
  // An executable of this system carries no resources; its message table is
  // the plain table file next to it, "<executable>.msgtable".
  if (top_level) {
    const std::u16string sidecar = std::u16string(path) + std::u16string(kSidecarSuffix);
    if (FileExists(sidecar)) {
      MessageModule::Impl table;
      if (LoadFile(sidecar, table, false) == 0 && table.plain) {
        impl = std::move(table);
        return 0;
      }
    }
  }
  return msgtable::kErrorBadExeFormat;
}

}  // namespace

MessageModule::MessageModule() = default;
MessageModule::~MessageModule() = default;
MessageModule::MessageModule(MessageModule&& other) noexcept = default;
MessageModule& MessageModule::operator=(MessageModule&& other) noexcept = default;

uint32_t MessageModule::Load(std::u16string_view path) {
  Close();
  auto impl = std::make_unique<Impl>();
  if (const uint32_t error = LoadFile(path, *impl, true); error != 0) return error;
  impl_ = std::move(impl);
  return 0;
}

bool MessageModule::IsLoaded() const { return impl_ != nullptr; }

void MessageModule::Close() { impl_.reset(); }

uint32_t MessageModule::Format(uint32_t id, std::u16string& text) const {
  text.clear();
  if (!impl_) return err::kInvalidHandle;
  std::u16string raw;
  if (impl_->plain) {
    const auto it = impl_->messages.find(id);
    if (it == impl_->messages.end()) return msgtable::kErrorMessageNotFound;
    raw = it->second;
  } else {
    if (impl_->table_error != 0) return impl_->table_error;
    if (const uint32_t error = msgtable::FindMessage(impl_->table, id, raw); error != 0) {
      return error;
    }
  }
  return msgtable::ApplyEscapes(raw, text);
}

struct PublisherMetadata::Impl {};

PublisherMetadata::PublisherMetadata() = default;
PublisherMetadata::~PublisherMetadata() = default;
bool PublisherMetadata::Available() const { return false; }
std::u16string PublisherMetadata::FormatMessageId(std::u16string_view, uint32_t) const {
  return {};
}

}  // namespace cvn::platform
