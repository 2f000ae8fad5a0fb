// cvncfg check: a configuration whose channels lack what they need is told
// key by key; the defaults pass.
#include "tools/cvncfg/config_check.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/temp_dir.h"

namespace cvn {
namespace {

TEST(ConfigCheck, EachProblemNamesItsKeyAndTheDefaultsPass) {
  EXPECT_TRUE(CheckConfiguration(CCVNSettings()).empty());
  const struct {
    std::function<void(CCVNSettings&)> change;
    std::string line;
  } cases[] = {
      {[](CCVNSettings& s) { s.Syslog_Forward.value = true; },
       "Syslog/Server: empty, but Syslog/Forward is on"},
      {[](CCVNSettings& s) {
         s.Email_Forward.value = true;
         s.Email_Server.value = u"mail.test";
         s.Email_From.value = u"a@x.test";
       },
       "Email/To: empty, but Email/Forward is on"},
      {[](CCVNSettings& s) { s.DB_Forward.value = true; },
       "DB/ConnString: empty, but DB/Forward is on"},
      {[](CCVNSettings& s) { s.General_LogFolder.value = u"/no/such/folder"; },
       "General/LogFolder: the folder /no/such/folder does not exist"},
      {[](CCVNSettings& s) {
         s.Syslog_Forward.value = true;
         s.Syslog_Server.value = u"127.0.0.1";
         s.Syslog_Tls.value = true;
         s.Syslog_TlsCaFile.value = u"/no/ca.pem";
       },
       "Syslog/TlsCaFile: the file /no/ca.pem cannot be read"},
  };
  for (const auto& c : cases) {
    CCVNSettings settings;
    c.change(settings);
    EXPECT_EQ(CheckConfiguration(settings), std::vector<std::string>{c.line});
  }
}

}  // namespace
}  // namespace cvn
