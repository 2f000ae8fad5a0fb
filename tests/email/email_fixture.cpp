#include "email_fixture.h"

#include <atomic>
#include <filesystem>
#include <random>

#include "base/text.h"
#include "platform/file.h"

namespace cvn::email_test {
std::u16string UniquePipeName(const char* role) {
  static std::atomic<unsigned> counter{0};
  return u"\\\\.\\pipe\\" +
         Utf8ToUtf16(std::string("cvn-email-") + role + "-" +
                     std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
}

void EmailFixture::SetUp() {
  // On Windows the logs folder is the machine's own: start from no log files.
  const std::u16string logs = platform::WithTrailingSeparator(CCVNCore::GetLogsFolder());
  for (const auto& name : platform::FindFiles(logs, u"CVN*.log")) platform::RemoveFile(logs + name);
  core_ = std::make_unique<CCVNCore>();
  core_->SetPipeNames(UniquePipeName("server"), UniquePipeName("console"));
  CCVNSettings& s = settings();
  s.Email_Server.value = u"127.0.0.1";
  s.Email_From.value = u"service@example.test";
  s.Email_To.value = u"ops@example.test";
  s.Email_Subject.value = u"%SOURCE%: %NUMBER_OF_EVENTS% event(s)";
  s.Email_TemplateHeader.value = u"[%NUMBER_OF_EVENTS%]\r\n";
  s.Email_Tempate.value = u"%DESCRIPTION%\r\n";
  s.Email_TemplateFooter.value = u"-- %NUMBER_OF_EVENTS%\r\n";
  SetEmailConnectRetryForTesting(50);
  ASSERT_EQ(core_->InitCore(), 0u);
}

void EmailFixture::TearDown() {
  StopThread();
  core_.reset();
  SetEmailConnectRetryForTesting(0);
}

void EmailFixture::StartThread() {
  thread_ = std::make_unique<platform::Thread>();
  ASSERT_TRUE(thread_->Start([this] { return EmailerThread(*core_); }));
}

void EmailFixture::StopThread() {
  if (!thread_) return;
  core_->ThreadStopEvent(CoreThread::kEmail)->Set();
  EXPECT_TRUE(thread_->Join(15000));
  thread_.reset();
}

Offer EmailFixture::Dispatch(const std::u16string& source, const std::u16string& description) {
  SEventRecord record;
  record.eventType = kEventTypeError;
  record.source = source;
  record.description = description;
  record.logName = u"Application";
  record.computer = u"HOST";
  return channel_.ProcessRecord(*core_, record);
}

std::string EmailFixture::ServiceLogs() const {
  std::string text;
  const std::u16string folder = platform::WithTrailingSeparator(CCVNCore::GetLogsFolder());
  for (const auto& name : platform::FindFiles(folder, u"CVN*.log")) {
    text += cvn::testing::ReadFileBytes(std::filesystem::path(folder + name));
  }
  return text;
}

}  // namespace cvn::email_test
