// Building file images for the reader tests.
#pragma once

#include <string>
#include <string_view>

#include "config/xml_document.h"

namespace cvn::testing {

inline constexpr std::u16string_view kXmlDeclaration =
    u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>";

// UTF-16LE bytes of text, without a BOM.
inline std::string Utf16LeBytes(std::u16string_view text) {
  std::string bytes(2 * text.size(), '\0');
  char* out = bytes.data();
  for (char16_t c : text) {
    *out++ = static_cast<char>(c & 0xFF);
    *out++ = static_cast<char>(c >> 8);
  }
  return bytes;
}

// BOM, declaration, CR LF and body.
inline std::string XmlImage(std::u16string_view body) {
  return "\xFF\xFE" + Utf16LeBytes(kXmlDeclaration) + Utf16LeBytes(u"\r\n") + Utf16LeBytes(body);
}

inline int32_t ParseImage(XmlDocument& document, const std::string& image) {
  return document.Parse(image.data(), image.size());
}

inline int32_t ParseBody(XmlDocument& document, std::u16string_view body) {
  return ParseImage(document, XmlImage(body));
}

}  // namespace cvn::testing
