// Locale facts the service needs.
#pragma once

namespace cvn::platform {

// True when the system's default locale shows times on the 12-hour clock;
// false when it uses the 24-hour clock or the flag cannot be read.
bool SystemLocaleUses12HourClock();

// Makes the process's narrow character set UTF-8 where a library converts
// UTF-16 text through it (the ODBC driver manager does for drivers without
// wide-character calls); nothing on Windows, where that set is the ANSI code
// page by design. Call while the process has one thread; later calls do
// nothing.
void UseUtf8NarrowText();

}  // namespace cvn::platform
