// A saved .evt file opened like a log: count and oldest, every record read
// forwards and backwards in buffers of the reader's sizes, seek reads, and
// each record decoded and rendered as the service does.
#include "events/message_renderer.h"
#include "fuzz_support.h"
#include "platform/event_log.h"

namespace {

using cvn::platform::EventLog;

// Reads sequentially in one direction until the reader stops; records are
// rendered as they come.
void ReadAll(EventLog& log, uint32_t direction, uint32_t buffer_size, size_t file_size,
             cvn::CMessageRenderer& renderer) {
  std::vector<uint8_t> buffer(buffer_size);
  // No file holds more records than it has room for their fixed parts.
  size_t budget = file_size / cvn::platform::kEventLogRecordFixedSize + 2;
  for (;;) {
    uint32_t read = 0;
    uint32_t needed = 0;
    const uint32_t rc = log.Read(cvn::platform::kEventLogSequentialRead | direction, 0,
                                 buffer.data(), static_cast<uint32_t>(buffer.size()), read, needed);
    if (rc == 122) {
      // A record can never be longer than the file it came from.
      if (needed <= buffer.size() || needed > file_size) __builtin_trap();
      buffer.resize(needed);
      continue;
    }
    if (rc != 0) return;
    if (read == 0 || read > buffer.size()) __builtin_trap();
    for (uint32_t at = 0; at < read;) {
      if (budget-- == 0) __builtin_trap();
      const uint32_t length = buffer[at] | (buffer[at + 1] << 8) | (buffer[at + 2] << 16) |
                              (uint32_t{buffer[at + 3]} << 24);
      if (length < cvn::platform::kEventLogRecordFixedSize || length > read - at) __builtin_trap();
      cvn::SEventRecord record;
      renderer.BuildEventRecord(record, {buffer.data() + at, length}, u"Application");
      at += length;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto path = cvn::fuzz::MachineRoot() / "saved.evt";
  static cvn::CMessageRenderer renderer{cvn::CMessageRenderer::PublisherFormatter()};
  cvn::fuzz::WriteFile(path, {data, size});
  for (const uint32_t direction :
       {cvn::platform::kEventLogForwardsRead, cvn::platform::kEventLogBackwardsRead}) {
    EventLog log;
    if (log.OpenFile(cvn::fuzz::U16(path)) != 0) return 0;
    uint32_t count = 0;
    uint32_t oldest = 0;
    log.GetCount(count);
    log.GetOldest(oldest);
    // The reader's first buffer is small, so most records take the 122 path.
    ReadAll(log, direction, direction == cvn::platform::kEventLogForwardsRead ? 64 : 0x10000, size,
            renderer);
    for (const uint32_t number : {oldest, oldest + count - 1, oldest + count / 2}) {
      std::vector<uint8_t> buffer(0x10000);
      uint32_t read = 0;
      uint32_t needed = 0;
      log.Read(cvn::platform::kEventLogSeekRead | direction, number, buffer.data(),
               static_cast<uint32_t>(buffer.size()), read, needed);
    }
  }
  return 0;
}
