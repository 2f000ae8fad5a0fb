// The syslog cache file: the only durable copy of the syslog messages that no
// server took. Layout, all integers little-endian:
//   offset 0, 8 bytes:  the signature 00 00 00 00 'C' 'V' 'S' 'C'
//   offset 8, 4 bytes:  file position of the oldest record not yet sent (16
//                       in a new file)
//   offset 12, 4 bytes: number of records not yet sent
//   offset 16 ...     : records, each a 4-byte length L and then L bytes of
//                       one message as built, with no separator or terminator
// Files of earlier versions lack the signature: their header is the read
// offset (never below 8, so never the signature's zeros) and the count, 8
// bytes, and their records have 2-byte lengths. Such a file is read as it is,
// and appended to in its own layout while the messages fit; the first message
// that does not has the records not yet sent copied into a file of the
// current layout, which then replaces it. No message is ever cut.
// Records are only appended; the file is removed when no record is left.
//
// Appends and removals work on batches, with one sync per batch: an append
// writes the records and then the header, and syncs both; it reports success
// (and the caller counts the messages durable) only after that sync. A crash
// at any byte leaves a file whose complete records can all be read; a header
// that got ahead of its records is repaired when the file is opened.
// Opening an existing file checks it against its records: a damaged header, a
// count that disagrees with the records, or bytes at the end that hold no
// complete record are reported, and every complete record is kept.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace cvn {

class CSyslogCache {
 public:
  static constexpr const char16_t* kFileName = u"syslogs.cache";
  // The longest message a record holds: the file's offsets are 32-bit.
  static constexpr uint64_t kMaxMessageBytes = 0xFFFFFFFFull - 16 - 4;
  // Windows error numbers of the cache's own failures.
  static constexpr uint32_t kErrorHandleEof = 38;      // a record ends early
  static constexpr uint32_t kErrorFileTooLarge = 223;  // offsets would pass 4 GiB

  // report receives one line for each problem found in the file (UTF-8).
  using Reporter = std::function<void(const std::string&)>;

  explicit CSyslogCache(std::u16string path, Reporter report = {});
  ~CSyslogCache() { Close(); }
  CSyslogCache(const CSyslogCache&) = delete;
  CSyslogCache& operator=(const CSyslogCache&) = delete;

  const std::u16string& path() const { return path_; }
  bool IsOpen() const { return file_.IsOpen(); }
  uint32_t count() const { return count_; }
  uint32_t read_offset() const { return read_offset_; }

  // Opens the file left by an earlier run and checks it (above). True when it
  // is open with at least one record; a file without records is removed.
  bool OpenExisting();
  // Creates a new, empty file, replacing any old one: 0 or the error.
  uint32_t Create();
  // Appends the messages as records and counts them: 0 or the error (nothing
  // is added then; 223 for a message over kMaxMessageBytes or a file that
  // would pass 4 GiB).
  uint32_t Append(std::span<const std::string> messages);
  uint32_t Append(std::string_view message);
  // The oldest records not yet sent, at least one and then as many as both
  // bounds allow: 0, or the error (38 when the file does not hold the whole
  // first record).
  uint32_t ReadOldest(size_t max_count, size_t max_bytes, std::vector<std::string>& messages);
  uint32_t ReadOldest(std::string& message);
  // Moves past the first n records the last ReadOldest returned and counts
  // them out: 0 or the error.
  uint32_t RemoveOldest(size_t n = 1);
  // Closes the file and removes it; offset and count become 0.
  void Delete();
  // Closes the file and keeps it.
  void Close();

 private:
  // Where a layout keeps its header fields and records.
  struct Layout {
    uint32_t fields;        // the read offset, then the count
    uint32_t first_record;  // the read offset of a new file
    uint32_t length_size;   // bytes of each record's length
    uint64_t max_length;    // the longest record it holds
  };
  static const Layout kCurrent;
  static const Layout kEarlier;

  // Opens the file at path_ for reading and writing: 0 or the error.
  uint32_t OpenFile(platform::FileCreate create);
  // The length of the record at position: 0, or the error of the read.
  uint32_t RecordLength(uint32_t position, uint32_t* length);
  // Copies the records not yet sent into a file of the current layout, which
  // replaces this one: 0 or the error (this file is kept then).
  uint32_t Upgrade();
  uint32_t CopyRecords(platform::File& to, uint32_t& end);
  // Reads the header of the open file and takes its layout: false (reported)
  // when the file is too short for it or cannot be read.
  bool ReadHeader(uint64_t size, uint32_t& offset, uint32_t& count);
  // Checks the open file against its records and repairs what it can.
  // Returns false when no readable record is left.
  bool Check();
  // Writes the header, and syncs the file unless told not to.
  uint32_t WriteHeader(bool sync = true);
  void Report(const std::string& line) const;
  void ReportFormat(const char* format, ...) const __attribute__((format(printf, 2, 3)));

  std::u16string path_;
  Reporter report_;
  platform::File file_;
  uint32_t read_offset_ = 0;
  uint32_t count_ = 0;
  const Layout* layout_ = &kCurrent;    // the open file's
  uint32_t end_ = 0;                    // end of the last complete record
  std::vector<uint32_t> oldest_sizes_;  // bytes of each record ReadOldest returned
};

}  // namespace cvn
