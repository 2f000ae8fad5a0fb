// The composition of a message byte for byte, base64, and the reading of
// server replies.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "base/time32.h"
#include "email/smtp_client.h"

namespace cvn {
namespace {

// 2026-12-10 03:04:05 UTC, a Thursday.
constexpr int64_t kNow = 1796871845;

template <int kOffsetSeconds>
bool ShiftedTime(int64_t t, std::tm& out) {
  return UtcCalendarTime(t + kOffsetSeconds, out);
}

SmtpMessage Message(std::u16string subject, std::u16string body) {
  return {"alerts@example.test", "ops@example.test; b@example.test", std::move(subject),
          std::move(body), "text/plain"};
}

std::string Build(const SmtpMessage& m, LocalTimeFunction zone = &ShiftedTime<0>) {
  return BuildSmtpMessage(m, "CVN Mailer", kNow, zone);
}

// What follows the empty line that ends the header.
std::string BodyPart(const std::string& data) { return data.substr(data.find("\r\n\r\n") + 4); }

TEST(SmtpMessageTest, AsciiMessageIsComposedByteForByte) {
  EXPECT_EQ(Build(Message(u"Disk full", u"line one\r\nline two")),
            "From: alerts@example.test\r\nReply-To: alerts@example.test\r\n"
            "To: ops@example.test; b@example.test\r\n"
            "Date: Thu, 10 Dec 26 03:04:05 +0000\r\n"
            "MIME-Version: 1.0\r\nX-Mailer: CVN Mailer\r\n"
            "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
            "Content-Transfer-Encoding: 7bit\r\n"
            "Subject: Disk full\r\n"
            "\r\n"
            "line one\r\nline two\r\n.\r\n");
}

TEST(SmtpMessageTest, DateCarriesTheZoneOfTheLocalTime) {
  const std::string east = Build(Message(u"s", u"b"), &ShiftedTime<5 * 3600 + 1800>);
  EXPECT_NE(east.find("\r\nDate: Thu, 10 Dec 26 08:34:05 +0530\r\n"), std::string::npos) << east;
  const std::string west = Build(Message(u"s", u"b"), &ShiftedTime<-(3 * 3600 + 1800)>);
  EXPECT_NE(west.find("\r\nDate: Wed, 09 Dec 26 23:34:05 -0330\r\n"), std::string::npos) << west;
  const std::string half = Build(Message(u"s", u"b"), &ShiftedTime<-1800>);
  EXPECT_NE(half.find(" -0030\r\n"), std::string::npos) << half;
  const std::string none = Build(Message(u"s", u"b"), [](int64_t, std::tm&) { return false; });
  EXPECT_EQ(none.find("Date:"), std::string::npos) << none;
}

TEST(SmtpMessageTest, CharsetFollowsTheBodyOnly) {
  const std::string utf8_body = Build(Message(u"plain", u"caf\u00e9"));
  EXPECT_NE(utf8_body.find("Content-Type: text/plain; charset=\"utf-8\"\r\n"
                           "Content-Transfer-Encoding: 8bit\r\n"),
            std::string::npos);
  EXPECT_EQ(BodyPart(utf8_body), "caf\xC3\xA9\r\n.\r\n");
  const std::string utf8_subject = Build(Message(u"caf\u00e9", u"plain"));
  EXPECT_NE(utf8_subject.find("charset=\"us-ascii\""), std::string::npos);
}

TEST(SmtpMessageTest, SubjectWithNonAsciiBecomesEncodedWordsOf72Characters) {
  EXPECT_NE(Build(Message(u"\u00e9", u"b")).find("\r\nSubject: =?utf-8?B?w6k=?=\r\n\r\n"),
            std::string::npos);
  // 60 UTF-8 bytes: 80 base64 characters, a word of 72 and a folded one of 8.
  const std::u16string long_subject = u"\u00e9" + std::u16string(58, u'x');
  const std::string data = Build(Message(long_subject, u"b"));
  const size_t at = data.find("Subject: ");
  const std::string lines = data.substr(at, data.find("\r\n\r\n") - at);
  const size_t fold = lines.find("?=\r\n =?utf-8?B?");
  ASSERT_NE(fold, std::string::npos) << lines;
  EXPECT_EQ(fold - std::string("Subject: =?utf-8?B?").size(), 72u);
  EXPECT_EQ(lines.size() - (fold + std::string("?=\r\n =?utf-8?B?").size() + 2), 8u) << lines;
}

TEST(SmtpMessageTest, ControlCharactersInTheSubjectCannotAddHeaderLines) {
  const std::string data = Build(Message(u"a\r\nBcc: x@evil.test\tz", u"b"));
  EXPECT_NE(data.find("\r\nSubject: a  Bcc: x@evil.test z\r\n"), std::string::npos) << data;
  EXPECT_EQ(data.find("\r\nBcc:"), std::string::npos);
}

TEST(SmtpMessageTest, BodyLinesAreNormalisedAndDotStuffed) {
  EXPECT_EQ(BodyPart(Build(Message(u"s", u"one\r\n.\r\nthree"))), "one\r\n..\r\nthree\r\n.\r\n");
  EXPECT_EQ(BodyPart(Build(Message(u"s", u"."))), "..\r\n.\r\n");
  // A lone LF or CR cannot end the data early.
  EXPECT_EQ(BodyPart(Build(Message(u"s", u"a\n.\nb\rc\r\n"))), "a\r\n..\r\nb\r\nc\r\n\r\n.\r\n");
}

TEST(SmtpMessageTest, Base64PadsAndStopsAtNulForLengthZero) {
  EXPECT_EQ(Base64Encode("", 0), "");
  EXPECT_EQ(Base64Encode("f", 1), "Zg==");
  EXPECT_EQ(Base64Encode("fo", 2), "Zm8=");
  EXPECT_EQ(Base64Encode("foobar", 0), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\0u\0p", 4), "AHUAcA==");
  EXPECT_EQ(Base64Encode("\xff\xfe", 2), "//4=");
}

TEST(SmtpMessageTest, ReplyFacts) {
  const SmtpReplyFacts ehlo =
      ParseSmtpReply("250-mail.test\r\n250-AUTH PLAIN LOGIN\r\n250 STARTTLS\r\n");
  EXPECT_EQ(ehlo.leading_code, 250);
  EXPECT_TRUE(ehlo.final_250 && ehlo.continues_250 && ehlo.starttls);
  EXPECT_TRUE(ehlo.auth_login && ehlo.auth_plain);
  // LOGIN before AUTH does not count as offered.
  const SmtpReplyFacts early = ParseSmtpReply("250-LOGIN\r\n250 AUTH PLAIN\r\n");
  EXPECT_FALSE(early.auth_login);
  EXPECT_TRUE(early.auth_plain);
  const SmtpReplyFacts partial = ParseSmtpReply("220-first");
  EXPECT_TRUE(partial.continues_220 && !partial.final_220);
  EXPECT_EQ(ParseSmtpReply("55").leading_code, 0);
  EXPECT_EQ(ParseSmtpReply("x54 no").leading_code, 0);
}

}  // namespace
}  // namespace cvn
