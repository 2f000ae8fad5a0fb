// Event logs as files in the classic .evt layout.
//
// A file is a 48-byte header followed by a circular record area that runs to
// the end of the file. The header gives the offset of the oldest record
// (StartOffset), of the end-of-file record that follows the newest one
// (EndOffset), the number the next record gets (CurrentRecordNumber) and the
// oldest record's number (OldestRecordNumber, 0 when empty). A record that
// reaches the end of the file continues right after the header. Each record
// ends with a copy of its length, so the log can be walked backwards from
// EndOffset as well as forwards from StartOffset.
//
// The file grows with its records up to MaxSize; after that a new record
// overwrites the oldest ones. Writers hold an exclusive lock on <file>.lock;
// readers hold a shared one while they look at the file. Clearing writes a
// fresh file and renames it into place, so a handle opened before (which
// keeps the old file open) sees another file at the path and fails with 1503.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/posix/change_watcher.h"
#include "platform/posix/event_log_scan.h"
#include "platform/posix/machine_root.h"
#include "platform/registry.h"

namespace cvn::platform {
namespace {

constexpr uint32_t kHeaderSize = 0x30;
constexpr uint32_t kEofSize = 0x28;
constexpr uint32_t kDefaultMaxSize = 20 * 1024 * 1024;
constexpr uint32_t kMinMaxSize = 64 * 1024;
constexpr uint32_t kMinRecordSize = kEventLogRecordFixedSize + 4;
constexpr uint32_t kFlagDirty = 0x1;
constexpr uint32_t kFlagWrap = 0x2;
constexpr uint32_t kLogFileFull = 1502;
constexpr uint32_t kEofMarks[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};

struct FileHeader {
  uint32_t HeaderSize;
  uint32_t Signature;
  uint32_t MajorVersion;
  uint32_t MinorVersion;
  uint32_t StartOffset;
  uint32_t EndOffset;
  uint32_t CurrentRecordNumber;
  uint32_t OldestRecordNumber;
  uint32_t MaxSize;
  uint32_t Flags;
  uint32_t Retention;
  uint32_t EndHeaderSize;
};
static_assert(sizeof(FileHeader) == kHeaderSize);

struct EofRecord {
  uint32_t RecordSizeBeginning;
  uint32_t Marks[4];
  uint32_t BeginRecord;
  uint32_t EndRecord;
  uint32_t CurrentRecordNumber;
  uint32_t OldestRecordNumber;
  uint32_t RecordSizeEnd;
};
static_assert(sizeof(EofRecord) == kEofSize);

uint32_t Errno() { return posix::ErrnoToWin32(errno); }

uint32_t PRead(int fd, void* buffer, size_t size, uint64_t offset) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Errno();
    if (n == 0) return kEventLogFileCorrupt;  // shorter than its header says
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return err::kSuccess;
}

uint32_t PWrite(int fd, const void* data, size_t size, uint64_t offset) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Errno();
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return err::kSuccess;
}

std::string FileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Where a log lives and how large it may grow. With require_key, a log whose
// key is missing gives 2; otherwise the defaults apply. own_file tells
// whether the file is the default one (not named by the key's File value).
uint32_t ResolveLog(std::u16string_view log_name, bool require_key, std::string& path,
                    uint32_t& max_size, bool* own_file = nullptr) {
  max_size = kDefaultMaxSize;
  std::u16string file;
  RegistryKey key;
  std::u16string key_path(kEventLogKey);
  key_path += u'\\';
  key_path += log_name;
  const uint32_t result = key.Open(RegistryRoot::kLocalMachine, key_path);
  if (result == err::kSuccess) {
    uint32_t size = 0;
    if (key.QueryDword(u"MaxSize", size) == err::kSuccess && size != 0) {
      max_size = std::max(size, kMinMaxSize);
    }
    key.QueryExpandedString(u"File", file);
  } else if (require_key || result != err::kFileNotFound) {
    return result;
  }
  if (own_file != nullptr) *own_file = file.empty();
  if (file.empty()) {
    std::u16string name(log_name);
    for (char16_t& c : name) {
      if (c == u'/' || c == u'\\' || c < 0x20) c = u'_';
    }
    file = ExpandEnvironmentText(u"%SystemRoot%\\System32\\config\\") + name + u".evt";
  }
  path = posix::NativePath(file);
  return err::kSuccess;
}

