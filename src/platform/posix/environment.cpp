#include "platform/environment.h"

#include <unistd.h>

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

std::u16string LocalComputerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return {};
  std::string name(host);
  name = name.substr(0, name.find('.'));
  if (name.size() > 15) name.resize(15);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return Utf8ToUtf16(name);
}

}  // namespace cvn::platform
