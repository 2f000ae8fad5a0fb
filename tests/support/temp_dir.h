// A fresh temporary folder per test, removed at the end; and a fresh machine
// root (CORVANE_ROOT) inside one, so tests never share emulated state.
#pragma once

#include <filesystem>
#include <string>

namespace cvn::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as UTF-16 text, the form the service's APIs take.
  std::u16string u16() const;

 private:
  std::filesystem::path path_;
};

// Points CORVANE_ROOT at a new temporary folder for its lifetime.
class ScopedMachineRoot {
 public:
  ScopedMachineRoot();
  ~ScopedMachineRoot();
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::u16string previous_;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

}  // namespace cvn::testing