// The lock that orders writers and readers of one log file.
class FileLock {
 public:
  // Writers create the lock file. A reader goes on without the lock when
  // there is none (no writer has touched the file: a saved log) or when it
  // may not open it (a reader that is not the writers' user). A lock that
  // another process keeps for the whole wait is an error, never a hang.
  uint32_t Take(const std::string& log_path, bool exclusive) {
    const uint32_t result = lock_.Take(log_path + ".lock", exclusive, exclusive);
    if (!exclusive && (result == err::kFileNotFound || result == err::kAccessDenied)) {
      return err::kSuccess;
    }
    return result;
  }

 private:
  posix::FileLock lock_;
};

FileHeader EmptyHeader(uint32_t max_size) {
  FileHeader h{};
  h.HeaderSize = kHeaderSize;
  h.Signature = kEventLogSignature;
  h.MajorVersion = 1;
  h.MinorVersion = 1;
  h.StartOffset = kHeaderSize;
  h.EndOffset = kHeaderSize;
  h.CurrentRecordNumber = 1;
  h.OldestRecordNumber = 0;
  h.MaxSize = max_size;
  h.Flags = 0;
  h.Retention = 0;
  h.EndHeaderSize = kHeaderSize;
  return h;
}

EofRecord MakeEof(const FileHeader& h) {
  EofRecord eof{};
  eof.RecordSizeBeginning = kEofSize;
  std::memcpy(eof.Marks, kEofMarks, sizeof kEofMarks);
  eof.BeginRecord = h.StartOffset;
  eof.EndRecord = h.EndOffset;
  eof.CurrentRecordNumber = h.CurrentRecordNumber;
  eof.OldestRecordNumber = h.OldestRecordNumber;
  eof.RecordSizeEnd = kEofSize;
  return eof;
}

// Writes an empty log to path (through a temporary file renamed into place).
uint32_t WriteEmptyLog(const std::string& path, uint32_t max_size) {
  const FileHeader h = EmptyHeader(max_size);
  const EofRecord eof = MakeEof(h);
  char bytes[kHeaderSize + kEofSize];
  std::memcpy(bytes, &h, kHeaderSize);
  std::memcpy(bytes + kHeaderSize, &eof, kEofSize);
  const std::string tmp = path + ".new";
  const int fd = posix::OpenDataFile(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return Errno();
  uint32_t result = PWrite(fd, bytes, sizeof bytes, 0);
  if (result == err::kSuccess && fsync(fd) != 0) result = Errno();
  close(fd);
  if (result == err::kSuccess && rename(tmp.c_str(), path.c_str()) != 0) result = Errno();
  if (result != err::kSuccess) unlink(tmp.c_str());
  return result;
}

// Creates the folder and an empty log when the file is missing or empty.
uint32_t EnsureLogFile(const std::string& path, uint32_t max_size) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return err::kSuccess;
  uint32_t result = posix::MakeNativeFolders(FolderOf(path));
  if (result != err::kSuccess && result != err::kAlreadyExists) return result;
  FileLock lock;
  result = lock.Take(path, true);
  if (result != err::kSuccess) return result;
  if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return err::kSuccess;
  return WriteEmptyLog(path, max_size);
}

// Where the end-of-file record of a dirty file says the records are. Finding
// it means reading the whole file (up to 4 GiB), so each answer is kept for
// the version of the file it was found in (device, inode, size, modification
// and change times) and reused until the file changes.
struct EofPositions {
  bool found = false;
  uint64_t at = 0;  // where the record was found
  uint32_t start = 0;
  uint32_t end = 0;
  uint32_t current = 0;
  uint32_t oldest = 0;
};

