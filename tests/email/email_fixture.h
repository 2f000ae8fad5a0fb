// A core of its own with the e-mailer thread, for the channel's tests: the
// settings point at 127.0.0.1, the records are simple, and the service log
// is read back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/cvn_core.h"
#include "email/email_forwarder.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace cvn::email_test {

// Polls until done() holds or 15 s pass.
template <class F>
bool Eventually(F done) {
  for (int i = 0; i < 1500 && !done(); ++i) platform::SleepMs(10);
  return done();
}

// A pipe name no other test uses, for a core of its own.
std::u16string UniquePipeName(const char* role);

class EmailFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void StartThread();
  void StopThread();
  // A record of the given source and description, through the channel's
  // dispatch step (prepare, count, queue, wake).
  Offer Dispatch(const std::u16string& source, const std::u16string& description);
  // Everything in the service's day log files.
  std::string ServiceLogs() const;
  CCVNSettings& settings() { return core_->Settings(); }

  cvn::testing::ScopedMachineRoot root_;
  std::unique_ptr<CCVNCore> core_;
  CEmailChannel channel_;
  std::unique_ptr<platform::Thread> thread_;
};

}  // namespace cvn::email_test
