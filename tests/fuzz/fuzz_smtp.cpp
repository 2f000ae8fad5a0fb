// Server replies and event text on their way into a message. A reply of any
// bytes is read for its facts; a subject and a body of any UTF-16 text must
// give a message that keeps its shape: the header ends at the first empty
// line, no body line is a lone ".", and the end-of-data marker comes once, at
// the end.
#include <iterator>
#include <string>
#include <string_view>

#include "base/time32.h"
#include "email/smtp_client.h"

namespace {

bool Utc(int64_t t, std::tm& out) { return cvn::UtcCalendarTime(t, out); }

std::u16string Utf16Of(const uint8_t* data, size_t size) {
  std::u16string text(size / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  return text;
}

// The header lines the composition writes, each once; the text may only
// add folded continuation lines (starting with a blank) to the Subject.
constexpr std::string_view kHeaderNames[] = {
    "From:",         "Reply-To:", "To:",           "Date:",
    "MIME-Version:", "X-Mailer:", "Content-Type:", "Content-Transfer-Encoding:",
    "Subject:"};

void CheckShape(const std::string& data) {
  const size_t header_end = data.find("\r\n\r\n");
  if (header_end == std::string::npos) __builtin_trap();
  size_t named = 0;
  for (size_t at = 0; at <= header_end;) {
    const size_t end = data.find("\r\n", at);
    const std::string_view line(data.data() + at, end - at);
    if (line.find_first_of("\r\n") != std::string_view::npos) __builtin_trap();
    if (line.empty() || line[0] != ' ') {
      if (named >= std::size(kHeaderNames) || !line.starts_with(kHeaderNames[named])) {
        __builtin_trap();
      }
      ++named;
    }
    at = end + 2;
  }
  if (named != std::size(kHeaderNames)) __builtin_trap();
  const std::string_view marker = "\r\n.\r\n";
  if (data.size() < marker.size() + header_end ||
      data.compare(data.size() - marker.size(), marker.size(), marker) != 0 ||
      data.find(marker, header_end) != data.size() - marker.size()) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cvn::ParseSmtpReply(std::string_view(reinterpret_cast<const char*>(data), size));
  // The first byte splits the rest into subject and body.
  if (size < 1) return 0;
  const size_t subject_bytes = std::min<size_t>(data[0] * 2u, size - 1);
  cvn::SmtpMessage message{
      "alerts@example.test", "ops@example.test", Utf16Of(data + 1, subject_bytes),
      Utf16Of(data + 1 + subject_bytes, size - 1 - subject_bytes), "text/plain"};
  CheckShape(cvn::BuildSmtpMessage(message, "CVN Mailer", 0, &Utc));
  return 0;
}
