// Code pages through the system's converters. Characters a code page lacks
// become '?' (no best-fit look-alikes, so both platforms agree); UTF-16 code
// pages (1200, 1201), which the system converters do not take, are handled here.
#include "platform/codepage.h"

#include "platform/win32/win.h"

namespace cvn::platform {
namespace {

constexpr uint32_t kCpUtf16Le = 1200;
constexpr uint32_t kCpUtf16Be = 1201;

// Code pages that reject the default-character and best-fit arguments.
bool TakesNoFlags(uint32_t cp) {
  return cp == CP_UTF8 || cp == 65000 || cp == 42 || cp == 54936 || (cp >= 50220 && cp <= 50229) ||
         (cp >= 57002 && cp <= 57011);
}

bool IsUtf16(uint32_t cp) { return cp == kCpUtf16Le || cp == kCpUtf16Be; }

}  // namespace

uint32_t AnsiCodePage() { return ::GetACP(); }

bool IsValidCodePage(uint32_t code_page) {
  return code_page == kCpAnsi || IsUtf16(code_page) || ::IsValidCodePage(code_page) != FALSE;
}

bool ToCodePage(std::u16string_view text, uint32_t code_page, std::string& out) {
  out.clear();
  if (!IsValidCodePage(code_page)) return false;
  if (IsUtf16(code_page)) {
    const bool big = code_page == kCpUtf16Be;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
      const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
      out.push_back(big ? hi : lo);
      out.push_back(big ? lo : hi);
    }
    return true;
  }
  if (text.empty()) return true;
  const bool plain = TakesNoFlags(code_page);
  const DWORD flags = plain ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* default_char = plain ? nullptr : "?";
  const int length = static_cast<int>(text.size());
  const int need = ::WideCharToMultiByte(code_page, flags, win32::WideData(text), length, nullptr,
                                         0, default_char, nullptr);
  if (need <= 0) return false;
  out.resize(static_cast<size_t>(need));
  const int done = ::WideCharToMultiByte(code_page, flags, win32::WideData(text), length,
                                         out.data(), need, default_char, nullptr);
  if (done <= 0) {
    out.clear();
    return false;
  }
  out.resize(static_cast<size_t>(done));
  return true;
}

bool FromCodePage(std::string_view bytes, uint32_t code_page, std::u16string& out) {
  out.clear();
  if (!IsValidCodePage(code_page)) return false;
  if (IsUtf16(code_page)) {
    const bool big = code_page == kCpUtf16Be;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      const auto a = static_cast<unsigned char>(bytes[i]);
      const auto b = static_cast<unsigned char>(bytes[i + 1]);
      out.push_back(static_cast<char16_t>(big ? (a << 8) | b : (b << 8) | a));
    }
    return true;
  }
  if (bytes.empty()) return true;
  const int length = static_cast<int>(bytes.size());
  const int need = ::MultiByteToWideChar(code_page, 0, bytes.data(), length, nullptr, 0);
  if (need <= 0) return false;
  out.resize(static_cast<size_t>(need));
  const int done =
      ::MultiByteToWideChar(code_page, 0, bytes.data(), length, win32::WideBuffer(out), need);
  if (done <= 0) {
    out.clear();
    return false;
  }
  out.resize(static_cast<size_t>(done));
  return true;
}

}  // namespace cvn::platform
