// The pure parts of the SMTP client: reading a reply, base64, and composing
// the DATA text of a message.
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/text.h"
#include "base/time32.h"
#include "email/smtp_client.h"

namespace cvn {
namespace {

bool Holds(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "\r\nDate: Thu, 10 Dec 26 03:04:05 +0530", or nothing when the local time
// cannot be formed.
std::string DateLine(int64_t now, LocalTimeFunction local_time) {
  std::tm tm{};
  if (!local_time || !local_time(now, tm)) return {};
  if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) return {};
  char text[64];
  std::snprintf(text, sizeof text, "\r\nDate: %s, %02d %s %02d %02d:%02d:%02d", kDays[tm.tm_wday],
                tm.tm_mday % 100, kMonths[tm.tm_mon], (tm.tm_year + 1900) % 100, tm.tm_hour % 100,
                tm.tm_min % 100, tm.tm_sec % 100);
  // The zone: how far the local calendar time is ahead of UTC.
  const int64_t offset = SecondsFromUtc(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                        tm.tm_min, tm.tm_sec) -
                         now;
  const int64_t magnitude = offset < 0 ? -offset : offset;
  if (magnitude >= 100 * 3600) return text;  // no sensible zone
  char zone[16];
  std::snprintf(zone, sizeof zone, " %c%02d%02d", offset < 0 ? '-' : '+',
                static_cast<int>(magnitude / 3600), static_cast<int>(magnitude / 60 % 60));
  return std::string(text) + zone;
}

bool AnyAbove7F(std::u16string_view text) {
  for (char16_t c : text) {
    if (c > 0x7F) return true;
  }
  return false;
}

// "Subject: " and its value: plain ASCII as it is, otherwise encoded words
// of at most 72 base64 characters on folded lines. Control characters become
// blanks, so the text cannot end the header line.
std::string SubjectLines(std::u16string_view subject) {
  std::u16string clean(subject);
  for (char16_t& c : clean) {
    if (c < 0x20) c = u' ';
  }
  std::string out = "\r\nSubject: ";
  if (!AnyAbove7F(clean)) {
    for (char16_t c : clean) out.push_back(static_cast<char>(c));
    return out + "\r\n";
  }
  const std::string utf8 = Utf16ToUtf8(clean);
  const std::string encoded = Base64Encode(utf8.data(), utf8.size());
  constexpr size_t kPiece = 72;
  for (size_t at = 0; at < encoded.size(); at += kPiece) {
    if (at != 0) out += ' ';
    out += "=?utf-8?B?" + encoded.substr(at, kPiece) + "?=\r\n";
  }
  return out;
}

// The body in UTF-8 with CR LF line ends and a second period before every
// line that begins with one.
std::string StuffedBody(std::u16string_view body) {
  const std::string utf8 = Utf16ToUtf8(body);
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 32 + 8);
  bool line_start = true;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const char c = utf8[i];
    if (c == '\r' || c == '\n') {
      out += "\r\n";
      if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
      line_start = true;
      continue;
    }
    if (line_start && c == '.') out += '.';
    out += c;
    line_start = false;
  }
  return out;
}

}  // namespace

SmtpReplyFacts ParseSmtpReply(std::string_view bytes) {
  SmtpReplyFacts facts;
  if (bytes.size() >= 3 && std::isdigit(static_cast<unsigned char>(bytes[0])) &&
      std::isdigit(static_cast<unsigned char>(bytes[1])) &&
      std::isdigit(static_cast<unsigned char>(bytes[2]))) {
    facts.leading_code = (bytes[0] - '0') * 100 + (bytes[1] - '0') * 10 + (bytes[2] - '0');
  }
  facts.final_220 = Holds(bytes, "220 ");
  facts.continues_220 = Holds(bytes, "220-");
  facts.final_250 = Holds(bytes, "250 ");
  facts.continues_250 = Holds(bytes, "250-");
  facts.starttls = Holds(bytes, "STARTTLS");
  if (const size_t auth = bytes.find("AUTH"); auth != std::string_view::npos) {
    facts.auth_login = bytes.find("LOGIN", auth) != std::string_view::npos;
    facts.auth_plain = bytes.find("PLAIN", auth) != std::string_view::npos;
  }
  return facts;
}

std::string Base64Encode(const void* data, size_t length) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (length == 0 && bytes) length = std::strlen(reinterpret_cast<const char*>(bytes));
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  for (size_t i = 0; i < length; i += 3) {
    const size_t n = length - i < 3 ? length - i : 3;
    uint32_t group = uint32_t{bytes[i]} << 16;
    if (n > 1) group |= uint32_t{bytes[i + 1]} << 8;
    if (n > 2) group |= bytes[i + 2];
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += n > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

std::string BuildSmtpMessage(const SmtpMessage& message, std::string_view mailer, int64_t now,
                             LocalTimeFunction local_time) {
  std::string out;
  out.reserve(message.body.size() * 3 / 2 + 512);
  out += "From: " + message.from + "\r\nReply-To: " + message.from + "\r\nTo: " + message.to;
  out += DateLine(now, local_time);
  out += "\r\nMIME-Version: 1.0\r\nX-Mailer: ";
  out += mailer;
  const bool utf8 = AnyAbove7F(message.body);
  out += "\r\nContent-Type: " + message.content_type +
         (utf8 ? "; charset=\"utf-8\"\r\nContent-Transfer-Encoding: 8bit"
               : "; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit");
  out += SubjectLines(message.subject);
  out += "\r\n";
  out += StuffedBody(message.body);
  out += "\r\n.\r\n";
  return out;
}

}  // namespace cvn
