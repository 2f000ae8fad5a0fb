// The channel's positions as the target database keeps them: one row per
// computer and log, in the table that DB/PositionTable names, holding the
// newest record of that log whose output the channel finished. The exporter
// writes a log's row in the transaction that commits the log's records, so
// that rows and position never disagree: after a crash at any moment the
// next start reads on right after the position, and no row is written twice
// or lost.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_record.h"
#include "db/odbc.h"

namespace cvn::db {

struct DbPosition {
  uint32_t record = 0;  // the record number
  uint32_t time = 0;    // its TimeGenerated
};

// By log name.
using DbPositions = std::map<std::u16string, DbPosition, std::less<>>;

// Letters, digits and underscores (ASCII), not beginning with a digit, at
// most 63 of them; optionally a schema name of the same form and a dot in
// front. Only such a name stands in a statement unquoted on every database
// system, and none can change the statement it is put in.
bool IsPlainTableName(std::u16string_view name);

// The statements on one computer's rows of a position table. The table name
// must be plain (above); the texts are put in single quotes with their
// single quotes doubled.
class CDbPositionTable {
 public:
  // At most this many rows are read for one computer.
  static constexpr size_t kMaxRows = 1024;

  CDbPositionTable(std::u16string table, std::u16string_view computer);

  const std::u16string& Table() const { return table_; }
  // Without IF NOT EXISTS, which not every system knows: the caller looks
  // for the table first. BIGINT holds 32-bit unsigned numbers everywhere.
  std::u16string CreateStatement() const;
  // LogName, RecordNumber and TimeGenerated of the computer's rows.
  std::u16string SelectStatement() const;
  std::u16string UpdateStatement(std::u16string_view log, const DbPosition& position) const;
  std::u16string InsertStatement(std::u16string_view log, const DbPosition& position) const;

  // The rows of the select; a row whose numbers do not read as 32-bit
  // unsigned values is left out.
  static DbPositions FromRows(const OdbcConnection::Rows& rows);
  // The newest record of each log among records in their order; records
  // without a log are left out.
  static DbPositions Newest(const std::vector<DbRecordPtr>& records);

 private:
  std::u16string table_;
  std::u16string computer_;  // quoted
};

}  // namespace cvn::db
