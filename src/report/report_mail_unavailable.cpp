// Mailing a scheduled report in a build without the SMTP client (the e-mail
// subsystem): every report mail fails with a reason that says so.
#include "report/report_schedule.h"

namespace cvn::report {

std::u16string MailReport(CCVNCore& /*core*/, std::u16string_view /*document*/, uint32_t /*end*/) {
  return u"E-mail delivery is not available in this build.";
}

}  // namespace cvn::report
