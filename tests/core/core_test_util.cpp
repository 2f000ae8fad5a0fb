#include "core_test_util.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <vector>

#include "base/text.h"
#include "platform/file.h"
#include "platform/registry.h"

namespace cvn::core_test {

std::u16string UniquePipeName(const char* role) {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  const std::string leaf = std::string("cvn-core-") + role + "-" + std::to_string(rd()) + "-" +
                           std::to_string(counter++);
  return u"\\\\.\\pipe\\" + Utf8ToUtf16(leaf);
}

std::string ReadLogs(const std::u16string& folder) {
  const std::u16string dir = platform::WithTrailingSeparator(folder);
  std::vector<std::u16string> names = platform::FindFiles(dir, u"CVN*.log");
  std::sort(names.begin(), names.end());
  std::string text;
  for (const auto& name : names) {
    text += cvn::testing::ReadFileBytes(std::filesystem::path(dir + name));
  }
  return text;
}

void SetStateValue(std::u16string_view name, uint32_t value) {
  platform::RegistryKey key;
  std::u16string path(CCVNCore::kRegistryKeyPath);
  path.append(u"\\").append(CCVNCore::kStateSubkey);
  ASSERT_EQ(key.Create(platform::RegistryRoot::kLocalMachine, path), 0u);
  ASSERT_EQ(key.SetDword(name, value), 0u);
}

uint32_t GetStateValue(std::u16string_view name) {
  platform::RegistryKey key;
  std::u16string path(CCVNCore::kRegistryKeyPath);
  path.append(u"\\").append(CCVNCore::kStateSubkey);
  uint32_t value = 0;
  if (key.Open(platform::RegistryRoot::kLocalMachine, path) != 0) return 0xFFFFFFFFu;
  if (key.QueryDword(name, value) != 0) return 0xFFFFFFFFu;
  return value;
}

void CoreTest::SetUp() {
  // On Windows the folders and the registry are the machine's own, whatever
  // the machine root: start every test from the same clean state.
  platform::RemoveFile(CCVNCore::GetSettingsFilePath());
  const std::u16string logs = CCVNCore::GetLogsFolder();
  for (const auto& name : platform::FindFiles(logs, u"CVN*.log")) platform::RemoveFile(logs + name);
  platform::RegistryKey key;
  std::u16string path(CCVNCore::kRegistryKeyPath);
  path.append(u"\\").append(CCVNCore::kStateSubkey);
  if (key.Open(platform::RegistryRoot::kLocalMachine, path) == 0) {
    key.DeleteValue(CCVNCore::kLastReportValue);
    key.DeleteValue(CCVNCore::kReportPeriodFromValue);
    key.DeleteValue(CCVNCore::kRunningValue);
  }

  server_pipe_ = UniquePipeName("server");
  console_pipe_ = UniquePipeName("console");
  core_ = std::make_unique<CCVNCore>();
  core_->SetPipeNames(server_pipe_, console_pipe_);
}

void CoreTest::TearDown() {
  core_.reset();
  TraceLogEnabled = false;
}

void CoreTest::WriteSettings(const CCVNSettings& settings) {
  const std::u16string path = CCVNCore::GetSettingsFilePath();
  platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
  ASSERT_EQ(settings.SaveFile(path), 0);
}

}  // namespace cvn::core_test
