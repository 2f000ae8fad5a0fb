// The syslog channel's registration with the core: the forwarder thread and
// the preparation that follows the filter step.
#include "syslog/syslog_forwarder.h"
#include "syslog/syslog_message.h"

namespace cvn::syslog {

void InstallSyslogChannel(CCVNCore& core) {
  core.SetThreadBody(CoreThread::kSyslog, [](CCVNCore& c) { return SyslogForwarderThread(c); });
  // A full queue holds the syslog channel's reading back (not the other
  // channels') until the forwarder has made room.
  core.SetChannelHandler(
      Channel::kSyslog,
      [](CCVNCore& c, const SEventRecord& record) {
        return c.syslog_queue.TryPush(PrepareSyslogMessage(c.Settings(), record),
                                      c.ThreadWakeEvent(CoreThread::kSyslog))
                   ? Offer::kTaken
                   : Offer::kFull;
      },
      [](CCVNCore& c) { return c.syslog_queue.HalfEmpty(); });
}

}  // namespace cvn::syslog