struct FileVersion {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};

  explicit FileVersion(const struct stat& st)
      : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim), ctime(st.st_ctim) {}
  bool operator==(const FileVersion& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

class EofScanCache {
 public:
  bool Find(const FileVersion& version, EofPositions& positions) {
    std::lock_guard lock(mu_);
    for (const auto& [v, p] : entries_) {
      if (v == version) {
        positions = p;
        return true;
      }
    }
    return false;
  }
  void Store(const FileVersion& version, const EofPositions& positions) {
    std::lock_guard lock(mu_);
    std::erase_if(entries_, [&](const auto& entry) {
      return entry.first.dev == version.dev && entry.first.ino == version.ino;
    });
    if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
    entries_.emplace_back(version, positions);
  }

 private:
  static constexpr size_t kMaxEntries = 16;
  std::mutex mu_;
  std::vector<std::pair<FileVersion, EofPositions>> entries_;  // oldest first
};

EofScanCache& ScanCache() {
  static EofScanCache cache;
  return cache;
}

std::atomic<uint64_t> g_eof_scans{0};

// One look at an open log file: its header and the circular area.
class LogFile {
 public:
  explicit LogFile(int fd) : fd_(fd) {}

  // Reads and checks the header. A header marked dirty (a file saved while
  // its log was being written) takes its positions from the end-of-file record.
  uint32_t Load() {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return Errno();
    size_ = static_cast<uint64_t>(st.st_size);
    if (size_ < kHeaderSize + kEofSize || size_ > 0xFFFFFFFFu) return kEventLogFileCorrupt;
    uint32_t result = PRead(fd_, &h_, kHeaderSize, 0);
    if (result != err::kSuccess) return result;
    if (h_.HeaderSize != kHeaderSize || h_.EndHeaderSize != kHeaderSize ||
        h_.Signature != kEventLogSignature) {
      return kEventLogFileCorrupt;
    }
    if ((h_.Flags & kFlagDirty) != 0) RecoverFromEof(st);
    if (!InArea(h_.StartOffset) || !InArea(h_.EndOffset)) return kEventLogFileCorrupt;
    if (h_.OldestRecordNumber != 0 && h_.CurrentRecordNumber < h_.OldestRecordNumber) {
      return kEventLogFileCorrupt;
    }
    if (Count() == 0 && h_.StartOffset != h_.EndOffset) return kEventLogFileCorrupt;
    if (Count() != 0 && Count() > Used() / kMinRecordSize) return kEventLogFileCorrupt;
    return err::kSuccess;
  }

  const FileHeader& header() const { return h_; }
  FileHeader& header() { return h_; }
  uint64_t size() const { return size_; }
  uint32_t Area() const { return static_cast<uint32_t>(size_ - kHeaderSize); }

  uint32_t Count() const {
    return h_.OldestRecordNumber == 0 ? 0 : h_.CurrentRecordNumber - h_.OldestRecordNumber;
  }
  uint32_t Newest() const { return h_.CurrentRecordNumber - 1; }
  // Bytes between the oldest record and the end-of-file record.
  uint32_t Used() const { return Distance(h_.StartOffset, h_.EndOffset); }
  uint32_t Distance(uint32_t from, uint32_t to) const {
    return to >= from ? to - from : Area() - (from - to);
  }
  bool InArea(uint32_t offset) const { return offset >= kHeaderSize && offset < size_; }

  uint32_t Advance(uint32_t offset, uint32_t n) const {
    const uint64_t rel = (static_cast<uint64_t>(offset - kHeaderSize) + n) % Area();
    return static_cast<uint32_t>(rel + kHeaderSize);
  }
  uint32_t Back(uint32_t offset, uint32_t n) const {
    const uint64_t area = Area();
    const uint64_t rel = (static_cast<uint64_t>(offset - kHeaderSize) + area - n % area) % area;
    return static_cast<uint32_t>(rel + kHeaderSize);
  }

  // Reads n bytes of the circular area starting at offset.
  uint32_t ReadArea(uint32_t offset, void* buffer, uint32_t n) const {
    const uint32_t first = std::min<uint64_t>(n, size_ - offset);
    uint32_t result = ReadCached(offset, buffer, first);
    if (result == err::kSuccess && first < n) {
      result = ReadCached(kHeaderSize, static_cast<char*>(buffer) + first, n - first);
    }
    return result;
  }
  uint32_t WriteArea(uint32_t offset, const void* data, uint32_t n) {
    DropWindow();
    const uint32_t first = std::min<uint64_t>(n, size_ - offset);
    uint32_t result = PWrite(fd_, data, first, offset);
    if (result == err::kSuccess && first < n) {
      result = PWrite(fd_, static_cast<const char*>(data) + first, n - first, kHeaderSize);
    }
    return result;
  }

  // Checks the record at offset: signature, a length that stays within the
  // records in use, and the copy of the length at its end.
  uint32_t RecordAt(uint32_t offset, EventLogRecordHeader& record) const {
    if (!InArea(offset)) return kEventLogFileCorrupt;
    uint32_t result = ReadArea(offset, &record, sizeof record);
    if (result != err::kSuccess) return result;
    if (record.Reserved != kEventLogSignature || record.Length < kMinRecordSize ||
        record.Length > Distance(offset, h_.EndOffset) || offset == h_.EndOffset) {
      return kEventLogFileCorrupt;
    }
    uint32_t copy = 0;
    result = ReadArea(Advance(offset, record.Length - 4), &copy, 4);
    if (result != err::kSuccess) return result;
    return copy == record.Length ? err::kSuccess : kEventLogFileCorrupt;
  }

  // The offset of the record before the one at offset.
  uint32_t PreviousRecord(uint32_t offset, uint32_t& previous) const {
    uint32_t length = 0;
    const uint32_t result = ReadArea(Back(offset, 4), &length, 4);
    if (result != err::kSuccess) return result;
    if (length < kMinRecordSize || length > Distance(h_.StartOffset, offset))
      return kEventLogFileCorrupt;
    previous = Back(offset, length);
    return err::kSuccess;
  }

  // A record known to be at an offset, from which a look-up may walk.
  struct Landmark {
    uint32_t number = 0;
    uint32_t offset = 0;
  };

  // Finds the record with the given number (between oldest and newest),
  // walking from the nearest of the two ends and the landmark (where the
  // handle read last; checked before use), so that reading on from near the
  // last read costs a few steps however long the log is.
  uint32_t Locate(uint32_t number, uint32_t& offset, const Landmark* near = nullptr) const {
    EventLogRecordHeader record{};
    Landmark from{h_.OldestRecordNumber, h_.StartOffset};
    uint32_t steps = number - h_.OldestRecordNumber;
    bool backwards = false;
    if (Newest() - number < steps) {
      from = Landmark{Newest() + 1, h_.EndOffset};
      steps = Newest() - number + 1;
      backwards = true;
    }
    if (near != nullptr && near->number >= h_.OldestRecordNumber && near->number <= Newest() &&
        RecordAt(near->offset, record) == err::kSuccess && record.RecordNumber == near->number) {
      const bool behind = number < near->number;
      const uint32_t distance = behind ? near->number - number : number - near->number;
      if (distance < steps) {
        from = *near;
        steps = distance;
        backwards = behind;
      }
    }
    offset = from.offset;
    for (uint32_t n = 0; n < steps; ++n) {
      uint32_t result = err::kSuccess;
      if (backwards) {
        result = PreviousRecord(offset, offset);
      } else if ((result = RecordAt(offset, record)) == err::kSuccess) {
        offset = Advance(offset, record.Length);
      }
      if (result != err::kSuccess) return result;
    }
    const uint32_t result = RecordAt(offset, record);
    if (result != err::kSuccess) return result;
    return record.RecordNumber == number ? err::kSuccess : kEventLogFileCorrupt;
  }

  uint32_t WriteHeader() {
    const EofRecord eof = MakeEof(h_);
    uint32_t result = WriteArea(h_.EndOffset, &eof, kEofSize);
    if (result == err::kSuccess) result = PWrite(fd_, &h_, kHeaderSize, 0);
    return result;
  }

  // Appends one record (its RecordNumber already set), dropping the oldest
  // records when the log has reached its maximum size.
  uint32_t Append(const std::vector<uint8_t>& record, uint32_t max_size) {
    const uint64_t need = record.size() + kEofSize;
    const bool wrapped = h_.EndOffset < h_.StartOffset;
    if (Used() + need > Area() && !wrapped && size_ < max_size) {
      const uint64_t grown =
          std::min<uint64_t>(max_size, std::max<uint64_t>(size_, h_.EndOffset + need));
      if (ftruncate(fd_, static_cast<off_t>(grown)) != 0) return Errno();
      size_ = grown;
    }
    bool dropped = false;
    while (Used() + need > Area() && Count() > 0) {
      EventLogRecordHeader oldest{};
      const uint32_t result = RecordAt(h_.StartOffset, oldest);
      if (result != err::kSuccess) return result;
      h_.StartOffset = Advance(h_.StartOffset, oldest.Length);
      ++h_.OldestRecordNumber;
      dropped = true;
    }
    if (Count() == 0) {
      h_.OldestRecordNumber = 0;
      h_.StartOffset = h_.EndOffset;
    }
    if (Used() + need > Area()) return kLogFileFull;
    if (dropped) {
      // The header moves past the dropped records before they are overwritten.
      h_.Flags |= kFlagWrap;
      const uint32_t result = PWrite(fd_, &h_, kHeaderSize, 0);
      if (result != err::kSuccess) return result;
    }
    uint32_t result = WriteArea(h_.EndOffset, record.data(), static_cast<uint32_t>(record.size()));
    if (result != err::kSuccess) return result;
    if (h_.OldestRecordNumber == 0) h_.OldestRecordNumber = h_.CurrentRecordNumber;
    h_.EndOffset = Advance(h_.EndOffset, static_cast<uint32_t>(record.size()));
    ++h_.CurrentRecordNumber;
    return WriteHeader();
  }

 private:
  void RecoverFromEof(const struct stat& st) {
    const FileVersion version(st);
    EofPositions p;
    if (!ScanCache().Find(version, p) || !EofStillAt(p)) {
      if (!ScanForEof(p)) return;
      ScanCache().Store(version, p);
    }
    if (!p.found) return;
    h_.StartOffset = p.start;
    h_.EndOffset = p.end;
    h_.CurrentRecordNumber = p.current;
    h_.OldestRecordNumber = p.oldest;
  }

  // A cheap second check of a remembered answer, for file systems whose
  // clocks are too coarse to tell two quick writes apart.
  bool EofStillAt(const EofPositions& p) const {
    if (!p.found) return true;
    EofRecord eof{};
    if (p.at + kEofSize > size_ || PRead(fd_, &eof, kEofSize, p.at) != err::kSuccess) {
      return false;
    }
    return eof.RecordSizeBeginning == kEofSize && eof.RecordSizeEnd == kEofSize &&
           std::memcmp(eof.Marks, kEofMarks, sizeof kEofMarks) == 0 && eof.BeginRecord == p.start &&
           eof.EndRecord == p.end && eof.CurrentRecordNumber == p.current &&
           eof.OldestRecordNumber == p.oldest;
  }

  // Looks for the first end-of-file record at a 4-byte boundary of the
  // area, reading the file in pieces; false when the file cannot be read.
  bool ScanForEof(EofPositions& p) const {
    ++g_eof_scans;
    p = EofPositions{};
    constexpr size_t kChunkWords = 256 * 1024;
    constexpr size_t kEofWords = kEofSize / 4;
    const uint64_t total = (size_ - kHeaderSize) / 4;
    std::vector<uint32_t> words;
    for (uint64_t base = 0; base < total; base += kChunkWords) {
      // Each piece overlaps the next by the length of an end record less one word.
      const auto n =
          static_cast<size_t>(std::min<uint64_t>(total - base, kChunkWords + kEofWords - 1));
      words.resize(n);
      if (PRead(fd_, words.data(), n * 4, kHeaderSize + base * 4) != err::kSuccess) return false;
      for (size_t i = 0; i < kChunkWords && i + kEofWords <= n; ++i) {
        if (words[i] != kEofSize || words[i + 1] != kEofMarks[0] || words[i + 2] != kEofMarks[1] ||
            words[i + 3] != kEofMarks[2] || words[i + 4] != kEofMarks[3] ||
            words[i + 9] != kEofSize) {
          continue;
        }
        p.found = true;
        p.at = kHeaderSize + (base + i) * 4;
        p.start = words[i + 5];
        p.end = words[i + 6];
        p.current = words[i + 7];
        p.oldest = words[i + 8];
        return true;
      }
    }
    return true;
  }

  // Reads through a window of the file, so that walking records costs one
  // system call per window rather than several per record. The window is
  // only used while the file is not written through this object.
  uint32_t ReadCached(uint64_t offset, void* buffer, uint32_t n) const {
    if (n > kWindowSize / 2) return PRead(fd_, buffer, n, offset);
    if (offset < window_start_ || offset + n > window_start_ + window_.size()) {
      // The request lands in the middle, which serves walks in both directions.
      const uint64_t half = kWindowSize / 2;
      const uint64_t start = std::max<uint64_t>(offset > half ? offset - half : 0, kHeaderSize);
      const uint64_t end = std::min<uint64_t>(start + kWindowSize, size_);
      window_.resize(static_cast<size_t>(end - start));
      window_start_ = start;
      const uint32_t result = PRead(fd_, window_.data(), window_.size(), start);
      if (result != err::kSuccess) {
        window_.clear();
        return result;
      }
    }
    std::memcpy(buffer, window_.data() + (offset - window_start_), n);
    return err::kSuccess;
  }
  void DropWindow() { window_.clear(); }

  static constexpr uint64_t kWindowSize = 128 * 1024;
  int fd_;
  uint64_t size_ = 0;
  FileHeader h_{};
  mutable std::vector<char> window_;
  mutable uint64_t window_start_ = 0;
};

std::u16string ComputerName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return u"LOCALHOST";
  std::string text(name);
  text = text.substr(0, text.find('.'));
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return Utf8ToUtf16(text);
}

