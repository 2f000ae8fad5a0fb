// The message-table formats that message modules carry, read the same way on
// every system: the message-table resource (resource type 11, name 1) of a PE
// image (DLL or EXE, PE32 and PE32+), the message-table blob inside it, the
// plain message-table file of this project, and the escape processing that
// FormatMessageW applies to a message text when inserts are ignored.
//
// Everything here works on untrusted bytes: every offset and length is checked
// against the size of its container, so a truncated or corrupted file gives an
// error and never a read outside the data.
//
// Errors are Windows error numbers: 13 invalid data (a structure points
// outside its container), 193 not a PE image, 317 message id not in the table,
// 1812 no resource section, 1813 no message-table resource, 1814 no resource
// named 1, 1815 no language entry.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::platform::msgtable {

constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorBadExeFormat = 193;
constexpr uint32_t kErrorMessageNotFound = 317;  // ERROR_MR_MID_NOT_FOUND
constexpr uint32_t kErrorResourceDataNotFound = 1812;
constexpr uint32_t kErrorResourceTypeNotFound = 1813;
constexpr uint32_t kErrorResourceNameNotFound = 1814;
constexpr uint32_t kErrorResourceLangNotFound = 1815;

// The largest message table read from an image; bigger ones are treated as
// corrupted (13). Real message tables stay far below this.
constexpr uint32_t kMaxMessageTableSize = 64u * 1024u * 1024u;

// Random access to the bytes of an image, so large executables need not be
// read whole: only the headers, the resource directory and the table are read.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly size bytes at offset; false when they are not all there.
  virtual bool Read(uint64_t offset, void* out, size_t size) const = 0;
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool Read(uint64_t offset, void* out, size_t size) const override;

 private:
  std::span<const uint8_t> bytes_;
};

// True when the bytes begin like a PE image ("MZ").
bool LooksLikePeImage(std::span<const uint8_t> head);

// Copies the message-table resource of a PE image. Language choice among the
// entries of resource 1: neutral (0), then 0x409 (English, United States),
// then the first entry.
uint32_t ReadPeMessageTable(const ByteSource& image, std::vector<uint8_t>& table);

// Finds id in a message-table blob (MESSAGE_RESOURCE_DATA) and decodes its
// text (UTF-16, UTF-8, or ANSI read as code page 1252) up to the first NUL,
// escapes not yet processed.
uint32_t FindMessage(std::span<const uint8_t> table, uint32_t id, std::u16string& text);

// What FormatMessageW does to a message text with inserts ignored and no
// width limit: "%n" gives CR LF, "%r" CR, "%t" a tab, "%0" ends the text
// there (without a line break), every other "%" sequence ("%1", "%%", "%.",
// "%!", "% ") stays as it is; a lone CR or LF becomes CR LF. A text ending in
// a single "%" fails with 87, as the system call does.
uint32_t ApplyEscapes(std::u16string_view text, std::u16string& out);

// The plain message-table file. UTF-8 text (an optional byte-order mark):
//
//   CVN-MESSAGE-TABLE 1
//   ; a comment line
//   MessageId=0x40000201
//   Corvane Service successfully started. Version: %1.
//   .
//
// The first line is the signature. Then, separated by any number of blank or
// comment lines (";" first), messages: a line "MessageId=<number>" (hex with
// 0x, or decimal), the text lines, and a line holding a single "." that ends
// the message. Each text line ends in CR LF in the message text, as the
// message compiler writes it; "%0" at the end of the last line drops that
// line break when the text is formatted. A text line that must read "." is
// written "%." (which, as in a compiled table, formatting with inserts
// ignored leaves as it is). Ids appear once. Line ends may be LF or CR LF.
constexpr std::string_view kPlainSignature = "CVN-MESSAGE-TABLE 1";

bool LooksLikePlainTable(std::span<const uint8_t> head);

// Parses a plain message-table file; 13 on any syntax error (with the 1-based
// line number in error_line when given).
uint32_t ParsePlainTable(std::string_view bytes, std::map<uint32_t, std::u16string>& messages,
                         uint32_t* error_line = nullptr);

}  // namespace cvn::platform::msgtable
