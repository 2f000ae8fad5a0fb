// The secondary server thread: every 20 seconds, on the clock's 20-second
// boundaries, it moves the event statistics on, tells the console when they
// changed, and merges the shared configuration file when Settings/TrackChanges
// asks for it and the file's content changed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cvn {

class CCVNCore;

// Thread body; returns 0 when its stop event is signalled.
uint32_t SecondaryServerThread(CCVNCore& core);

// Reads a whole file, opened without sharing; false when it is missing,
// cannot be read or gives fewer bytes than its size, and false with the
// reason in refusal when others may write it or it is larger than 4 MiB.
bool ReadSharedFile(std::u16string_view path, std::vector<uint8_t>& bytes, std::string& refusal);

}  // namespace cvn
