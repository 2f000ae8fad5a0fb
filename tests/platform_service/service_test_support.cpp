#include "service_test_support.h"

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace cvn::testing {

namespace pf = cvn::platform;

std::u16string CommandNextToTest(std::u16string_view program, std::u16string_view arguments) {
  std::u16string path;
  pf::ExecutablePath(path, 4096);
  path = path.substr(0, path.rfind(pf::kPathSeparator) + 1) + std::u16string(program);
  return u"\"" + path + u"\" " + std::u16string(arguments);
}

std::u16string FakeServiceCommand(std::u16string_view name, std::u16string_view mode,
                                  std::u16string_view file) {
  std::u16string arguments = std::u16string(name) + u" " + std::u16string(mode);
  if (!file.empty()) arguments += u" \"" + std::u16string(file) + u"\"";
  return CommandNextToTest(Utf8ToUtf16(CVN_FAKE_SERVICE_FILE), arguments);
}

bool WaitForState(pf::Service& service, uint32_t state, uint32_t timeout_ms) {
  const uint32_t begin = pf::TickCount();
  for (;;) {
    pf::ServiceStatus status;
    if (service.QueryStatus(status) != 0) return false;
    if (status.current_state == state) return true;
    if (pf::TickCount() - begin > timeout_ms) return false;
    pf::SleepMs(50);
  }
}

void RemoveServiceIfPresent(std::u16string_view name) {
  {
    pf::ServiceManager manager;
    if (manager.Open(pf::kManagerConnect) != 0) return;
    pf::Service service;
    if (service.Open(manager, name,
                     pf::kServiceQueryStatus | pf::kServiceStop | pf::kServiceDelete) != 0)
      return;
    pf::ServiceStatus status;
    service.Control(pf::kServiceControlStop, status);
    WaitForState(service, pf::kServiceStopped, 20000);
    service.Delete();
  }
  for (int i = 0; i < 200; ++i) {
    pf::ServiceManager manager;
    pf::Service service;
    if (manager.Open(pf::kManagerConnect) != 0 ||
        service.Open(manager, name, pf::kServiceQueryStatus) == err::kServiceDoesNotExist)
      return;
    pf::SleepMs(50);
  }
}

uint32_t CreateServiceEntry(std::u16string_view name, const std::u16string& command_line) {
  pf::ServiceManager manager;
  if (uint32_t rc = manager.Open(pf::kManagerConnect | pf::kManagerCreateService)) return rc;
  pf::ServiceConfig config;
  config.command_line = command_line;
  // Display names are unique like service names.
  config.display_name = std::u16string(name) + u" (test)";
  pf::Service service;
  return service.Create(manager, name, config, pf::kServiceQueryStatus);
}

uint32_t CreateFakeService(std::u16string_view name, std::u16string_view mode,
                           std::u16string_view file) {
  return CreateServiceEntry(name, FakeServiceCommand(name, mode, file));
}

}  // namespace cvn::testing
