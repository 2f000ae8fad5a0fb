#include "platform/codepage.h"

namespace cvn::platform {

std::string ToAnsi(std::u16string_view text) {
  std::string out;
  ToCodePage(text, kCpAnsi, out);
  return out;
}

std::u16string FromAnsi(std::string_view bytes) {
  std::u16string out;
  FromCodePage(bytes, kCpAnsi, out);
  return out;
}

}  // namespace cvn::platform
