// The syslog channel's registration with the core: the forwarder thread and
// the preparation that follows the filter step.
#include "syslog/syslog_forwarder.h"
#include "syslog/syslog_message.h"

namespace cvn::syslog {

void InstallSyslogChannel(CCVNCore& core) {
  core.SetThreadBody(CoreThread::kSyslog, [](CCVNCore& c) { return SyslogForwarderThread(c); });
  core.SetChannelHandler(Channel::kSyslog, [](CCVNCore& c, const SEventRecord& record) {
    c.syslog_queue.Push(PrepareSyslogMessage(c.Settings(), record));
    if (platform::Event* wake = c.ThreadWakeEvent(CoreThread::kSyslog)) wake->Set();
  });
}

}  // namespace cvn::syslog
