// The configuration as a whole, checked before a service runs on it: what a
// channel that is turned on needs, ports, folders and files that must exist.
#pragma once

#include <string>
#include <vector>

#include "config/cvn_settings.h"

namespace cvn {

// One line per problem, each naming its key ("Syslog/Server: ..."); empty
// when there is none.
std::vector<std::string> CheckConfiguration(const CCVNSettings& settings);

}  // namespace cvn
