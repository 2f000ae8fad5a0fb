#include "support/temp_dir.h"

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/environment.h"

namespace cvn::testing {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    std::ostringstream name;
    name << "cvn-test-" << rd() << '-' << counter++;
    path_ = base / name.str();
    std::error_code ec;
    if (std::filesystem::create_directory(path_, ec)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::u16string TempDir::u16() const { return path_.u16string(); }

ScopedMachineRoot::ScopedMachineRoot()
    : previous_(platform::GetEnvironmentValue(u"CORVANE_ROOT")) {
  platform::SetEnvironmentValue(u"CORVANE_ROOT", dir_.u16());
}

ScopedMachineRoot::~ScopedMachineRoot() {
  platform::SetEnvironmentValue(u"CORVANE_ROOT", previous_);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace cvn::testing
