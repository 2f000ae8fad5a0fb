#include "platform/message_module.h"

#include <cstdio>

#include "base/text.h"

namespace cvn::platform {

std::u16string FormatMessageFromFile(std::u16string_view path, uint32_t id, uint32_t* error) {
  MessageModule module;
  std::u16string text;
  uint32_t result = module.Load(path);
  if (result == 0) result = module.Format(id, text);
  if (error != nullptr) *error = result;
  if (result != 0) text.clear();
  return text;
}

std::u16string FormatSystemError(uint32_t code) {
  if (code == 0) return {};
  const int32_t signed_code = static_cast<int32_t>(code);
  std::u16string text;
  char number[48];
  if (FormatSystemMessage(code, false, text) != 0) {
    std::snprintf(number, sizeof number, "Error code: %d", signed_code);
    return Utf8ToUtf16(number);
  }
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) text.pop_back();
  std::snprintf(number, sizeof number, " (Error code: %d)", signed_code);
  return text + Utf8ToUtf16(number);
}

}  // namespace cvn::platform
