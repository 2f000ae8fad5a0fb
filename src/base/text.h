// UTF-16 text helpers. Text inside the service is std::u16string; these
// conversions are used at the edges (files, sockets, log lines, console).
#pragma once

#include <string>
#include <string_view>

namespace cvn {

// UTF-8 to UTF-16. Invalid or truncated sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// ASCII-only case folding, as the service's case-insensitive comparisons of
// names (logs, keys, sections) need; other characters compare exactly.
char16_t AsciiToLower(char16_t c);
std::u16string AsciiLower(std::u16string_view s);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

// The text with its control characters (below U+0020, and U+007F) written as
// visible escapes: \r, \n, \t, else \xHH; those in keep stay as they are.
// Text from outside logged this way can start no line, and printed this way
// (keeping "\n\t") can send no terminal a command.
std::string EscapeControlCharacters(std::string_view utf8, std::string_view keep = {});

// "&", '"', "'", "<" and ">" as character references, for text from outside
// (event names, sources, descriptions) that goes into an HTML document.
std::u16string EscapeHtml(std::u16string_view text);

}  // namespace cvn
