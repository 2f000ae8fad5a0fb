// Internals of the posix event log that tests look at.
#pragma once

#include <cstdint>

namespace cvn::platform::posix {

// How many times this process has read a whole dirty log file to find its
// end-of-file record. A file is read once per change, however often it is
// counted or read in between.
uint64_t DirtyFileScans();

}  // namespace cvn::platform::posix
