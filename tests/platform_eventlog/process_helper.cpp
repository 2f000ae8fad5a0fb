#include "process_helper.h"

#include <cstdlib>

namespace cvn::testing {

namespace {

// The child's path as the C runtime's system() of this build expects it: a
// Windows build running under Wine sees the build folder on drive Z:.
std::string ChildCommand() {
  std::string path = CVN_TEST_CHILD;
  if (CVN_TEST_CHILD_ON_WINE && !path.empty() && path[0] == '/') {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;
  }
  return "\"" + path + "\"";
}

}  // namespace

int RunChild(const std::string& arguments) {
  std::string command = ChildCommand() + " " + arguments;
  if (CVN_TEST_CHILD_ON_WINE) command = "\"" + command + "\"";  // cmd /c strips one pair
  const int status = std::system(command.c_str());
  if (status == -1) return -1;
  if (CVN_TEST_CHILD_ON_WINE) return status;
  return (status & 0x7F) == 0 ? (status >> 8) & 0xFF : -1;
}

}  // namespace cvn::testing
