// Code pages through iconv, with Windows code page numbers mapped to iconv's
// names. Conversion goes one character at a time on failure, so a character a
// code page lacks becomes '?' (as on Windows) instead of ending the text.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <string>

#include "base/text.h"

namespace cvn::platform {
namespace {

std::string IconvName(uint32_t cp) {
  switch (cp) {
    case 0:
    case 65001: return "UTF-8";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 936: return "GBK";
    case 950: return "BIG5";
    case 949: return "CP949";
    case 54936: return "GB18030";
    case 51932:
    case 20932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 50220: return "ISO-2022-JP";
    case 65000: return "UTF-7";
    default: break;
  }
  if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
  return "CP" + std::to_string(cp);
}

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of in; false when iconv stopped at an input it cannot convert
  // (consumed then tells how far it got).
  bool Run(const char* in, size_t size, std::string& out, size_t& consumed) {
    char* src = const_cast<char*>(in);
    size_t left = size;
    char buf[1024];
    for (;;) {
      char* dst = buf;
      size_t room = sizeof buf;
      const size_t rc = iconv(cd_, left ? &src : nullptr, &left, &dst, &room);
      out.append(buf, static_cast<size_t>(dst - buf));
      if (rc != static_cast<size_t>(-1) && left == 0) {
        consumed = size;
        return true;
      }
      if (rc == static_cast<size_t>(-1) && errno == E2BIG) continue;
      if (rc != static_cast<size_t>(-1)) continue;
      consumed = size - left;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      return false;
    }
  }

 private:
  iconv_t cd_;
};

size_t Utf16UnitsAt(std::u16string_view s, size_t i) {
  return (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
          s[i + 1] <= 0xDFFF)
             ? 2
             : 1;
}

}  // namespace

uint32_t AnsiCodePage() { return kCpUtf8; }

bool IsValidCodePage(uint32_t code_page) {
  return Converter(IconvName(code_page), "UTF-16LE").ok();
}

bool ToCodePage(std::u16string_view text, uint32_t code_page, std::string& out) {
  out.clear();
  if (code_page == kCpAnsi || code_page == kCpUtf8) {
    out = Utf16ToUtf8(text);
    return true;
  }
  Converter conv(IconvName(code_page), "UTF-16LE");
  if (!conv.ok()) return false;
  std::string utf16le;
  utf16le.reserve(text.size() * 2);
  for (char16_t c : text) {
    utf16le.push_back(static_cast<char>(c & 0xFF));
    utf16le.push_back(static_cast<char>(c >> 8));
  }
  size_t pos = 0;
  while (pos < utf16le.size()) {
    size_t consumed = 0;
    if (conv.Run(utf16le.data() + pos, utf16le.size() - pos, out, consumed)) break;
    pos += consumed;
    out.push_back('?');
    pos += 2 * Utf16UnitsAt(text, pos / 2);
  }
  return true;
}

bool FromCodePage(std::string_view bytes, uint32_t code_page, std::u16string& out) {
  out.clear();
  if (code_page == kCpAnsi || code_page == kCpUtf8) {
    out = Utf8ToUtf16(bytes);
    return true;
  }
  Converter conv("UTF-16LE", IconvName(code_page));
  if (!conv.ok()) return false;
  std::string utf16le;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t consumed = 0;
    if (conv.Run(bytes.data() + pos, bytes.size() - pos, utf16le, consumed)) break;
    pos += consumed + 1;  // skip one undecodable byte
    utf16le.append("\xFD\xFF", 2);
  }
  out.resize(utf16le.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(utf16le[2 * i]) |
                                   (static_cast<unsigned char>(utf16le[2 * i + 1]) << 8));
  }
  return true;
}

}  // namespace cvn::platform
