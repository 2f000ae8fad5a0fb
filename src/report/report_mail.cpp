// Mailing a scheduled report.
#include "report/report_schedule.h"

namespace cvn::report {

std::u16string MailReport(CCVNCore& /*core*/, std::u16string_view /*document*/, uint32_t /*end*/) {
  // This build has no SMTP client: every report mail fails with this reason.
  return u"E-mail delivery is not available in this build.";
}

}  // namespace cvn::report
