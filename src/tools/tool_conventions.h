// What every tool answers the same way: "--help" (or "-h") prints the usage
// on standard output and exits 0; "--version" prints the tool's name and the
// product version and exits 0. A usage error prints the usage on standard
// error and exits 2.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace cvn::tools {

constexpr int kExitUsage = 2;

// The exit code when args ask for help or the version; nothing otherwise.
// usage writes the usage text to the stream given.
template <class UsageFn>
std::optional<int> StandardOption(const std::vector<std::u16string>& args, const char* tool,
                                  UsageFn usage) {
  if (args.size() != 1) return std::nullopt;
  if (args[0] == u"--help" || args[0] == u"-h") {
    usage(stdout);
    return 0;
  }
  if (args[0] == u"--version") {
    std::printf("%s %s\n", tool, CVN_PRODUCT_VERSION);
    return 0;
  }
  return std::nullopt;
}

}  // namespace cvn::tools
