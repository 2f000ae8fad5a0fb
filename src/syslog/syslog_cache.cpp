#include "syslog/syslog_cache.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace cvn {

namespace {

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads exactly size bytes at position: 0, 38 when the file ends first, or
// the error.
uint32_t ReadAt(platform::File& file, uint64_t position, void* buffer, uint32_t size) {
  if (const uint32_t e = file.Seek(static_cast<int64_t>(position), platform::SeekFrom::kBegin)) {
    return e;
  }
  uint32_t done = 0;
  while (done < size) {
    uint32_t read = 0;
    if (const uint32_t e = file.Read(static_cast<uint8_t*>(buffer) + done, size - done, read)) {
      return e;
    }
    if (read == 0) return CSyslogCache::kErrorHandleEof;
    done += read;
  }
  return 0;
}

uint32_t WriteAt(platform::File& file, uint64_t position, const void* data, uint32_t size) {
  if (const uint32_t e = file.Seek(static_cast<int64_t>(position), platform::SeekFrom::kBegin)) {
    return e;
  }
  return file.Write(data, size);
}

// The first 8 bytes of a file of the current layout.
constexpr uint8_t kSignature[8] = {0, 0, 0, 0, 'C', 'V', 'S', 'C'};
// The bytes an upgrade gathers before each write.
constexpr size_t kCopyBlock = 1u << 20;

uint32_t GetLength(const uint8_t* p, uint32_t size) {
  return size == 2 ? static_cast<uint32_t>(p[0] | p[1] << 8) : GetU32(p);
}

void PutLength(std::string& out, uint32_t length, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) out.push_back(static_cast<char>(length >> (8 * i)));
}

}  // namespace

const CSyslogCache::Layout CSyslogCache::kCurrent{8, 16, 4, kMaxMessageBytes};
const CSyslogCache::Layout CSyslogCache::kEarlier{0, 8, 2, 0xFFFF};

CSyslogCache::CSyslogCache(std::u16string path, Reporter report)
    : path_(std::move(path)), report_(std::move(report)) {}

void CSyslogCache::Report(const std::string& line) const {
  if (report_) report_(line);
}

void CSyslogCache::ReportFormat(const char* format, ...) const {
  char line[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n >= 0) Report(std::string(line, std::min<size_t>(n, sizeof line - 1)));
}

uint32_t CSyslogCache::OpenFile(platform::FileCreate create) {
  return file_.Open(path_, platform::FileAccess::kReadWrite, platform::FileShare::kRead, create);
}

uint32_t CSyslogCache::RecordLength(uint32_t position, uint32_t* length) {
  uint8_t prefix[4];
  if (const uint32_t e = ReadAt(file_, position, prefix, layout_->length_size)) return e;
  *length = GetLength(prefix, layout_->length_size);
  return 0;
}

bool CSyslogCache::OpenExisting() {
  Close();
  if (OpenFile(platform::FileCreate::kOpenExisting) != 0) return false;
  if (!Check()) {
    Delete();
    return false;
  }
  return true;
}

bool CSyslogCache::ReadHeader(uint64_t size, uint32_t& offset, uint32_t& count) {
  uint8_t header[16] = {};
  const uint32_t head = static_cast<uint32_t>(std::min<uint64_t>(size, sizeof header));
  if (head != 0 && ReadAt(file_, 0, header, head) != 0) {
    Report("The syslog cache file's header cannot be read; the file was removed.");
    return false;
  }
  const bool current = head >= 8 && std::equal(kSignature, kSignature + 8, header);
  layout_ = current ? &kCurrent : &kEarlier;
  if (size < layout_->first_record) {
    ReportFormat("The syslog cache file holds %u bytes, less than its header; it was removed.",
                 static_cast<unsigned>(size));
    return false;
  }
  offset = GetU32(header + layout_->fields);
  count = GetU32(header + layout_->fields + 4);
  return true;
}

