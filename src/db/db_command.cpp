#include "db/db_command.h"

#include <algorithm>
#include <array>
#include <optional>

#include "base/text.h"
#include "events/placeholders.h"

namespace cvn::db {
namespace {

constexpr char16_t kMarker = u'?';

bool IsSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

// A character that may belong to a name, a keyword or a number; anything
// beyond ASCII counts, as a letter of a name.
bool IsWordChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'_' || c >= 0x80;
}

bool OneOf(char16_t c, std::u16string_view set) { return set.find(c) != std::u16string_view::npos; }

// The database placeholder that begins at pos, if any.
std::optional<std::u16string_view> PlaceholderAt(std::u16string_view text, size_t pos) {
  for (const std::u16string_view p : PlaceholdersOf(PlaceholderChannel::kDatabase)) {
    if (text.substr(pos, p.size()) == p) return p;
  }
  return std::nullopt;
}

// The first database placeholder that text holds, if any.
std::optional<std::u16string_view> PlaceholderIn(std::u16string_view text) {
  for (size_t pos = text.find(u'%'); pos != std::u16string_view::npos;
       pos = text.find(u'%', pos + 1)) {
    if (const auto p = PlaceholderAt(text, pos)) return p;
  }
  return std::nullopt;
}

// Where the quoted text that opens at `open` closes (its quote doubled
// inside it), or npos.
size_t ClosingQuote(std::u16string_view text, size_t open) {
  const char16_t quote = text[open];
  for (size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] != quote) continue;
    if (i + 1 < text.size() && text[i + 1] == quote) {
      ++i;
      continue;
    }
    return i;
  }
  return std::u16string_view::npos;
}

// Where the comment that begins at pos ends (after its last character).
size_t CommentEnd(std::u16string_view text, size_t pos) {
  if (text[pos] == u'-') {
    const size_t eol = text.find(u'\n', pos);
    return eol == std::u16string_view::npos ? text.size() : eol;
  }
  const size_t close = text.find(u"*/", pos + 2);
  return close == std::u16string_view::npos ? std::u16string_view::npos : close + 2;
}

bool CommentBegins(std::u16string_view text, size_t pos) {
  const std::u16string_view two = text.substr(pos, 2);
  return two == u"--" || two == u"/*";
}

// A quoted literal that a marker replaces must stand where any value may:
// after an operator or an opening parenthesis or comma, or after one of a
// few keywords. Not after a prefix that makes it another kind of literal (E,
// N, X, U&) or a type name (DATE, TIMESTAMP, {ts ...}), and not next to
// another literal (which some systems join with it).
bool MarkerMayFollow(std::u16string_view text, size_t open) {
  static constexpr std::array<std::u16string_view, 13> kWords = {
      u"select", u"distinct", u"when", u"then", u"else",    u"like",  u"ilike",
      u"and",    u"or",       u"not",  u"in",   u"between", u"return"};
  if (open > 0 && IsWordChar(text[open - 1])) return false;
  size_t end = open;
  while (end > 0 && IsSpace(text[end - 1])) --end;
  if (end == 0) return true;
  if (OneOf(text[end - 1], u"(,=<>|+-*/~!")) return true;
  size_t begin = end;
  while (begin > 0 && IsWordChar(text[begin - 1])) --begin;
  if (begin == end) return false;
  const std::u16string word = AsciiLower(text.substr(begin, end - begin));
  return std::find(kWords.begin(), kWords.end(), word) != kWords.end();
}

bool MarkerMayPrecede(std::u16string_view text, size_t after) {
  if (after < text.size() && IsWordChar(text[after])) return false;
  while (after < text.size() && IsSpace(text[after])) ++after;
  return after == text.size() || text[after] != u'\'';
}

// A bare number placeholder between begin and end stands alone: nothing
// that would join it into a longer number, name or exponent touches it.
bool NumberStandsAlone(std::u16string_view text, size_t begin, size_t end) {
  if (begin > 0) {
    const char16_t before = text[begin - 1];
    if (!IsSpace(before) && !OneOf(before, u"(,=<>+-*/")) return false;
    // 1e-%EVENT_ID% is one number in the text.
    if (OneOf(before, u"+-") && begin > 1 &&
        (IsWordChar(text[begin - 2]) || text[begin - 2] == u'.')) {
      return false;
    }
  }
  return end == text.size() || IsSpace(text[end]) || OneOf(text[end], u"),;=<>+-*/:");
}

std::string Name(std::u16string_view placeholder) { return Utf16ToUtf8(placeholder); }

// Walks the template once, copying it into the prepared text with markers.
class TemplateScanner {
 public:
  explicit TemplateScanner(std::u16string_view text) : text_(text) {}

  DbTemplatePlan Run() {
    plan_.binds = true;
    while (plan_.binds && at_ < text_.size()) Step();
    if (!plan_.binds) {
      plan_.prepared.clear();
      plan_.markers.clear();
    }
    return plan_;
  }

