// The console's property queries and assignments.
#include "core/cvn_core.h"

namespace cvn {

int CCVNCore::CI_OnGetProperty(uint8_t, control::CSTCtrlMessage&) { return 0; }

int CCVNCore::CI_OnSetProperty(uint8_t, control::CSTCtrlMessage&) { return 0; }

}  // namespace cvn
