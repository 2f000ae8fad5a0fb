#include "fuzz_support.h"

#include <fstream>
#include <memory>

#include "support/temp_dir.h"

namespace cvn::fuzz {

const std::filesystem::path& MachineRoot() {
  static const auto root = std::make_unique<testing::ScopedMachineRoot>();
  return root->dir().path();
}

void WriteFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::u16string U16(const std::filesystem::path& path) { return path.u16string(); }

uint32_t TakeU32(std::span<const uint8_t>& bytes) {
  if (bytes.size() < 4) return 0;
  const uint32_t v = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
  bytes = bytes.subspan(4);
  return v;
}

uint16_t TakeU16(std::span<const uint8_t>& bytes) {
  if (bytes.size() < 2) return 0;
  const auto v = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
  bytes = bytes.subspan(2);
  return v;
}

uint8_t TakeU8(std::span<const uint8_t>& bytes) {
  if (bytes.empty()) return 0;
  const uint8_t v = bytes[0];
  bytes = bytes.subspan(1);
  return v;
}

}  // namespace cvn::fuzz
