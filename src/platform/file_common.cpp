// The parts of the file capability that are the same on every platform.
#include "base/text.h"
#include "platform/file.h"

namespace cvn::platform {

std::u16string WithTrailingSeparator(std::u16string folder) {
  if (!folder.empty() && folder.back() != kPathSeparator && folder.back() != u'\\') {
    folder.push_back(kPathSeparator);
  }
  return folder;
}

bool MatchesPattern(std::u16string_view name, std::u16string_view pattern) {
  // Iterative wildcard match with back-tracking to the last '*'.
  size_t n = 0, p = 0, star = std::u16string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == u'?' || AsciiToLower(pattern[p]) == AsciiToLower(name[n]))) {
      ++n, ++p;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      mark = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

}  // namespace cvn::platform