 private:
  void Step() {
    const char16_t c = text_[at_];
    if (IsSpace(c)) return Copy(at_ + 1);
    if (CommentBegins(text_, at_)) return Comment();
    if (ended_) return Refuse("it holds more than one statement");
    if (c == u'\'') return Literal();
    if (c == u'"' || c == u'`') return QuotedName();
    if (c == u'%') return Percent();
    if (c == kMarker) return Refuse("it holds a parameter marker (?) of its own");
    if (c == u'$') return Refuse("it holds a $ (a dollar-quoted text or a numbered parameter)");
    if (c == u';') ended_ = true;
    Copy(at_ + 1);
  }

  void Comment() {
    const size_t end = CommentEnd(text_, at_);
    if (end == std::u16string_view::npos) return Refuse("a comment is not closed");
    const std::u16string_view body = text_.substr(at_, end - at_);
    if (const auto p = PlaceholderIn(body)) return Refuse(Name(*p) + " stands in a comment");
    if (body.find(kMarker) != std::u16string_view::npos) {
      return Refuse("a comment holds a parameter marker (?)");
    }
    Copy(end);
  }

  void Literal() {
    const size_t close = ClosingQuote(text_, at_);
    if (close == std::u16string_view::npos) return Refuse("a quoted literal is not closed");
    const std::u16string_view body = text_.substr(at_ + 1, close - at_ - 1);
    const auto p = PlaceholderIn(body);
    if (!p) {
      // A backslash may escape a quote on some systems: where this literal
      // ends would then be unsure.
      if (body.find(u'\\') != std::u16string_view::npos) {
        return Refuse("a quoted literal holds a backslash");
      }
      return Copy(close + 1);
    }
    if (body != *p) return Refuse(Name(*p) + " does not stand alone in its quoted literal");
    if (!MarkerMayFollow(text_, at_) || !MarkerMayPrecede(text_, close + 1)) {
      return Refuse("'" + Name(*p) +
                    "' stands where a parameter marker cannot (after a prefix "
                    "or type name, or next to another literal)");
    }
    Mark(*p, false, close + 1);
  }

  void QuotedName() {
    const size_t close = ClosingQuote(text_, at_);
    if (close == std::u16string_view::npos) return Refuse("a quoted name is not closed");
    if (const auto p = PlaceholderIn(text_.substr(at_, close - at_))) {
      return Refuse(Name(*p) + " stands in a quoted name");
    }
    Copy(close + 1);
  }

  void Percent() {
    const auto p = PlaceholderAt(text_, at_);
    if (!p) return Copy(at_ + 1);  // not a database placeholder: it stays as written
    if (!IsNumberPlaceholder(*p)) return Refuse(Name(*p) + " stands outside a quoted literal");
    if (!NumberStandsAlone(text_, at_, at_ + p->size())) {
      return Refuse(Name(*p) + " touches other characters outside a quoted literal");
    }
    Mark(*p, true, at_ + p->size());
  }

  void Mark(std::u16string_view placeholder, bool number, size_t next) {
    plan_.prepared += kMarker;
    plan_.markers.push_back({std::u16string(placeholder), number});
    at_ = next;
  }

  void Copy(size_t next) {
    plan_.prepared.append(text_.substr(at_, next - at_));
    at_ = next;
  }

  void Refuse(const std::string& why) {
    plan_.binds = false;
    plan_.why_text = why + " (at character " + std::to_string(at_ + 1) + ")";
  }

  std::u16string_view text_;
  size_t at_ = 0;
  bool ended_ = false;  // a ';' ended the first statement
  DbTemplatePlan plan_;
};

std::optional<int32_t> ParseDecimal(std::u16string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int32_t value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  return value;
}

}  // namespace

DbTemplatePlan AnalyzeDbTemplate(std::u16string_view command_template) {
  return TemplateScanner(command_template).Run();
}

CDbCommand::CDbCommand(std::u16string command_template)
    : template_(std::move(command_template)), plan_(AnalyzeDbTemplate(template_)) {}

std::vector<OdbcValue> CDbCommand::Values(const SEventRecord& record) const {
  // One filler for all markers: the computer's address is looked up once.
  const CPlaceholderFiller filler(PlaceholderChannel::kDatabase, record);
  std::vector<OdbcValue> out;
  out.reserve(plan_.markers.size());
  for (const DbMarker& marker : plan_.markers) {
    std::u16string value = filler.ValueOf(marker.placeholder).value_or(marker.placeholder);
    const std::optional<int32_t> number = marker.number ? ParseDecimal(value) : std::nullopt;
    out.push_back(number ? OdbcValue::Number(*number) : OdbcValue::Text(std::move(value)));
  }
  return out;
}

std::u16string CDbCommand::Filled(const SEventRecord& record, bool double_backslashes) const {
  CPlaceholderFiller filler(PlaceholderChannel::kDatabase, record);
  filler.SetDoubleBackslashes(double_backslashes);
  return filler.Fill(template_);
}

}  // namespace cvn::db
