// The database channel's registration with the core: the preparation that
// follows the filter step, and the exporter with its worker, which the core
// starts and stops with its threads.
#pragma once

#include "core/cvn_core.h"

namespace cvn::db {

void InstallDbChannel(CCVNCore& core);

}  // namespace cvn::db
