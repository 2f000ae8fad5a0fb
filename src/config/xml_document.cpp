#include "config/xml_document.h"

#include <climits>
#include <new>
#include <unordered_map>

#include "base/win_errors.h"
#include "platform/file.h"

namespace cvn {

namespace {

constexpr std::u16string_view kDeclaration = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>";
constexpr size_t kDeclarationUnits = 39;
static_assert(kDeclaration.size() == kDeclarationUnits);
// BOM plus declaration.
constexpr size_t kHeaderBytes = 2 + 2 * kDeclarationUnits;

constexpr uint32_t kErrorOutOfMemory = 14;

bool IsTrimmed(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// The C run-time's notion of white space before a number.
bool IsNumberSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Replaces every occurrence of from by to in one pass, continuing after each
// replacement, so the inserted text is never scanned again.
void ReplaceAll(std::u16string& s, std::u16string_view from, std::u16string_view to) {
  size_t pos = s.find(from);
  if (pos == std::u16string::npos) return;
  std::u16string out;
  out.reserve(s.size());
  size_t last = 0;
  while (pos != std::u16string::npos) {
    out.append(s, last, pos - last);
    out.append(to);
    last = pos + from.size();
    pos = s.find(from, last);
  }
  out.append(s, last, std::u16string::npos);
  s.swap(out);
}

void AppendAttributes(std::u16string& out,
                      const std::map<std::u16string, std::u16string, std::less<>>& attributes) {
  for (const auto& [name, value] : attributes) {
    out += u' ';
    out += name;
    out += u"=\"";
    out += XmlEscape(value);
    out += u'"';
  }
}

}  // namespace

std::u16string XmlEscape(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'"': out += u"&quot;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

std::u16string XmlUnescape(std::u16string_view text) {
  std::u16string s(text);
  if (s.find(u'&') == std::u16string::npos) return s;
  ReplaceAll(s, u"&gt;", u">");
  ReplaceAll(s, u"&lt;", u"<");
  ReplaceAll(s, u"&quot;", u"\"");
  ReplaceAll(s, u"&amp;", u"&");
  return s;
}

std::u16string_view XmlTrim(std::u16string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsTrimmed(text[begin])) ++begin;
  while (end > begin && IsTrimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// ---------------------------------------------------------------------------
// XmlNode

XmlNode::XmlNode(std::u16string name) : name_(std::move(name)) {}

XmlNode::XmlNode(NullTag) : valid_(false), name_(u"(null)"), text_(u"(null)") {}

XmlNode::XmlNode(const XmlNode& other) = default;
XmlNode::XmlNode(XmlNode&& other) noexcept { *this = std::move(other); }

XmlNode::~XmlNode() = default;

XmlNode& XmlNode::operator=(const XmlNode& other) {
  if (this == &Null() || this == &other) return *this;
  XmlNode copy(other);
  return *this = std::move(copy);
}

XmlNode& XmlNode::operator=(XmlNode&& other) noexcept {
  if (this == &Null() || this == &other) return *this;
  if (&other == &Null()) {
    // The shared null node is never emptied by a move; it is copied instead.
    valid_ = false;
    name_ = other.name_;
    text_ = other.text_;
    children_.clear();
    attributes_.clear();
    index_.clear();
    return *this;
  }
  valid_ = other.valid_;
  name_ = std::move(other.name_);
  text_ = std::move(other.text_);
  children_ = std::move(other.children_);
  attributes_ = std::move(other.attributes_);
  index_ = std::move(other.index_);
  return *this;
}

XmlNode& XmlNode::Null() {
  static XmlNode null_node{NullTag{}};
  return null_node;
}

XmlNode& XmlNode::AddChild(std::u16string_view name) {
  if (!valid_) return Null();
  return children_.emplace_back(std::u16string(name));
}

XmlNode& XmlNode::FindChild(std::u16string_view name) {
  return const_cast<XmlNode&>(static_cast<const XmlNode*>(this)->FindChild(name));
}

const XmlNode& XmlNode::FindChild(std::u16string_view name) const {
  if (!index_.empty()) {
    const auto it = index_.find(name);
    // The index is not maintained after BuildIndex; verify before trusting it.
    if (it != index_.end() && it->second < children_.size() &&
        children_[it->second].name_ == name) {
      return children_[it->second];
    }
  }
  for (const XmlNode& child : children_) {
    if (child.name_ == name) return child;
  }
  return Null();
}

XmlNode& XmlNode::GetChild(int i) {
  if (i < 0 || static_cast<size_t>(i) >= children_.size()) return Null();
  return children_[static_cast<size_t>(i)];
}

const XmlNode& XmlNode::GetChild(int i) const {
  if (i < 0 || static_cast<size_t>(i) >= children_.size()) return Null();
  return children_[static_cast<size_t>(i)];
}

std::u16string XmlNode::GetAttribute(std::u16string_view name) const {
  const auto it = attributes_.find(name);
  return it == attributes_.end() ? std::u16string() : it->second;
}

void XmlNode::SetAttribute(std::u16string_view name, std::u16string_view value) {
  if (!valid_) return;
  const auto it = attributes_.find(name);
  if (it != attributes_.end()) {
    it->second.assign(value);
  } else {
    attributes_.emplace(std::u16string(name), std::u16string(value));
  }
}

void XmlNode::SetText(std::u16string_view text) {
  if (valid_) text_.assign(text);
}

int32_t XmlNode::GetTextInt() const {
  if (!valid_) return 0;
  size_t i = 0;
  const size_t n = text_.size();
  while (i < n && IsNumberSpace(text_[i])) ++i;
  bool negative = false;
  if (i < n && (text_[i] == u'+' || text_[i] == u'-')) {
    negative = text_[i] == u'-';
    ++i;
  }
  int64_t value = 0;
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  for (; i < n && text_[i] >= u'0' && text_[i] <= u'9'; ++i) {
    value = value * 10 + (text_[i] - u'0');
    if (value > limit) {
      value = limit;  // saturate; keep consuming digits
    }
  }
  return static_cast<int32_t>(negative ? -value : value);
}

void XmlNode::SetTextInt(int32_t value) {
  if (!valid_) return;
  const std::string digits = std::to_string(value);
  text_.assign(digits.begin(), digits.end());
}

void XmlNode::BuildIndex() {
  if (!valid_) return;
  index_.clear();
  for (size_t i = 0; i < children_.size(); ++i) {
    index_.emplace(children_[i].name_, i);  // keeps the first of a name
    children_[i].BuildIndex();
  }
}

void XmlNode::WriteTo(std::u16string& out, std::u16string_view line_break) const {
  if (!valid_) return;
  out += u'<';
  out += name_;
  AppendAttributes(out, attributes_);
  if (!children_.empty() || !text_.empty()) {
    out += u'>';
    if (!children_.empty()) {
      std::u16string inner(line_break);
      inner += u"  ";
      out += inner;
      for (const XmlNode& child : children_) child.WriteTo(out, inner);
      // Drop the two spaces of the last inner break: the closing tag lines up
      // with the opening one.
      out.resize(out.size() - 2);
    }
    out += XmlEscape(text_);
    out += u"</";
    out += name_;
    out += u'>';
  } else {
    out += u" />";
  }
  out += line_break;
}

// ---------------------------------------------------------------------------
// Reader

namespace {

enum class TokenKind { kStart, kEnd, kEmpty, kAttribute, kText };

struct Token {
  TokenKind kind;
  std::u16string_view value;  // name, attribute item or text, into the image
};

// Cuts tag content (already trimmed, not empty) into the name token and the
// attribute items: the name ends at the first space; each item runs to a
// double quote followed by a space that lies beyond its =".
void CutTag(std::u16string_view content, TokenKind kind, std::vector<Token>& tokens) {
  const size_t space = content.find(u' ');
  if (space == std::u16string_view::npos) {
    tokens.push_back({kind, content});
    return;
  }
  tokens.push_back({kind, content.substr(0, space)});
  const std::u16string_view rest = content.substr(space + 1);
  size_t current = 0;
  while (true) {
    const size_t equals = rest.find(u"=\"", current);
    const size_t close =
        equals == std::u16string_view::npos ? equals : rest.find(u"\" ", equals + 2);
    if (close == std::u16string_view::npos) {
      tokens.push_back({TokenKind::kAttribute, rest.substr(current)});
      return;
    }
    tokens.push_back({TokenKind::kAttribute, XmlTrim(rest.substr(current, close + 1 - current))});
    current = close + 2;
  }
}

// Also stops at nesting that is certainly too deep: start tags minus end tags
// so far never exceeds the depth the tree would reach, so a count beyond the
// limit is a rejection anyway, found without scanning the rest of the image.
// On failure, *failed_at is the offset of the tag that stopped it and *why
// says what is wrong with it.
bool Tokenize(std::u16string_view text, std::vector<Token>& tokens, size_t* failed_at,
              const char** why) {
  constexpr size_t npos = std::u16string_view::npos;
  size_t position = 0;
  int64_t open_elements = 0;
  auto fail = [&](size_t at, const char* reason) {
    *failed_at = at;
    *why = reason;
    return false;
  };
  while (true) {
    const size_t open = text.find(u'<', position);
    if (open == npos) return true;
    const size_t close = text.find(u'>', open + 1);
    if (close == npos) return fail(open, "a tag without its closing '>'");
    if (text[close - 1] == u'/' && close - 1 > open) {
      const std::u16string_view content = XmlTrim(text.substr(open + 1, close - 1 - (open + 1)));
      if (content.empty()) return fail(open, "a tag without a name");
      CutTag(content, TokenKind::kEmpty, tokens);
    } else if (text[open + 1] == u'/') {
      --open_elements;
      tokens.push_back({TokenKind::kEnd, XmlTrim(text.substr(open + 2, close - (open + 2)))});
    } else {
      const std::u16string_view content = XmlTrim(text.substr(open + 1, close - (open + 1)));
      if (content.empty()) return fail(open, "a tag without a name");
      if (++open_elements > XmlDocument::kMaxDepth) {
        return fail(open, "elements nested deeper than the reader accepts");
      }
      CutTag(content, TokenKind::kStart, tokens);
      const size_t next = text.find(u'<', close + 1);
      if (next != npos) {
        const std::u16string_view inner = XmlTrim(text.substr(close + 1, next - (close + 1)));
        if (!inner.empty()) tokens.push_back({TokenKind::kText, inner});
      }
    }
    position = close;
  }
}

// name="value": an "=" that is not the last character, a double quote right
// after it, and a closing double quote of its own as the last character.
bool ApplyAttribute(XmlNode& node, std::u16string_view item) {
  const size_t equals = item.find(u'=');
  if (equals == std::u16string_view::npos || equals + 2 >= item.size()) return false;
  if (item[equals + 1] != u'"' || item.back() != u'"') return false;
  const std::u16string_view value = item.substr(equals + 2, item.size() - 1 - (equals + 2));
  node.SetAttribute(item.substr(0, equals), XmlUnescape(value));
  return true;
}

}  // namespace

// Builds the tree from the token list without recursion: an explicit stack of
// open elements, each with the position of the end tag that closes it.
class XmlTreeBuilder {
 public:
  XmlTreeBuilder(const std::vector<Token>& tokens, XmlDocument& document)
      : tokens_(tokens), document_(document) {}

  // The token at which Build stopped (tokens_.size() when the image has no
  // root element that encloses everything).
  size_t FailedToken() const { return failed_; }

  bool Build() {
    const size_t n = tokens_.size();
    failed_ = n;
    if (n < 2 || tokens_.front().kind != TokenKind::kStart ||
        tokens_.back().kind != TokenKind::kEnd || tokens_.front().value != tokens_.back().value) {
      return false;
    }
    FindClosingTags();
    document_.SetName(std::u16string(tokens_.front().value));

    struct Open {
      XmlNode* node;
      size_t end;  // index of the closing end tag
    };
    std::vector<Open> stack;
    size_t pos = 1;
    if (!ApplyItems(document_, pos, n - 1)) return Fail(pos);
    stack.push_back({&document_, n - 1});
    while (!stack.empty()) {
      XmlNode& parent = *stack.back().node;
      const size_t end = stack.back().end;
      if (pos == end) {
        stack.pop_back();
        ++pos;  // past the end tag
        continue;
      }
      const Token& token = tokens_[pos];
      if (token.kind == TokenKind::kEmpty) {
        XmlNode& child = parent.AddChild(token.value);
        ++pos;
        if (!ApplyItems(child, pos, end)) return Fail(pos);
      } else if (token.kind == TokenKind::kStart) {
        const size_t closing = closing_[pos];
        if (closing == kNone || closing >= end) return Fail(pos);
        if (stack.size() >= XmlDocument::kMaxDepth) return Fail(pos);
        // The child stays in place while only its own subtree grows.
        XmlNode& child = parent.AddChild(token.value);
        ++pos;
        if (!ApplyItems(child, pos, closing)) return Fail(pos);
        stack.push_back({&child, closing});
      } else {
        return Fail(pos);  // an end tag without its start, a stray attribute or text
      }
    }
    return true;
  }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  bool Fail(size_t token) {
    failed_ = token;
    return false;
  }

  // For every start tag, the first end tag of the same name after it.
  void FindClosingTags() {
    closing_.assign(tokens_.size(), kNone);
    std::unordered_map<std::u16string_view, size_t> next_end;
    for (size_t i = tokens_.size(); i-- > 0;) {
      const Token& token = tokens_[i];
      if (token.kind == TokenKind::kEnd) {
        next_end[token.value] = i;
      } else if (token.kind == TokenKind::kStart) {
        const auto it = next_end.find(token.value);
        if (it != next_end.end()) closing_[i] = it->second;
      }
    }
  }

  // The attribute items after a tag, then the text item of a start tag.
  bool ApplyItems(XmlNode& node, size_t& pos, size_t end) {
    while (pos < end && tokens_[pos].kind == TokenKind::kAttribute) {
      if (!ApplyAttribute(node, tokens_[pos].value)) return false;
      ++pos;
    }
    if (pos < end && tokens_[pos].kind == TokenKind::kText) {
      node.SetText(XmlUnescape(tokens_[pos].value));
      ++pos;
    }
    return true;
  }

  const std::vector<Token>& tokens_;
  XmlDocument& document_;
  std::vector<size_t> closing_;
  size_t failed_ = 0;
};

namespace {

// "line N: what", N counted in text (line 1 holds the declaration, which
// text follows directly).
std::string AtLine(std::u16string_view text, size_t offset, const char* what) {
  size_t line = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == u'\n' ? 1 : 0;
  return "line " + std::to_string(line) + ": " + what;
}

}  // namespace

// ---------------------------------------------------------------------------
// XmlDocument

int32_t XmlDocument::Parse(const void* bytes, size_t size) {
  reject_reason_.clear();
  if (!IsValid() || bytes == nullptr) return -1;
  if (size > kMaxFileSize) {
    reject_reason_ = "the file is larger than the reader accepts";
    return -1;
  }
  try {
    return ParseImage(static_cast<const uint8_t*>(bytes), size);
  } catch (const std::bad_alloc&) {
    reject_reason_ = "the file's tree does not fit in memory";
    return -1;  // an image whose tree does not fit in memory is rejected
  }
}

int32_t XmlDocument::ParseImage(const uint8_t* b, size_t size) {
  if (size < 2 || b[0] != 0xFF || b[1] != 0xFE) {
    reject_reason_ = "it does not start with the UTF-16 little-endian byte-order mark FF FE";
    return -1;
  }
  for (size_t i = 0; i < kDeclarationUnits; ++i) {
    if (3 + 2 * i >= size) {
      reject_reason_ = "line 1: it ends inside the XML declaration";
      return -1;
    }
    const char16_t unit = static_cast<char16_t>(b[2 + 2 * i] | (b[3 + 2 * i] << 8));
    if (unit != kDeclaration[i]) {
      reject_reason_ =
          "line 1: the XML declaration is not <?xml version=\"1.0\" "
          "encoding=\"UTF-16\"?>";
      return -1;
    }
  }
  if (size < kHeaderBytes + 1) {
    reject_reason_ = "no root element that encloses all others";
    return -1;
  }
  const size_t units = (size - kHeaderBytes) / 2;  // an odd last byte is ignored
  std::u16string text(units, u'\0');
  for (size_t i = 0; i < units; ++i) {
    const size_t at = kHeaderBytes + 2 * i;
    text[i] = static_cast<char16_t>(b[at] | (b[at + 1] << 8));
  }
  std::vector<Token> tokens;
  size_t failed_at = 0;
  const char* why = "";
  if (!Tokenize(text, tokens, &failed_at, &why)) {
    reject_reason_ = AtLine(text, failed_at, why);
    return -1;
  }
  XmlTreeBuilder builder(tokens, *this);
  if (builder.Build()) return 0;
  const size_t token = builder.FailedToken();
  if (token >= tokens.size()) {
    reject_reason_ = "no root element that encloses all others";
  } else {
    // Token values are views into text: their offset is where the reader stopped.
    reject_reason_ = AtLine(text, static_cast<size_t>(tokens[token].value.data() - text.data()),
                            "an element that is not closed, an end tag without its start, an "
                            "attribute not written as name=\"value\" or stray text");
  }
  return -1;
}

int32_t XmlDocument::Load(std::u16string_view path) {
  reject_reason_.clear();
  if (!IsValid()) return -1;
  platform::File file;
  uint32_t error = file.Open(path, platform::FileAccess::kRead, platform::FileShare::kNone,
                             platform::FileCreate::kOpenExisting);
  if (error != 0) return static_cast<int32_t>(error);
  uint64_t size = 0;
  error = file.GetSize(size);
  if (error != 0) return static_cast<int32_t>(error);
  if (size > kMaxFileSize) return kErrorOutOfMemory;
  std::string buffer;
  try {
    buffer.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return kErrorOutOfMemory;
  }
  size_t total = 0;
  while (total < buffer.size()) {
    uint32_t read = 0;
    error = file.Read(buffer.data() + total, static_cast<uint32_t>(buffer.size() - total), read);
    if (error != 0) return static_cast<int32_t>(error);
    if (read == 0) break;
    total += read;
  }
  // A file that shrank while being read is a failure, not an empty success.
  if (total < buffer.size()) return static_cast<int32_t>(err::kHandleEof);
  return Parse(buffer.data(), buffer.size());
}

std::u16string XmlDocument::ToText() const {
  std::u16string text(kDeclaration);
  text += u"\r\n";
  WriteTo(text, u"\r\n");
  return text;
}

std::string XmlDocument::ToBytes() const {
  const std::u16string text = ToText();
  std::string bytes;
  bytes.reserve(2 + 2 * text.size());
  bytes += '\xFF';
  bytes += '\xFE';
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

int32_t XmlDocument::Save(std::u16string_view path) const {
  if (!IsValid()) return -1;
  std::string bytes;
  try {
    bytes = ToBytes();
  } catch (const std::bad_alloc&) {
    return kErrorOutOfMemory;
  }
  if (bytes.size() > UINT32_MAX) return kErrorOutOfMemory;
  {
    // A target that may not be written (read only, in use by a writer that
    // shares nothing) must fail the save, as writing it in place would.
    platform::File probe;
    const uint32_t error =
        probe.Open(path, platform::FileAccess::kWrite, platform::FileShare::kNone,
                   platform::FileCreate::kOpenExisting);
    if (error != 0 && error != err::kFileNotFound) return static_cast<int32_t>(error);
  }
  std::u16string temporary(path);
  temporary += u".tmp";
  platform::File file;
  uint32_t error = file.Open(temporary, platform::FileAccess::kWrite, platform::FileShare::kNone,
                             platform::FileCreate::kCreateAlways);
  if (error != 0) return static_cast<int32_t>(error);
  error = file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (error == 0) error = file.Sync();
  file.Close();
  if (error == 0) error = platform::ReplaceFile(temporary, path);
  if (error != 0) {
    platform::RemoveFile(temporary);
    return static_cast<int32_t>(error);
  }
  return 0;
}

}  // namespace cvn
