// Process environment variables.
#pragma once

#include <string>
#include <string_view>

namespace cvn::platform {

// The value of a variable; empty when it is not set.
std::u16string GetEnvironmentValue(std::u16string_view name);
// Sets a variable for this process and the processes it starts; an empty
// value removes it.
bool SetEnvironmentValue(std::u16string_view name, std::u16string_view value);

}  // namespace cvn::platform

namespace cvn::platform {

// The computer's name as GetComputerNameW gives it into a buffer of 16
// characters; empty when that fails. posix: the host name up to its first
// dot, upper case, cut to 15 characters.
std::u16string LocalComputerName();

}  // namespace cvn::platform
