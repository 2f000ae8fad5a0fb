#include "db/db_positions.h"

#include <limits>

#include "base/text.h"

namespace cvn::db {
namespace {

constexpr size_t kMaxNamePart = 63;  // PostgreSQL's longest identifier

bool IsPlainName(std::u16string_view part) {
  if (part.empty() || part.size() > kMaxNamePart) return false;
  if (part.front() >= u'0' && part.front() <= u'9') return false;
  for (const char16_t c : part) {
    const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    if (!letter && !(c >= u'0' && c <= u'9') && c != u'_') return false;
  }
  return true;
}

// A text literal; a NUL, which some drivers take for the end of the
// statement, is left out.
std::u16string Quoted(std::u16string_view text) {
  std::u16string out = u"'";
  for (const char16_t c : text) {
    if (c == u'\0') continue;
    if (c == u'\'') out += u'\'';
    out += c;
  }
  return out + u"'";
}

std::u16string Number(uint32_t n) { return Utf8ToUtf16(std::to_string(n)); }

bool ReadNumber(std::u16string_view text, uint32_t& out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + static_cast<uint64_t>(c - u'0');
  }
  if (value > std::numeric_limits<uint32_t>::max()) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

bool IsPlainTableName(std::u16string_view name) {
  const size_t dot = name.find(u'.');
  if (dot == std::u16string_view::npos) return IsPlainName(name);
  return IsPlainName(name.substr(0, dot)) && IsPlainName(name.substr(dot + 1));
}

CDbPositionTable::CDbPositionTable(std::u16string table, std::u16string_view computer)
    : table_(std::move(table)), computer_(Quoted(computer)) {}

std::u16string CDbPositionTable::CreateStatement() const {
  return u"CREATE TABLE " + table_ +
         u" (Computer VARCHAR(255) NOT NULL, LogName VARCHAR(255) NOT NULL, "
         u"RecordNumber BIGINT NOT NULL, TimeGenerated BIGINT NOT NULL, "
         u"PRIMARY KEY (Computer, LogName))";
}

std::u16string CDbPositionTable::SelectStatement() const {
  return u"SELECT LogName, RecordNumber, TimeGenerated FROM " + table_ + u" WHERE Computer = " +
         computer_;
}

std::u16string CDbPositionTable::UpdateStatement(std::u16string_view log,
                                                 const DbPosition& position) const {
  return u"UPDATE " + table_ + u" SET RecordNumber = " + Number(position.record) +
         u", TimeGenerated = " + Number(position.time) + u" WHERE Computer = " + computer_ +
         u" AND LogName = " + Quoted(log);
}

std::u16string CDbPositionTable::InsertStatement(std::u16string_view log,
                                                 const DbPosition& position) const {
  return u"INSERT INTO " + table_ + u" (Computer, LogName, RecordNumber, TimeGenerated) VALUES (" +
         computer_ + u", " + Quoted(log) + u", " + Number(position.record) + u", " +
         Number(position.time) + u")";
}

DbPositions CDbPositionTable::FromRows(const OdbcConnection::Rows& rows) {
  DbPositions out;
  for (const std::vector<std::u16string>& row : rows) {
    DbPosition position;
    if (row.size() == 3 && ReadNumber(row[1], position.record) &&
        ReadNumber(row[2], position.time)) {
      out[row[0]] = position;
    }
  }
  return out;
}

DbPositions CDbPositionTable::Newest(const std::vector<DbRecordPtr>& records) {
  DbPositions out;
  for (const DbRecordPtr& record : records) {
    if (!record->log.empty()) out[record->log] = {record->record_number, record->time_generated};
  }
  return out;
}

}  // namespace cvn::db
