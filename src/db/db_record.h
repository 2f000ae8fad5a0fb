// One event on its way to the database. The exporter makes its statement
// from the channel's template when it executes it, in the way the open
// connection needs (bound values, or text escaped for that database).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "events/event_record.h"

namespace cvn::db {

struct SDBRecordForExport {
  SEventRecord event;  // the values for the template
  // Executed as it is by an exporter without a template (tools, tests).
  std::u16string statement;
  uint64_t seq = 0;  // place in the channel's delivery order, from 1
  // Where the event stands in its log: the channel's position once the
  // statement is committed.
  std::u16string log;
  uint32_t record_number = 0;
  uint32_t time_generated = 0;
};

using DbRecordPtr = std::shared_ptr<SDBRecordForExport>;

// The record for an event, with its place in its log.
DbRecordPtr PrepareDbRecord(const SEventRecord& record);

}  // namespace cvn::db
