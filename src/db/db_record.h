// One event's SQL statement on its way to the database, and its preparation
// from the statement template.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "events/event_record.h"

namespace cvn::db {

struct SDBRecordForExport {
  std::u16string statement;  // the complete statement for one event
  uint64_t seq = 0;          // place in the channel's delivery order, from 1
  // Where the event stands in its log: the channel's position once the
  // statement is committed.
  std::u16string log;
  uint32_t record_number = 0;
  uint32_t time_generated = 0;
};

using DbRecordPtr = std::shared_ptr<SDBRecordForExport>;

// Fills the template with the record's values (the database placeholders);
// text values have their single quotes doubled, so that no value can end the
// string literal it is put in and change the statement.
DbRecordPtr PrepareDbRecord(std::u16string_view command_template, const SEventRecord& record);

}  // namespace cvn::db
