#include "platform/environment.h"

#include <cstdlib>

#include "base/text.h"

namespace cvn::platform {

std::u16string GetEnvironmentValue(std::u16string_view name) {
  const char* value = std::getenv(Utf16ToUtf8(name).c_str());
  return value != nullptr ? Utf8ToUtf16(value) : std::u16string();
}

bool SetEnvironmentValue(std::u16string_view name, std::u16string_view value) {
  const std::string key = Utf16ToUtf8(name);
  if (value.empty()) return unsetenv(key.c_str()) == 0;
  return setenv(key.c_str(), Utf16ToUtf8(value).c_str(), 1) == 0;
}

}  // namespace cvn::platform
