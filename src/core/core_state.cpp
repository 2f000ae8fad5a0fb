// The core's folders and files, its registry state and the shared
// configuration file read at start.
#include <cstdint>
#include <vector>

#include "base/text.h"
#include "config/xml_document.h"
#include "core/crc32.h"
#include "core/cvn_core.h"
#include "core/shared_config.h"
#include "platform/file.h"

namespace cvn {

using platform::kPathSeparator;

namespace {

constexpr uint32_t kErrorInvalidHandle = 6;

// <common application data>\Halvorn\Corvane 3\ (with the separator), or empty.
std::u16string ProductFolder() {
  const std::u16string base = platform::CommonAppDataFolder();
  if (base.empty()) return {};
  std::u16string folder = platform::WithTrailingSeparator(base);
  folder.append(u"Halvorn").push_back(kPathSeparator);
  folder.append(u"Corvane 3").push_back(kPathSeparator);
  return folder;
}

std::u16string ProductSubfolder(std::u16string_view name) {
  std::u16string folder = ProductFolder();
  if (folder.empty()) return {};
  folder.append(name).push_back(kPathSeparator);
  return folder;
}

}  // namespace

void CCVNCore::CloseDataFolder() {
  const std::u16string folder = ProductFolder();
  if (folder.empty()) return;
  // The folder holds the settings with their passwords, and the files the
  // service writes: nobody else may read or plant anything in it.
  if (const uint32_t error = platform::CloseFolderToOthers(folder); error != 0) {
    LogFormat('E', "Service", "The data folder %s cannot be closed to other users (error %u).",
              Utf16ToUtf8(folder).c_str(), static_cast<unsigned>(error));
  }
}

std::u16string CCVNCore::GetCacheFolder() { return ProductSubfolder(u"Cache"); }

std::u16string CCVNCore::GetEventLogsFolder() { return ProductSubfolder(u"EventLogs"); }

std::u16string CCVNCore::GetLogsFolder() { return ProductSubfolder(u"Logs"); }

std::u16string CCVNCore::GetSettingsFilePath() {
  std::u16string path = ProductFolder();
  if (path.empty()) return {};
  return path + u"settings.cvncfg";
}

uint32_t CCVNCore::ReadStateValue(std::u16string_view name) const {
  if (!registry_key_.IsOpen()) return 0;
  platform::RegistryKey state;
  if (state.Open(registry_key_, kStateSubkey) != 0) return 0;
  uint32_t value = 0;
  if (state.QueryDword(name, value) != 0) return 0;
  return value;
}

uint32_t CCVNCore::WriteStateValue(std::u16string_view name, uint32_t value) {
  if (!registry_key_.IsOpen()) return kErrorInvalidHandle;
  platform::RegistryKey state;
  if (const uint32_t rc = state.Create(registry_key_, kStateSubkey); rc != 0) return rc;
  return state.SetDword(name, value);
}

bool CCVNCore::LoadSharedConfigAtStart() {
  if (!settings_.Settings_UseSharedFile.value) return false;
  const std::u16string& path = settings_.Settings_SharedFilePath.value;
  if (path.empty() || !platform::FileExists(path)) return false;

  std::vector<uint8_t> bytes;
  if (!ReadTrustedSharedFile(bytes)) return false;
  shared_file_size = bytes.size();
  shared_file_crc = Crc32(bytes.data(), bytes.size());

  XmlDocument document(u"Corvane");
  if (document.Parse(bytes.data(), bytes.size()) != 0) return false;
  LogSharedChanges(TakeSharedSettings(document));

  // Keep the merged configuration as the local file; when that cannot be
  // written, go back to the local file so that the service runs on what the
  // console shows.
  const std::u16string settings_path = GetSettingsFilePath();
  if (settings_.SaveFile(settings_path) != 0) settings_.LoadFile(settings_path, false);
  return true;
}

}  // namespace cvn