void AppendText(std::vector<uint8_t>& out, std::u16string_view text) {
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

}  // namespace

// ---- EventLog ----

struct EventLog::Impl {
  std::string path;
  int fd = -1;  // keeps the file that was opened, so a replaced file is noticed
  ino_t ino = 0;
  dev_t dev = 0;
  bool saved_file = false;
  bool started = false;
  uint32_t next_number = 0;
  uint32_t next_offset = 0;
  std::vector<uint64_t> watches;

  ~Impl() {
    for (uint64_t id : watches) posix::UnwatchFolder(id);
    if (fd >= 0) close(fd);
  }

  uint32_t Pin() {
    if (fd >= 0) close(fd);
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Errno();
    struct stat st {};
    if (fstat(fd, &st) != 0) return Errno();
    ino = st.st_ino;
    dev = st.st_dev;
    started = false;
    return err::kSuccess;
  }

  // 1503 when the file at the path is no longer the one this handle opened.
  uint32_t CheckSameFile() const {
    if (saved_file) return err::kSuccess;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || st.st_ino != ino || st.st_dev != dev) {
      return kEventLogFileChanged;
    }
    return err::kSuccess;
  }

  // The header of the log as it is now (the current file at the path).
  uint32_t CurrentHeader(FileHeader& header, uint32_t& count) const {
    FileLock lock;
    uint32_t result = lock.Take(path, false);
    if (result != err::kSuccess) return result;
    const int current = saved_file ? fd : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (current < 0) return Errno();
    LogFile file(current);
    result = file.Load();
    header = file.header();
    count = file.Count();
    if (current != fd) close(current);
    return result;
  }
};

