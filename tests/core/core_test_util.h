// Shared pieces of the core tests: a fixture with a fresh machine root and a
// core on its own pipe names, and readers of the service log and the
// registry state.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/cvn_core.h"
#include "support/temp_dir.h"

namespace cvn::core_test {

constexpr uint32_t kWaitMs = 10000;

// A pipe name no other test (or running service) uses.
std::u16string UniquePipeName(const char* role);

// Everything written to the day files of folder (all of them, in name order).
std::string ReadLogs(const std::u16string& folder);

// The registry state values, written and read without a core.
void SetStateValue(std::u16string_view name, uint32_t value);
// 0xFFFFFFFF when the value is missing.
uint32_t GetStateValue(std::u16string_view name);

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes settings as the settings file.
  void WriteSettings(const CCVNSettings& settings);
  std::string Logs() const { return ReadLogs(CCVNCore::GetLogsFolder()); }

  cvn::testing::ScopedMachineRoot root_;
  std::u16string server_pipe_;
  std::u16string console_pipe_;
  std::unique_ptr<CCVNCore> core_;
};

}  // namespace cvn::core_test