bool CSyslogCache::Check() {
  uint64_t size = 0;
  if (file_.GetSize(size) != 0) size = 0;
  uint32_t header_offset = 0;
  uint32_t header_count = 0;
  if (!ReadHeader(size, header_offset, header_count)) return false;
  const uint32_t width = layout_->length_size;
  // Offsets are 32-bit: whatever lies beyond 4 GiB cannot be addressed.
  const uint64_t usable = size > 0xFFFFFFFFull ? 0xFFFFFFFFull : size;

  // Walk the records from the first one, reading the file in blocks.
  std::vector<uint8_t> block(65536 + 4);
  uint64_t block_start = 0;
  uint32_t block_fill = 0;
  auto length_at = [&](uint64_t position, uint32_t* length) -> bool {
    if (position < block_start || position + width > block_start + block_fill) {
      const uint64_t left = usable - position;
      block_fill = static_cast<uint32_t>(left < block.size() ? left : block.size());
      block_start = position;
      if (ReadAt(file_, position, block.data(), block_fill) != 0) return false;
    }
    *length = GetLength(block.data() + (position - block_start), width);
    return true;
  };

  uint64_t position = layout_->first_record;
  bool offset_on_record = header_offset == layout_->first_record;
  uint32_t records_from_offset = 0;
  uint32_t records_total = 0;
  while (position + width <= usable) {
    uint32_t length = 0;
    if (!length_at(position, &length)) break;
    if (position + width + length > usable) break;
    if (offset_on_record) ++records_from_offset;
    ++records_total;
    position += width + length;
    if (position == header_offset) offset_on_record = true;
  }
  end_ = static_cast<uint32_t>(position);

  bool repaired = false;
  if (!offset_on_record) {
    ReportFormat(
        "The syslog cache file's read offset %u is not the start of a record; all %u records of "
        "the file are sent again.",
        header_offset, records_total);
    read_offset_ = layout_->first_record;
    count_ = records_total;
    repaired = true;
  } else {
    read_offset_ = header_offset;
    count_ = records_from_offset;
  }
  if (end_ < size) {
    ReportFormat(
        "The syslog cache file ends in %llu bytes after offset %u that hold no complete record; "
        "they were dropped.",
        static_cast<unsigned long long>(size - end_), end_);
    if (file_.Seek(end_, platform::SeekFrom::kBegin) != 0 || file_.Truncate() != 0) return false;
    repaired = true;
  }
  if (offset_on_record && header_count != count_) {
    ReportFormat(
        "The syslog cache file's header counts %u records, but %u were found; the records found "
        "are sent.",
        header_count, count_);
    repaired = true;
  }
  oldest_sizes_.clear();
  if (count_ == 0) return false;
  if (repaired && WriteHeader() != 0) return false;
  return true;
}

uint32_t CSyslogCache::Create() {
  Close();
  if (const uint32_t e = OpenFile(platform::FileCreate::kCreateAlways)) return e;
  layout_ = &kCurrent;
  read_offset_ = kCurrent.first_record;
  count_ = 0;
  end_ = kCurrent.first_record;
  oldest_sizes_.clear();
  uint32_t e = WriteAt(file_, 0, kSignature, sizeof kSignature);
  if (e == 0) e = WriteHeader();
  if (e != 0) {
    Delete();
    return e;
  }
  return 0;
}

uint32_t CSyslogCache::WriteHeader(bool sync) {
  uint8_t fields[8];
  PutU32(fields, read_offset_);
  PutU32(fields + 4, count_);
  if (const uint32_t e = WriteAt(file_, layout_->fields, fields, sizeof fields)) return e;
  return sync ? file_.Sync() : 0;
}

uint32_t CSyslogCache::Append(std::span<const std::string> messages) {
  size_t longest = 0;
  for (const std::string& message : messages) longest = std::max(longest, message.size());
  if (longest > kMaxMessageBytes) return kErrorFileTooLarge;
  if (longest > layout_->max_length) {
    if (const uint32_t e = Upgrade()) return e;
  }
  std::string records;
  for (const std::string& message : messages) {
    PutLength(records, static_cast<uint32_t>(message.size()), layout_->length_size);
    records += message;
  }
  if (static_cast<uint64_t>(end_) + records.size() > 0xFFFFFFFFull) return kErrorFileTooLarge;

  const uint32_t count_before = count_;
  uint32_t error = WriteAt(file_, end_, records.data(), static_cast<uint32_t>(records.size()));
  if (error == 0) {
    count_ += static_cast<uint32_t>(messages.size());
    error = WriteHeader(/*sync=*/false);
    if (error == 0) error = file_.Sync();
  }
  if (error != 0) {
    // Cut partly written records off again, so the next append starts on a
    // record boundary, and put the count back (best effort: a header left
    // ahead of its records is repaired by the next check of the file).
    count_ = count_before;
    if (file_.Seek(end_, platform::SeekFrom::kBegin) == 0) file_.Truncate();
    WriteHeader(/*sync=*/false);
    return error;
  }
  end_ += static_cast<uint32_t>(records.size());
  return 0;
}

uint32_t CSyslogCache::Append(std::string_view message) {
  const std::string one(message);
  return Append(std::span<const std::string>(&one, 1));
}

