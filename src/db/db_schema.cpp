#include "db/db_schema.h"

#include "base/text.h"

namespace cvn::db {

std::optional<std::u16string> CreateEventLogTable(std::u16string_view dbms_name) {
  const std::u16string name = AsciiLower(dbms_name);
  // The columns of the default DB/Command: the time stamp as the service
  // writes it ("2016-12-08 14:05:09"), the numeric event type, the event id
  // (32 bits unsigned), the log, the source and the description.
  if (name.find(u"sqlite") != std::u16string::npos) {
    return u"CREATE TABLE IF NOT EXISTS EventLog (Id INTEGER PRIMARY KEY AUTOINCREMENT, "
           u"Generated TEXT NOT NULL, Type INTEGER NOT NULL, EventId INTEGER NOT NULL, "
           u"Log TEXT NOT NULL, Source TEXT NOT NULL, Description TEXT NOT NULL)";
  }
  if (name.find(u"postgresql") != std::u16string::npos) {
    return u"CREATE TABLE IF NOT EXISTS EventLog (Id bigserial PRIMARY KEY, "
           u"Generated timestamp NOT NULL, Type integer NOT NULL, EventId bigint NOT NULL, "
           u"Log text NOT NULL, Source text NOT NULL, Description text NOT NULL)";
  }
  return std::nullopt;
}

}  // namespace cvn::db
