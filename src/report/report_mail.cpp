// Mailing a scheduled report through the SMTP client.
#include "base/text.h"
#include "email/email_forwarder.h"
#include "email/smtp_client.h"
#include "events/date_time_format.h"
#include "platform/codepage.h"
#include "platform/environment.h"
#include "report/report_schedule.h"

namespace cvn::report {

std::u16string MailReport(CCVNCore& core, std::u16string_view document, uint32_t end) {
  CCVNSettings& s = core.Settings();
  // The connection is secured as the e-mail channel's is: with
  // authentication on, a plain connection would carry the password in clear.
  CSTEMail2 client(platform::ToAnsi(s.Email_Server.value),
                   static_cast<uint16_t>(s.Email_Port.value), s.Email_SecureConnection.value);
  client.SetAbortCheck([&core] { return core.StopRequested(); });
  client.SetPeerCheck(EmailPeerCheck(s));
  if (client.Connect(s.Email_AuthType.value, platform::ToAnsi(s.Email_Username.value),
                     platform::ToAnsi(s.Email_Password.value)) != 0) {
    // The reason in words: a refused certificate must be told from a
    // server that is down.
    if (client.failure_text().empty()) return u"Failed to connect to the e-mail server.";
    return u"Failed to connect to the e-mail server: " + Utf8ToUtf16(client.failure_text());
  }
  const std::u16string subject =
      u"(" + platform::LocalComputerName() + u") System Events Report: " +
      FormatLongDateTime(end, static_cast<uint32_t>(s.General_TimeFormat.value));
  if (client.SendMail(platform::ToAnsi(s.Report_EmailFromAddress.value),
                      platform::ToAnsi(s.Report_EmailToAddress.value), subject, document,
                      "text/html") != 0) {
    client.Close();
    return u"Failed to send report to the server.";
  }
  client.Quit();
  return {};
}

}  // namespace cvn::report
