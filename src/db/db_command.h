// The statement template DB/Command as the database channel runs it.
//
// A template is analysed once, when the channel starts. Each placeholder
// that stands alone inside a quoted literal ('%SOURCE%') or, for a number,
// as a bare number (%EVENT_ID%), becomes a parameter marker, and the
// record's values are bound to the markers: no value can change the
// statement, whatever the database makes of quotes and backslashes. A
// template in which some placeholder cannot become a marker (inside a
// longer literal, a name, a comment, a text value outside quotes, ...) is
// filled as text as before: each text value with its single quotes doubled,
// and with its backslashes doubled too on a database that reads them as
// escapes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "db/odbc.h"
#include "events/event_record.h"

namespace cvn::db {

struct DbMarker {
  std::u16string placeholder;  // "%SOURCE%"
  bool number = false;         // bound as a number (a bare number placeholder)
};

// What the analysis of a template found.
struct DbTemplatePlan {
  bool binds = false;
  // With binds: the template with "?" in place of each placeholder (and of
  // the quotes around it), and the markers in their order.
  std::u16string prepared;
  std::vector<DbMarker> markers;
  // Without binds: why, naming the first thing that keeps it from binding.
  std::string why_text;
};

DbTemplatePlan AnalyzeDbTemplate(std::u16string_view command_template);

class CDbCommand {
 public:
  explicit CDbCommand(std::u16string command_template);

  const std::u16string& Template() const { return template_; }
  const DbTemplatePlan& Plan() const { return plan_; }
  bool Binds() const { return plan_.binds; }

  // With Binds: the values for the markers of one record, in their order. A
  // value the placeholders cannot make (an address that cannot be written,
  // a time that does not convert) is the placeholder itself, as text
  // filling would leave it.
  std::vector<OdbcValue> Values(const SEventRecord& record) const;
  // The template filled as text, single quotes doubled, and backslashes
  // too when double_backslashes.
  std::u16string Filled(const SEventRecord& record, bool double_backslashes) const;

 private:
  std::u16string template_;
  DbTemplatePlan plan_;
};

}  // namespace cvn::db
