// The text cvnevent prints for one raw event record.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cvn {

class CMessageRenderer;

class RecordPrinter {
 public:
  // Descriptions are rendered from the sources registered under log_name;
  // with an empty name they are left out.
  explicit RecordPrinter(std::u16string_view log_name);
  ~RecordPrinter();

  // Several lines ending with a line feed. A malformed record is printed as
  // far as it can be read, with the reason.
  std::u16string Format(std::span<const uint8_t> raw);

 private:
  std::u16string log_name_;
  std::unique_ptr<CMessageRenderer> renderer_;
};

}  // namespace cvn
