// The local zone's UTC offsets as a table of transitions, taken from the C
// library's zone rules while the process may still call it freely, and read
// where it may not: the lookup touches static memory only (no lock, no
// allocation, no file), so a signal handler can ask for the offset of the
// moment it runs, on whichever side of a daylight-saving change that is.
#pragma once

#include <cstdint>

namespace cvn::platform::posix {

// Replaces the table with the offsets of [from, to] (seconds since 1970) in
// the zone the C library uses now (TZ, else /etc/localtime). Not safe while
// another thread looks up.
void LoadZoneOffsets(int64_t from, int64_t to);
// Seconds east of UTC at t; outside the loaded range the offset at its
// nearer end, 0 before any load. Async-signal-safe.
long ZoneOffsetAt(int64_t t);

}  // namespace cvn::platform::posix
