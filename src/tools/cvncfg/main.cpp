// cvncfg: a look at a configuration file as the service reads it.
//
//   cvncfg dump <file>      every key as "Section/Key = value" (defaults for
//                           keys the file lacks); a malformed file is reported
//                           with the reason and exit code 1
//   cvncfg example <file>   writes the default configuration to <file>
//   cvncfg set <file> <Section/Key> <value>
//                           sets one key (see config_set.h for the value
//                           forms); a missing file is created with defaults
//   cvncfg share <file> <Section/Key> <value>
//                           the same, but a missing file is created empty, so
//                           a shared file holds only the keys set this way
//
// Exit codes: 0 success, 1 the file cannot be read, is malformed or cannot be
// written, or set was given an unknown key or a bad value; 2 usage.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "config/cvn_settings.h"
#include "platform/file.h"
#include "platform/program_entry.h"
#include "tools/cvncfg/config_check.h"
#include "tools/cvncfg/config_set.h"
#include "tools/tool_conventions.h"

namespace cvn {
namespace {

void Print(FILE* stream, std::u16string_view text) {
  const std::string bytes = Utf16ToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

int Usage(FILE* out = stderr) {
  std::fputs(
      "usage: cvncfg dump <file>      print every key of a configuration file\n"
      "       cvncfg example <file>   write the default configuration\n"
      "       cvncfg check <file>     check the configuration as a whole: a channel that\n"
      "                               is on without what it needs, ports, folders, files;\n"
      "                               one line per problem, exit 1 if there is any\n"
      "       cvncfg set <file> <Section/Key> <value>\n"
      "                               set one key, creating the file with defaults if\n"
      "                               missing; flags 1/0, numbers within the key's range,\n"
      "                               string lists as \"item1,item2\"; not filter lists\n"
      "       cvncfg share <file> <Section/Key> <value>\n"
      "                               the same for a shared file: a new file holds only\n"
      "                               the keys set this way, so merging it changes only those\n"
      "       cvncfg --help | --version\n",
      out);
  return tools::kExitUsage;
}

// A string in double quotes with control characters, quotes and backslashes
// escaped, so that every value stays on one line.
std::u16string Quoted(std::u16string_view value) {
  std::u16string out = u"\"";
  for (char16_t c : value) {
    switch (c) {
      case u'\r': out += u"\\r"; break;
      case u'\n': out += u"\\n"; break;
      case u'\t': out += u"\\t"; break;
      case u'"': out += u"\\\""; break;
      case u'\\': out += u"\\\\"; break;
      default:
        if (c < 0x20) {
          static const char16_t kHex[] = u"0123456789abcdef";
          out += u"\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += c;
        }
    }
  }
  out += u'"';
  return out;
}

std::u16string Number(int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string TextCriterion(const char16_t* label, const FilterRule::TextCriterion& c) {
  return std::u16string(u" ") + label + u"(active=" + Number(c.Active) + u" method=" +
         Number(c.Method) + u" content=" + Quoted(c.Content) + u")";
}

std::u16string DescribeRule(const FilterRule& r) {
  std::u16string out = u"name=" + Quoted(r.Name) + u" active=" + Number(r.Active);
  out += u" EventType(active=" + Number(r.EventType.Active) + u" value=" +
         Number(r.EventType.Value) + u")";
  out += TextCriterion(u"EventLog", r.EventLog);
  out += TextCriterion(u"Source", r.Source);
  out += TextCriterion(u"Category", r.Category);
  out += TextCriterion(u"User", r.User);
  out += u" EventID(active=" + Number(r.EventID.Active) + u" method=" + Number(r.EventID.Method) +
         u" value=" + Number(r.EventID.Value) + u")";
  out += u" Description(active=" + Number(r.Description.Active) + u" method=" +
         Number(r.Description.Method) + u" case=" + Number(r.Description.Case) + u" content=" +
         Quoted(r.Description.Content) + u")";
  return out;
}

void PrintVariable(const CSTSettings::Var_t& var) {
  std::u16string key = var.section ? std::u16string(var.section) + u"/" : std::u16string();
  key += var.name;
  std::u16string line = key + u" = ";
  if (const auto* v = dynamic_cast<const CSTSettings::VarInt_t*>(&var)) {
    line += Number(v->value);
  } else if (const auto* v = dynamic_cast<const CSTSettings::VarBool_t*>(&var)) {
    line += v->value ? u"1" : u"0";
  } else if (const auto* v = dynamic_cast<const CSTSettings::VarStr_t*>(&var)) {
    line += Quoted(v->value);
  } else if (const auto* v = dynamic_cast<const CSTSettings::VarStrList_t*>(&var)) {
    line += u"[";
    for (size_t i = 0; i < v->items.size(); ++i) {
      if (i != 0) line += u", ";
      line += Quoted(v->items[i]);
    }
    line += u"]";
  } else if (const auto* v = dynamic_cast<const CCVNSettings::VarFL_t*>(&var)) {
    line += Number(static_cast<int64_t>(v->rules.size())) + u" rule(s)";
    for (size_t i = 0; i < v->rules.size(); ++i) {
      line += u"\n" + key + u"[" + Number(static_cast<int64_t>(i)) + u"] = " +
              DescribeRule(v->rules[i]);
    }
  }
  line += u"\n";
  Print(stdout, line);
}

// Why the reader turns an image down, as far as the header tells; the
// element structure itself is only accepted or not.
std::string Diagnose(const std::string& bytes) {
  static const std::u16string_view kDeclaration = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>";
  if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xFE) {
    return "it does not start with the UTF-16 little-endian byte-order mark FF FE";
  }
  for (size_t i = 0; i < kDeclaration.size(); ++i) {
    const size_t at = 2 + 2 * i;
    if (at + 1 >= bytes.size()) return "it ends inside the XML declaration";
    const auto unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[at]) |
                                            (static_cast<unsigned char>(bytes[at + 1]) << 8));
    if (unit != kDeclaration[i]) {
      return "the XML declaration is not exactly <?xml version=\"1.0\" encoding=\"UTF-16\"?>";
    }
  }
  return "the elements are malformed (an unclosed or stray tag, a tag without '>', "
         "an attribute not written as name=\"value\", an element inside one of its own "
         "name, nesting deeper than " +
         std::to_string(XmlDocument::kMaxDepth) + " levels, or no root element)";
}

uint32_t ReadAll(std::u16string_view path, std::string& bytes) {
  platform::File file;
  uint32_t error = file.Open(path, platform::FileAccess::kRead, platform::FileShare::kRead,
                             platform::FileCreate::kOpenExisting);
  if (error != 0) return error;
  uint64_t size = 0;
  error = file.GetSize(size);
  if (error != 0) return error;
  if (size > XmlDocument::kMaxFileSize) return 14;
  bytes.resize(static_cast<size_t>(size));
  size_t total = 0;
  while (total < bytes.size()) {
    uint32_t read = 0;
    error = file.Read(bytes.data() + total, static_cast<uint32_t>(bytes.size() - total), read);
    if (error != 0) return error;
    if (read == 0) break;
    total += read;
  }
  bytes.resize(total);
  return 0;
}

// Elements of the file that no key reads: misspelt or foreign keys.
void WarnUnknownElements(const XmlDocument& document, const CCVNSettings& settings) {
  for (int s = 0; s < document.GetChildCount(); ++s) {
    const XmlNode& section = document.GetChild(s);
    const std::u16string section_name = section.GetName();
    for (int k = 0; k < section.GetChildCount(); ++k) {
      const std::u16string key = section.GetChild(k).GetName();
      bool known = false;
      for (const CSTSettings::Var_t* var : settings.Variables()) {
        if (var->section && section_name == var->section && key == var->name) known = true;
      }
      if (!known)
        Print(stderr, u"warning: " + section_name + u"/" + key + u" is not a key; ignored\n");
    }
    if (section.GetChildCount() == 0) {
      bool known = false;
      for (const CSTSettings::Var_t* var : settings.Variables()) {
        if (var->section && section_name == var->section) known = true;
      }
      if (!known) Print(stderr, u"warning: " + section_name + u" is not a section; ignored\n");
    }
  }
}

// Reads and parses the file as the service does; false with the reason told.
bool LoadForCheck(std::u16string_view path, XmlDocument& document) {
  std::string bytes;
  const uint32_t error = ReadAll(path, bytes);
  if (error != 0) {
    Print(stderr,
          u"cvncfg: cannot read " + std::u16string(path) + u": " + FileErrorText(error) + u"\n");
    return false;
  }
  if (document.Parse(bytes.data(), bytes.size()) != 0) {
    Print(stderr, u"cvncfg: " + std::u16string(path) + u" is not a valid configuration file: " +
                      Utf8ToUtf16(document.RejectReason().empty() ? Diagnose(bytes)
                                                                  : document.RejectReason()) +
                      u"\n");
    return false;
  }
  return true;
}

int Check(std::u16string_view path) {
  XmlDocument document(u"Corvane");
  if (!LoadForCheck(path, document)) return 1;
  CCVNSettings settings;
  settings.Load(document, true);
  const std::vector<std::string> problems = CheckConfiguration(settings);
  for (const std::string& line : problems) std::fprintf(stdout, "%s\n", line.c_str());
  return problems.empty() ? 0 : 1;
}

int Dump(std::u16string_view path) {
  std::string bytes;
  const uint32_t error = ReadAll(path, bytes);
  if (error != 0) {
    Print(stderr,
          u"cvncfg: cannot read " + std::u16string(path) + u": " + FileErrorText(error) + u"\n");
    return 1;
  }
  XmlDocument document(u"Corvane");
  if (document.Parse(bytes.data(), bytes.size()) != 0) {
    // The reader's reason names the line where it stopped; the header checks
    // below explain the structure it expects.
    const std::string where = document.RejectReason();
    Print(stderr, u"cvncfg: " + std::u16string(path) + u" is not a valid configuration file: " +
                      Utf8ToUtf16(where.empty() ? Diagnose(bytes) : where) +
                      u". The service does not start with such a file, and keeps the "
                      u"configuration in force when it meets one at a reload.\n");
    return 1;
  }
  if (document.GetName() != u"Corvane") {
    Print(stderr, u"note: the root element is " + document.GetName() +
                      u", not Corvane; the service reads it all the same\n");
  }
  CCVNSettings settings;
  settings.Load(document, true);
  WarnUnknownElements(document, settings);
  for (const CSTSettings::Var_t* var : settings.Variables()) PrintVariable(*var);
  return 0;
}

int Example(std::u16string_view path) {
  const CCVNSettings defaults;
  const int32_t result = defaults.SaveFile(path);
  if (result != 0) {
    Print(stderr, u"cvncfg: cannot write " + std::u16string(path) + u": " +
                      FileErrorText(static_cast<uint32_t>(result)) + u"\n");
    return 1;
  }
  return 0;
}

int Set(std::u16string_view path, std::u16string_view key, std::u16string_view value,
        bool only_given) {
  std::u16string error;
  if (SetConfigValue(path, key, value, error, only_given)) return 0;
  Print(stderr, u"cvncfg: " + error + u"\n");
  return 1;
}

}  // namespace
}  // namespace cvn

int ProgramMain(std::vector<std::u16string> args) {
  if (const auto rc =
          cvn::tools::StandardOption(args, "cvncfg", [](FILE* out) { cvn::Usage(out); })) {
    return *rc;
  }
  if (args.size() == 4 && (args[0] == u"set" || args[0] == u"share")) {
    return cvn::Set(args[1], args[2], args[3], args[0] == u"share");
  }
  if (args.size() != 2) return cvn::Usage();
  if (args[0] == u"dump") return cvn::Dump(args[1]);
  if (args[0] == u"example") return cvn::Example(args[1]);
  if (args[0] == u"check") return cvn::Check(args[1]);
  return cvn::Usage();
}
