#include "platform/message_module.h"

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

}  // namespace cvn::platform
