// Runs the test child program (child.cpp) as a second process.
#pragma once

#include <string>

namespace cvn::testing {

// Runs the child with the given arguments (already quoted where needed) and
// returns its exit code, or -1 when it could not be started.
int RunChild(const std::string& arguments);

}  // namespace cvn::testing
