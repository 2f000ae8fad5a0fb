// The primary server thread: watches the registered event logs and runs the
// reader on a log when it reports new records.
#pragma once

#include <cstdint>

namespace cvn {

class CCVNCore;

// Thread body; returns 0 when its stop event is signalled or a wait fails.
uint32_t PrimaryServerThread(CCVNCore& core);

}  // namespace cvn
