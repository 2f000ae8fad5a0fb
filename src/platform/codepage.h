// Conversion between UTF-16 and Windows code pages, by code page number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cvn::platform {

constexpr uint32_t kCpAnsi = 0;     // the system's ANSI code page
constexpr uint32_t kCpUtf8 = 65001;

// The system's ANSI code page; 65001 (UTF-8) on posix.
uint32_t AnsiCodePage();

// True when the code page can be converted to and from.
bool IsValidCodePage(uint32_t code_page);

// UTF-16 to the code page; characters the code page lacks become '?'.
// False when the code page is unknown.
bool ToCodePage(std::u16string_view text, uint32_t code_page, std::string& out);

// The code page to UTF-16; bytes that do not decode become U+FFFD (posix) or
// the system's replacement (Windows). False when the code page is unknown.
bool FromCodePage(std::string_view bytes, uint32_t code_page, std::u16string& out);

// Shorthands for the ANSI code page, as log lines and console texts use it.
std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view bytes);

}  // namespace cvn::platform
