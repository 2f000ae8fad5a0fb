// strftime with the fixed "C" conventions, independent of the process locale
// and of the C runtime of the platform: English day and month names, AM/PM,
// "%x" as MM/dd/yy, "%c" as "MM/dd/yy HH:mm:ss", and the '#' flag of the
// Windows runtime ("%#x" long date, "%#c" long date and time, "%#d" and other
// numbers without leading zeros).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace cvn {

// Formats tm with format. Returns nullopt for a conversion it does not know
// (the text would otherwise silently differ between platforms).
std::optional<std::string> FormatCTime(std::string_view format, const std::tm& tm);

}  // namespace cvn
