// Shared pieces of the reader and monitor tests: a fresh machine root with
// test logs, records written through the platform, and a core whose syslog
// channel collects the record numbers it is offered.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/cvn_core.h"
#include "platform/sync.h"
#include "support/temp_dir.h"

namespace cvn::reader_test {

// Creates the log (with a source of its name); false when records written to
// it never show up, as on a system that only stubs the classic event log.
bool MakeLog(const std::u16string& name, uint32_t max_size = 0);
// Writes count records to the log; data_size bytes of data each.
void WriteRecords(const std::u16string& name, uint32_t count, uint32_t data_size = 0,
                  uint16_t type = 4);
// The record numbers from..to.
std::vector<uint32_t> Ascending(uint32_t from, uint32_t to);
// TimeGenerated of a record, 0 when it cannot be read.
uint32_t RecordTime(const std::u16string& name, uint32_t number);
// Text of a bookmark file, or "<missing>".
std::string BookmarkText(const std::u16string& key);

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new core, as after a service restart: the bookmarks are read again.
  void Restart();
  // One reader pass over the log, as the monitor makes it when it registers
  // the log; the record numbers offered to the channels, in order.
  std::vector<uint32_t> Pass(const std::u16string& name, bool skip_old = false);
  std::string Logs() const;

  cvn::testing::ScopedMachineRoot root_;
  std::unique_ptr<CCVNCore> core_;
  std::vector<uint32_t> forwarded_;
  uint32_t max_new_records_ = 10000;
};

#define REQUIRE_REAL_EVENT_LOG(...)                                                            \
  if (!MakeLog(__VA_ARGS__)) {                                                                 \
    GTEST_SKIP() << "written records never show up: this system only stubs the classic event " \
                    "log (Wine); the posix store carries these tests";                         \
  }

}  // namespace cvn::reader_test
