// The message-table readers: a PE image's message-table resource, the
// lookup of messages in the table and their escapes; or, for input that is
// no PE image, the plain message-table file.
#include <map>

#include "platform/message_table.h"

namespace msgtable = cvn::platform::msgtable;

namespace {

void Escape(const std::u16string& text) {
  std::u16string out;
  msgtable::ApplyEscapes(text, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  if (msgtable::LooksLikePeImage(bytes)) {
    std::vector<uint8_t> table;
    if (msgtable::ReadPeMessageTable(msgtable::MemorySource(bytes), table) != 0) return 0;
    // Ids the seeds use, the ends of the range, and ids from the table's
    // first block.
    std::vector<uint32_t> ids = {0, 1, 2, 1000, 1537, 0x40000201u, 0xFFFFFFFFu};
    if (table.size() >= 16) {
      const uint32_t low =
          table[4] | (table[5] << 8) | (table[6] << 16) | (uint32_t{table[7]} << 24);
      ids.insert(ids.end(), {low, low + 1, low - 1});
    }
    for (uint32_t id : ids) {
      std::u16string text;
      if (msgtable::FindMessage(table, id, text) == 0) Escape(text);
    }
    return 0;
  }
  std::map<uint32_t, std::u16string> messages;
  uint32_t line = 0;
  if (msgtable::ParsePlainTable({reinterpret_cast<const char*>(data), size}, messages, &line) !=
      0) {
    return 0;
  }
  for (const auto& [id, text] : messages) Escape(text);
  return 0;
}
