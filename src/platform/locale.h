// Locale facts the service needs.
#pragma once

namespace cvn::platform {

// True when the system's default locale shows times on the 12-hour clock;
// false when it uses the 24-hour clock or the flag cannot be read.
bool SystemLocaleUses12HourClock();

}  // namespace cvn::platform
