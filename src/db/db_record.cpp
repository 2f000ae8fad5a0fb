#include "db/db_record.h"

#include "events/placeholders.h"

namespace cvn::db {

DbRecordPtr PrepareDbRecord(std::u16string_view command_template, const SEventRecord& record) {
  auto out = std::make_shared<SDBRecordForExport>();
  out->statement = CPlaceholderFiller(PlaceholderChannel::kDatabase, record).Fill(command_template);
  return out;
}

}  // namespace cvn::db
