#include "tools/cvncfg/config_check.h"

#include "base/text.h"
#include "platform/file.h"

namespace cvn {
namespace {

using Problems = std::vector<std::string>;

std::string Key(const CSTSettings::Var_t& var) {
  return Utf16ToUtf8(var.section) + "/" + Utf16ToUtf8(var.name);
}

void NeedText(Problems& out, const CSTSettings::VarStr_t& var, const CSTSettings::VarBool_t& on) {
  if (on.value && var.value.empty()) out.push_back(Key(var) + ": empty, but " + Key(on) + " is on");
}

void NeedPort(Problems& out, const CSTSettings::VarInt_t& port, const CSTSettings::VarBool_t& on) {
  if (on.value && (port.value < 1 || port.value > 65535)) {
    out.push_back(Key(port) + ": " + std::to_string(port.value) + " is not a port");
  }
}

void NeedFolder(Problems& out, const CSTSettings::VarStr_t& var) {
  if (!var.value.empty() && !platform::FolderExists(var.value)) {
    out.push_back(Key(var) + ": the folder " + Utf16ToUtf8(var.value) + " does not exist");
  }
}

void NeedReadableFile(Problems& out, const CSTSettings::VarStr_t& var, bool used) {
  if (!used || var.value.empty()) return;
  platform::File file;
  if (file.Open(var.value, platform::FileAccess::kRead, platform::FileShare::kRead,
                platform::FileCreate::kOpenExisting) != 0) {
    out.push_back(Key(var) + ": the file " + Utf16ToUtf8(var.value) + " cannot be read");
  }
}

}  // namespace

std::vector<std::string> CheckConfiguration(const CCVNSettings& s) {
  Problems out;
  NeedText(out, s.Syslog_Server, s.Syslog_Forward);
  NeedPort(out, s.Syslog_Port, s.Syslog_Forward);
  const bool syslog_tls = s.Syslog_Forward.value && s.Syslog_Tls.value;
  for (const auto* file : {&s.Syslog_TlsCaFile, &s.Syslog_TlsCertFile, &s.Syslog_TlsKeyFile}) {
    NeedReadableFile(out, *file, syslog_tls);
  }
  NeedText(out, s.Email_Server, s.Email_Forward);
  NeedText(out, s.Email_From, s.Email_Forward);
  NeedText(out, s.Email_To, s.Email_Forward);
  NeedPort(out, s.Email_Port, s.Email_Forward);
  NeedReadableFile(out, s.Email_TlsCaFile,
                   s.Email_Forward.value && s.Email_SecureConnection.value != 0);
  NeedText(out, s.DB_ConnString, s.DB_Forward);
  NeedText(out, s.Settings_SharedFilePath, s.Settings_UseSharedFile);
  NeedReadableFile(out, s.Settings_SharedFilePath, s.Settings_UseSharedFile.value);
  for (const auto* folder : {&s.General_CacheFolder, &s.General_LogFolder, &s.Report_FolderPath}) {
    NeedFolder(out, *folder);
  }
  return out;
}

}  // namespace cvn