EventLog::EventLog() = default;
EventLog::~EventLog() = default;
EventLog::EventLog(EventLog&& other) noexcept = default;
EventLog& EventLog::operator=(EventLog&& other) noexcept = default;

uint32_t EventLog::Open(std::u16string_view log_name) {
  Close();
  auto impl = std::make_unique<Impl>();
  uint32_t max_size = 0;
  uint32_t result = ResolveLog(log_name, true, impl->path, max_size);
  if (result != err::kSuccess) return result;
  result = EnsureLogFile(impl->path, max_size);
  if (result != err::kSuccess) return result;
  result = impl->Pin();
  if (result != err::kSuccess) return result;
  impl_ = std::move(impl);
  return err::kSuccess;
}

uint32_t EventLog::OpenFile(std::u16string_view path) {
  Close();
  auto impl = std::make_unique<Impl>();
  impl->path = posix::NativePath(path);
  impl->saved_file = true;
  const uint32_t result = impl->Pin();
  if (result != err::kSuccess) return result;
  impl_ = std::move(impl);
  return err::kSuccess;
}

bool EventLog::IsOpen() const { return impl_ != nullptr; }

void EventLog::Close() { impl_.reset(); }

uint32_t EventLog::GetCount(uint32_t& count) const {
  count = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  FileHeader header{};
  return impl_->CurrentHeader(header, count);
}