uint32_t CSyslogCache::ReadOldest(size_t max_count, size_t max_bytes,
                                  std::vector<std::string>& messages) {
  oldest_sizes_.clear();
  messages.clear();
  const uint32_t width = layout_->length_size;
  uint32_t position = read_offset_;
  size_t bytes = 0;
  while (messages.size() < std::min<size_t>(max_count, count_) && position + width <= end_) {
    uint32_t length = 0;
    if (const uint32_t e = RecordLength(position, &length)) return messages.empty() ? e : 0;
    if (static_cast<uint64_t>(position) + width + length > end_) break;
    if (!messages.empty() && bytes + length > max_bytes) break;
    std::string message(length, '\0');
    if (length != 0) {
      if (const uint32_t e = ReadAt(file_, position + width, message.data(), length)) {
        return messages.empty() ? e : 0;
      }
    }
    messages.push_back(std::move(message));
    oldest_sizes_.push_back(width + length);
    position += width + length;
    bytes += length;
  }
  return messages.empty() ? kErrorHandleEof : 0;
}

uint32_t CSyslogCache::ReadOldest(std::string& message) {
  std::vector<std::string> messages;
  if (const uint32_t e = ReadOldest(1, 0, messages)) return e;
  message = std::move(messages.front());
  return 0;
}

uint32_t CSyslogCache::RemoveOldest(size_t n) {
  if (n == 0) return 0;
  if (n > oldest_sizes_.size() || n > count_) return kErrorHandleEof;
  for (size_t i = 0; i < n; ++i) read_offset_ += oldest_sizes_[i];
  oldest_sizes_.erase(oldest_sizes_.begin(), oldest_sizes_.begin() + static_cast<ptrdiff_t>(n));
  count_ -= static_cast<uint32_t>(n);
  return WriteHeader();
}

uint32_t CSyslogCache::CopyRecords(platform::File& to, uint32_t& end) {
  const uint32_t width = layout_->length_size;
  std::string out;
  for (uint32_t position = read_offset_; position < end_;) {
    uint32_t length = 0;
    if (const uint32_t e = RecordLength(position, &length)) return e;
    PutLength(out, length, kCurrent.length_size);
    const size_t at = out.size();
    out.resize(at + length);
    if (length != 0) {
      if (const uint32_t e = ReadAt(file_, position + width, out.data() + at, length)) return e;
    }
    position += width + length;
    if (out.size() < kCopyBlock && position < end_) continue;
    if (static_cast<uint64_t>(end) + out.size() > 0xFFFFFFFFull) return kErrorFileTooLarge;
    if (const uint32_t e = WriteAt(to, end, out.data(), static_cast<uint32_t>(out.size()))) {
      return e;
    }
    end += static_cast<uint32_t>(out.size());
    out.clear();
  }
  return 0;
}

uint32_t CSyslogCache::Upgrade() {
  const std::u16string temp = path_ + u".new";
  platform::File to;
  uint32_t e = to.Open(temp, platform::FileAccess::kReadWrite, platform::FileShare::kNone,
                       platform::FileCreate::kCreateAlways);
  uint32_t end = kCurrent.first_record;
  uint8_t header[16];
  std::copy(kSignature, kSignature + 8, header);
  PutU32(header + 8, kCurrent.first_record);
  PutU32(header + 12, count_);
  if (e == 0) e = WriteAt(to, 0, header, sizeof header);
  if (e == 0) e = CopyRecords(to, end);
  if (e == 0) e = to.Sync();
  to.Close();
  // The file must be closed to be replaced on every system.
  if (e == 0) file_.Close();
  if (e == 0) e = platform::ReplaceFile(temp, path_);
  if (e != 0) {
    platform::RemoveFile(temp);
    ReportFormat(
        "The syslog cache file cannot take a message over 65535 bytes: its records "
        "could not be copied into the current layout (error %u).",
        e);
    if (!file_.IsOpen()) OpenFile(platform::FileCreate::kOpenExisting);
    return e;
  }
  if (const uint32_t r = OpenFile(platform::FileCreate::kOpenExisting)) {
    ReportFormat("The syslog cache file cannot be opened again after its upgrade (error %u).", r);
    return r;
  }
  // The records the last ReadOldest returned have grown by their longer lengths.
  for (uint32_t& size : oldest_sizes_) size += kCurrent.length_size - layout_->length_size;
  layout_ = &kCurrent;
  read_offset_ = kCurrent.first_record;
  end_ = end;
  return 0;
}

void CSyslogCache::Delete() {
  file_.Close();
  platform::RemoveFile(path_);
  read_offset_ = 0;
  count_ = 0;
  end_ = 0;
  oldest_sizes_.clear();
}

void CSyslogCache::Close() {
  file_.Close();
  oldest_sizes_.clear();
}

}  // namespace cvn
