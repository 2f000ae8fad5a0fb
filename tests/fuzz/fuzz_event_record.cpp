// One raw record as a log hands it out, decoded and rendered: insertion
// strings, the user SID, parameter references, and messages taken from the
// plain message tables that the source "Src" registers.
#include "events/message_renderer.h"
#include "fuzz_support.h"
#include "platform/event_log.h"

namespace {

constexpr char16_t kLog[] = u"Application";

// Message tables and a registered source in this process's machine root.
void RegisterSource() {
  const auto root = cvn::fuzz::MachineRoot();
  const std::string events =
      "CVN-MESSAGE-TABLE 1\n"
      "MessageId=1\n%1|%2|%3|%4|%5|%6|%7|%8|%9|%10|%11|%12|%1\n.\n"
      "MessageId=1000\nThe service %1 entered the %2 state.%n%3%0\n.\n"
      "MessageId=0xC0000005\nAccess to %1 by %2 was denied: %%%3 %4!s!.\n.\n";
  const std::string parameters = "CVN-MESSAGE-TABLE 1\nMessageId=1537\nDelete %1\n.\n";
  cvn::fuzz::WriteFile(root / "events.msgtable",
                       {reinterpret_cast<const uint8_t*>(events.data()), events.size()});
  cvn::fuzz::WriteFile(root / "parameters.msgtable",
                       {reinterpret_cast<const uint8_t*>(parameters.data()), parameters.size()});
  cvn::platform::CreateEventLog(kLog);
  cvn::platform::EventSourceRegistration source;
  source.event_message_file =
      cvn::fuzz::U16(root / "missing.dll") + u";" + cvn::fuzz::U16(root / "events.msgtable");
  source.parameter_message_file = cvn::fuzz::U16(root / "parameters.msgtable");
  cvn::platform::AddEventSource(kLog, u"Src", source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool registered = (RegisterSource(), true);
  static cvn::CMessageRenderer renderer{cvn::CMessageRenderer::PublisherFormatter()};
  (void)registered;
  cvn::SEventRecord record;
  if (renderer.BuildEventRecord(record, {data, size}, kLog) != 0) return 0;
  if (record.description.size() > cvn::CMessageRenderer::kMaxDescriptionLength) __builtin_trap();
  return 0;
}