uint32_t EventLog::GetOldest(uint32_t& oldest) const {
  oldest = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  FileHeader header{};
  uint32_t count = 0;
  const uint32_t result = impl_->CurrentHeader(header, count);
  if (result == err::kSuccess && count != 0) oldest = header.OldestRecordNumber;
  return result;
}

uint32_t EventLog::Read(uint32_t flags, uint32_t record_number, void* buffer, uint32_t size,
                        uint32_t& bytes_read, uint32_t& needed) {
  bytes_read = 0;
  needed = 0;
  if (!IsOpen()) return err::kInvalidHandle;
  const bool seek = (flags & kEventLogSeekRead) != 0;
  const bool backwards = (flags & kEventLogBackwardsRead) != 0;
  if (seek == ((flags & kEventLogSequentialRead) != 0) ||
      backwards == ((flags & kEventLogForwardsRead) != 0) || (buffer == nullptr && size != 0)) {
    return err::kInvalidParameter;
  }
  FileLock lock;
  uint32_t result = lock.Take(impl_->path, false);
  if (result != err::kSuccess) return result;
  result = impl_->CheckSameFile();
  if (result != err::kSuccess) return result;
  LogFile file(impl_->fd);
  result = file.Load();
  if (result != err::kSuccess) return result;
  if (file.Count() == 0) return err::kHandleEof;

  const uint32_t oldest = file.header().OldestRecordNumber;
  const uint32_t newest = file.Newest();
  uint32_t number = 0;
  if (seek) {
    number = record_number;
    if (number < oldest || number > newest) return err::kInvalidParameter;
  } else if (!impl_->started) {
    number = backwards ? newest : oldest;
  } else {
    number = impl_->next_number;
  }
  if (number < oldest || number > newest) return err::kHandleEof;

  uint32_t offset = 0;
  EventLogRecordHeader record{};
  const bool cached = !seek && impl_->started && impl_->next_offset != 0 &&
                      file.RecordAt(impl_->next_offset, record) == err::kSuccess &&
                      record.RecordNumber == number;
  if (cached) {
    offset = impl_->next_offset;
  } else {
    const LogFile::Landmark last{impl_->next_number, impl_->next_offset};
    const bool known = impl_->started && impl_->next_offset != 0;
    result = file.Locate(number, offset, known ? &last : nullptr);
    if (result != err::kSuccess) return result;
  }

  auto* out = static_cast<uint8_t*>(buffer);
  bool more = true;
  while (more) {
    result = file.RecordAt(offset, record);
    if (result != err::kSuccess) return result;
    if (record.RecordNumber != number) return kEventLogFileCorrupt;
    if (record.Length > size - bytes_read) {
      if (bytes_read == 0) {
        needed = record.Length;
        return err::kInsufficientBuffer;
      }
      break;
    }
    result = file.ReadArea(offset, out + bytes_read, record.Length);
    if (result != err::kSuccess) return result;
    bytes_read += record.Length;
    if (backwards) {
      more = number > oldest;
      --number;
      if (more) {
        result = file.PreviousRecord(offset, offset);
        if (result != err::kSuccess) return result;
      }
    } else {
      more = number < newest;
      ++number;
      offset = file.Advance(offset, record.Length);
    }
  }
  impl_->started = true;
  impl_->next_number = number;
  impl_->next_offset = number >= oldest && number <= newest ? offset : 0;
  return err::kSuccess;
}

