// The syslog channel's registration with the core: the forwarder thread and
// the preparation that follows the filter step.
#include "syslog/syslog_forwarder.h"
#include "syslog/syslog_message.h"

namespace cvn::syslog {

void InstallSyslogChannel(CCVNCore& core) {
  core.SetThreadBody(CoreThread::kSyslog, [](CCVNCore& c) { return SyslogForwarderThread(c); });
  core.SetChannelHandler(Channel::kSyslog, [](CCVNCore& c, const SEventRecord& record) {
    // A full queue holds the reader here until the forwarder has made room,
    // or the threads stop.
    return c.syslog_queue.PushWhenRoom(PrepareSyslogMessage(c.Settings(), record),
                                       c.ThreadWakeEvent(CoreThread::kSyslog),
                                       [&c] { return c.WhileWaitingForRoom(); });
  });
}

}  // namespace cvn::syslog
