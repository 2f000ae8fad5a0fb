// The message renderer: decodes raw classic event log records into
// SEventRecord and renders their descriptions from the message files that
// the record's source registers, or from the publisher metadata of the newer
// event log API for sources that register none.
//
// One renderer lives as long as the service; the primary server thread and
// the report thread use it at the same time. Only the message-file cache is
// shared state, and its lock is held only while the cache is read or filled.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "events/event_record.h"
#include "platform/sync.h"

namespace cvn {

namespace platform {
class PublisherMetadata;
}

class CMessageRenderer {
 public:
  // A description stops growing at 64 KiB of text (32 Ki UTF-16 code units),
  // however many insertion strings a record carries or its message repeats.
  static constexpr size_t kMaxDescriptionLength = 32 * 1024;

  // Formats message id of a publisher's metadata; empty when it cannot.
  using PublisherFormatter =
      std::function<std::u16string(std::u16string_view publisher, uint32_t message_id)>;

  // Uses the system's publisher metadata when it is there (Windows with
  // wevtapi.dll); without it the publisher fall-back is off.
  CMessageRenderer();
  // For tests: the given formatter stands in for the publisher metadata; an
  // empty function turns the fall-back off.
  explicit CMessageRenderer(PublisherFormatter publisher);
  ~CMessageRenderer();
  CMessageRenderer(const CMessageRenderer&) = delete;
  CMessageRenderer& operator=(const CMessageRenderer&) = delete;

  // Decodes raw (one record as ReadEventLogW returns it) into record, which
  // must be new, and renders its description. 0, or -1 when the raw record is
  // malformed: then the fields set so far stay set and the record must not
  // be dispatched. A record whose Length is larger than raw is malformed.
  int BuildEventRecord(SEventRecord& record, std::span<const uint8_t> raw,
                       std::u16string_view log_name);

  // The EventMessageFile list of a source (modules separated by ";",
  // environment references expanded); empty when none is registered. Fills
  // the cache for the whole log on a miss.
  std::u16string LookupMessageFiles(std::u16string_view log_name, std::u16string_view source);

  // Loads the module, formats id with its inserts left in place, frees the
  // module and removes the line breaks at the end: the text, or empty on any
  // failure.
  static std::u16string FormatModuleMessage(std::u16string_view module_path, uint32_t id);

  // Forgets every cached message-file list, so that newly registered sources
  // and changed message files are seen.
  void ClearCaches();

 private:
  void RenderDescription(SEventRecord& record, std::span<const uint8_t> raw, uint32_t length);
  // The message text with its "%<n>" references replaced by the insertion
  // strings, in one pass and within kMaxDescriptionLength.
  static std::u16string Substitute(std::u16string_view text,
                                   const std::vector<std::u16string>& strings,
                                   std::u16string_view module);

  std::unique_ptr<platform::PublisherMetadata> publisher_metadata_;
  PublisherFormatter publisher_;
  platform::Lock cache_lock_;
  std::map<std::u16string, std::u16string> message_files_;  // guarded by cache_lock_
};

// The insertion strings of a raw record of length bytes (at most NumStrings;
// the list ends early at a string without its NUL inside the string area).
std::vector<std::u16string> ReadInsertionStrings(std::span<const uint8_t> raw, uint32_t length);

}  // namespace cvn