uint32_t EventLog::NotifyChange(const Event& event) {
  if (!IsOpen()) return err::kInvalidHandle;
  if (!event.IsValid()) return err::kInvalidParameter;
  const std::string name = FileName(impl_->path);
  Event target = event;
  const uint64_t id =
      posix::WatchFolder(FolderOf(impl_->path), [name, target](const std::string& changed) mutable {
        if (changed.empty() || changed == name) target.Set();
      });
  if (id == 0) return 31;  // ERROR_GEN_FAILURE: no inotify
  impl_->watches.push_back(id);
  return err::kSuccess;
}

uint32_t EventLog::Clear(std::u16string_view backup_path) {
  if (!IsOpen()) return err::kInvalidHandle;
  if (impl_->saved_file) return err::kAccessDenied;
  FileLock lock;
  uint32_t result = lock.Take(impl_->path, true);
  if (result != err::kSuccess) return result;
  uint32_t max_size = kDefaultMaxSize;
  const int current = open(impl_->path.c_str(), O_RDONLY | O_CLOEXEC);
  if (current >= 0) {
    LogFile file(current);
    if (file.Load() == err::kSuccess && file.header().MaxSize != 0)
      max_size = file.header().MaxSize;
  }
  if (!backup_path.empty() && current >= 0) {
    const std::string backup = posix::NativePath(backup_path);
    const int out = posix::OpenDataFile(backup, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
    if (out < 0) {
      result = Errno();
    } else {
      char chunk[65536];
      for (uint64_t pos = 0;; pos += sizeof chunk) {
        const ssize_t n = pread(current, chunk, sizeof chunk, static_cast<off_t>(pos));
        if (n <= 0) {
          if (n < 0) result = Errno();
          break;
        }
        result = PWrite(out, chunk, static_cast<size_t>(n), pos);
        if (result != err::kSuccess) break;
      }
      if (result == err::kSuccess && fsync(out) != 0) result = Errno();
      close(out);
    }
  }
  if (current >= 0) close(current);
  if (result != err::kSuccess) return result;
  result = WriteEmptyLog(impl_->path, max_size);
  if (result != err::kSuccess) return result;
  // The clearing handle goes on with the new file.
  return impl_->Pin();
}

uint64_t posix::DirtyFileScans() { return g_eof_scans.load(); }

// ---- EventSource ----

struct EventSource::Impl {
  std::u16string source;
  std::u16string log;
  // Where the log lives, looked up again after kResolveMs, so that a stream
  // of reports does not read the registry for every record.
  static constexpr uint32_t kResolveMs = 1000;
  std::string path;
  uint32_t max_size = 0;
  uint32_t resolved_at = 0;

  uint32_t Resolve() {
    if (!path.empty() && TickCount() - resolved_at < kResolveMs) return err::kSuccess;
    path.clear();
    uint32_t result = ResolveLog(log, false, path, max_size);
    if (result == err::kSuccess) result = EnsureLogFile(path, max_size);
    if (result != err::kSuccess) {
      path.clear();
      return result;
    }
    resolved_at = TickCount();
    return err::kSuccess;
  }
};

EventSource::EventSource() = default;
EventSource::~EventSource() = default;
EventSource::EventSource(EventSource&& other) noexcept = default;
EventSource& EventSource::operator=(EventSource&& other) noexcept = default;

uint32_t EventSource::Register(std::u16string_view source_name) {
  Deregister();
  if (source_name.empty()) return err::kInvalidParameter;
  auto impl = std::make_unique<Impl>();
  impl->source = std::u16string(source_name);
  impl->log = u"Application";
  std::vector<std::u16string> logs;
  ListEventLogs(logs);
  for (const std::u16string& log : logs) {
    RegistryKey key;
    std::u16string path(kEventLogKey);
    path += u'\\' + log + u'\\' + impl->source;
    if (key.Open(RegistryRoot::kLocalMachine, path) == err::kSuccess) {
      impl->log = log;
      break;
    }
  }
  impl_ = std::move(impl);
  return err::kSuccess;
}

bool EventSource::IsRegistered() const { return impl_ != nullptr; }

void EventSource::Deregister() { impl_.reset(); }

uint32_t EventSource::Report(uint16_t type, uint16_t category, uint32_t event_id,
                             std::span<const uint8_t> user_sid,
                             std::span<const std::u16string> strings,
                             std::span<const uint8_t> data) {
  if (!IsRegistered()) return err::kInvalidHandle;
  if (strings.size() > 0xFFFF) return err::kInvalidParameter;

  // The record in the layout readers get.
  std::vector<uint8_t> record(kEventLogRecordFixedSize, 0);
  AppendText(record, impl_->source);
  AppendText(record, ComputerName());
  while (record.size() % 4 != 0) record.push_back(0);
  EventLogRecordHeader h{};
  h.UserSidOffset = static_cast<uint32_t>(record.size());
  h.UserSidLength = static_cast<uint32_t>(user_sid.size());
  record.insert(record.end(), user_sid.begin(), user_sid.end());
  h.StringOffset = static_cast<uint32_t>(record.size());
  for (const std::u16string& s : strings) AppendText(record, s);
  h.DataOffset = static_cast<uint32_t>(record.size());
  h.DataLength = static_cast<uint32_t>(data.size());
  record.insert(record.end(), data.begin(), data.end());
  while (record.size() % 4 != 0) record.push_back(0);
  if (record.size() + 4 > 0x7FFFFFFFu) return err::kInvalidParameter;
  h.Length = static_cast<uint32_t>(record.size() + 4);
  record.resize(h.Length);
  std::memcpy(record.data() + h.Length - 4, &h.Length, 4);
  h.Reserved = kEventLogSignature;
  const auto now = static_cast<uint32_t>(std::time(nullptr));
  h.TimeGenerated = now;
  h.TimeWritten = now;
  h.EventID = event_id;
  h.EventType = type;
  h.NumStrings = static_cast<uint16_t>(strings.size());
  h.EventCategory = category;

  uint32_t result = impl_->Resolve();
  if (result != err::kSuccess) return result;
  const std::string& path = impl_->path;
  FileLock lock;
  result = lock.Take(path, true);
  if (result != err::kSuccess) return result;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && EnsureLogFile(path, impl_->max_size) == err::kSuccess) {
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC);  // removed since it was looked up
  }
  if (fd < 0) return Errno();
  LogFile file(fd);
  result = file.Load();
  if (result == err::kSuccess) {
    h.RecordNumber = file.header().CurrentRecordNumber;
    std::memcpy(record.data(), &h, sizeof h);
    result = file.Append(record, impl_->max_size);
  }
  close(fd);
  return result;
}

uint32_t DeleteEventLog(std::u16string_view log_name) {
  std::string path;
  uint32_t max_size = 0;
  bool own_file = false;
  uint32_t result = ResolveLog(log_name, true, path, max_size, &own_file);
  if (result != err::kSuccess) return result;
  RegistryKey logs;
  result = logs.Open(RegistryRoot::kLocalMachine, kEventLogKey);
  if (result == err::kSuccess) result = logs.DeleteTree(log_name);
  if (result != err::kSuccess) return result;
  // A file that the key named (a saved log being served) is left alone.
  if (own_file) unlink(path.c_str());
  unlink((path + ".lock").c_str());
  return err::kSuccess;
}

}  // namespace cvn::platform
