// The table that the default statement template writes into, in the dialect
// of the database system the driver names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cvn::db {

// CREATE TABLE IF NOT EXISTS EventLog (...) for a DBMS name as the driver
// reports it ("SQLite", "PostgreSQL"); nothing for a system not known here.
std::optional<std::u16string> CreateEventLogTable(std::u16string_view dbms_name);

}  // namespace cvn::db
