#include "core/event_log_monitor.h"

#include "core/cvn_core.h"

namespace cvn {

uint32_t PrimaryServerThread(CCVNCore& core) {
  platform::Event* stop = core.ThreadStopEvent(CoreThread::kPrimary);
  if (stop != nullptr) stop->Wait(platform::kInfinite);
  return 0;
}

}  // namespace cvn
