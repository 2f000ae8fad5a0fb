// The registry side of event logs, the same on every platform: logs and
// sources are keys below kEventLogKey.
#include "base/win_errors.h"
#include "platform/event_log.h"
#include "platform/registry.h"

namespace cvn::platform {
namespace {

std::u16string LogKeyPath(std::u16string_view log_name) {
  std::u16string path(kEventLogKey);
  path += u'\\';
  path += log_name;
  return path;
}

bool ValidName(std::u16string_view name) {
  return !name.empty() && name.size() <= 255 && name.find(u'\\') == std::u16string_view::npos;
}

}  // namespace

uint32_t CreateEventLog(std::u16string_view log_name, uint32_t max_size) {
  if (!ValidName(log_name)) return err::kInvalidParameter;
  RegistryKey log;
  uint32_t result = log.Create(RegistryRoot::kLocalMachine, LogKeyPath(log_name));
  if (result != err::kSuccess) return result;
  if (max_size != 0) {
    result = log.SetDword(u"MaxSize", max_size);
    if (result != err::kSuccess) return result;
  }
  RegistryKey own_source;
  return own_source.Create(log, log_name);
}

uint32_t AddEventSource(std::u16string_view log_name, std::u16string_view source_name,
                        const EventSourceRegistration& registration) {
  if (!ValidName(log_name) || !ValidName(source_name)) return err::kInvalidParameter;
  RegistryKey log;
  uint32_t result = log.Open(RegistryRoot::kLocalMachine, LogKeyPath(log_name));
  if (result != err::kSuccess) return result;
  RegistryKey source;
  result = source.Create(log, source_name);
  if (result != err::kSuccess) return result;
  auto set_file = [&](std::u16string_view name, const std::u16string& value) {
    if (value.empty() || result != err::kSuccess) return;
    result = source.SetExpandString(name, value);
  };
  set_file(u"EventMessageFile", registration.event_message_file);
  set_file(u"ParameterMessageFile", registration.parameter_message_file);
  set_file(u"CategoryMessageFile", registration.category_message_file);
  if (result == err::kSuccess && registration.category_count != 0) {
    result = source.SetDword(u"CategoryCount", registration.category_count);
  }
  if (result == err::kSuccess)
    result = source.SetDword(u"TypesSupported", registration.types_supported);
  if (result == err::kSuccess && !registration.provider_guid.empty()) {
    result = source.SetString(u"ProviderGuid", registration.provider_guid);
  }
  return result;
}

uint32_t ListEventLogs(std::vector<std::u16string>& names) {
  names.clear();
  RegistryKey logs;
  const uint32_t result = logs.Open(RegistryRoot::kLocalMachine, kEventLogKey);
  if (result == err::kFileNotFound) return err::kSuccess;
  if (result != err::kSuccess) return result;
  return logs.EnumSubkeys(names);
}

uint32_t ClearEventLog(std::u16string_view log_name, std::u16string_view backup_path) {
  EventLog log;
  const uint32_t result = log.Open(log_name);
  if (result != err::kSuccess) return result;
  return log.Clear(backup_path);
}

}  // namespace cvn::platform
