#include "db/db_record.h"

namespace cvn::db {

DbRecordPtr PrepareDbRecord(const SEventRecord& record) {
  auto out = std::make_shared<SDBRecordForExport>();
  out->event = record;
  out->log = record.logName;
  out->record_number = record.recordNumber;
  out->time_generated = record.timeGenerated;
  return out;
}

}  // namespace cvn::db
