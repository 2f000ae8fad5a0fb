// A service that stays stop-pending makes "stop" give up after its fixed
// 15-second limit (labelled slow: it takes that long).
#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/file.h"
#include "platform/service_manager.h"
#include "service/command_line.h"
#include "service/service_control.h"
#include "service_test_support.h"
#include "support/temp_dir.h"

namespace cvn::service {
namespace {

namespace pf = cvn::platform;

class BufferConsole : public Console {
 public:
  void Write(std::u16string_view text) override { text_ += text; }
  std::u16string text_;
};

TEST(StopTimeout, ServiceStuckInStopPendingFailsWithStep18) {
  cvn::testing::ScopedMachineRoot root;
  cvn::testing::TempDir dir;
  const std::u16string release = dir.u16() + pf::kPathSeparator + u"release";
  cvn::testing::RemoveServiceIfPresent(kServiceName);
  ASSERT_EQ(cvn::testing::CreateFakeService(kServiceName, u"stuck_stop", release), 0u);

  BufferConsole console;
  EXPECT_EQ(RunCommandLine({u"start"}, console), 0u);
  EXPECT_EQ(RunCommandLine({u"stop"}, console), 0x0212041Du);  // 1053: no timely answer
  EXPECT_EQ(Utf16ToUtf8(console.text_),
            "Starting service... OK\nStopping service... FAILED err_code=0x0212041D\n" +
                Utf16ToUtf8(SystemErrorText(1053)) + "\n");

  pf::File f;
  f.Open(release, pf::FileAccess::kWrite, pf::FileShare::kAll, pf::FileCreate::kCreateAlways);
  pf::ServiceManager manager;
  pf::Service service;
  ASSERT_EQ(manager.Open(pf::kManagerConnect), 0u);
  ASSERT_EQ(service.Open(manager, kServiceName, pf::kServiceQueryStatus), 0u);
  EXPECT_TRUE(cvn::testing::WaitForState(service, pf::kServiceStopped));
  service.Close();
  cvn::testing::RemoveServiceIfPresent(kServiceName);
}

}  // namespace
}  // namespace cvn::service
