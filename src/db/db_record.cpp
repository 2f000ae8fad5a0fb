#include "db/db_record.h"

#include "events/placeholders.h"

namespace cvn::db {

DbRecordPtr PrepareDbRecord(std::u16string_view command_template, const SEventRecord& record) {
  auto out = std::make_shared<SDBRecordForExport>();
  out->statement = CPlaceholderFiller(PlaceholderChannel::kDatabase, record).Fill(command_template);
  out->log = record.logName;
  out->record_number = record.recordNumber;
  out->time_generated = record.timeGenerated;
  return out;
}

}  // namespace cvn::db
