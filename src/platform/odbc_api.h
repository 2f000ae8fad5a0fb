// The system's ODBC declarations: the ODBC C API is the same everywhere, only
// Windows wants its own headers in front of it. Included by the database
// subsystem's connection layer alone, in its source file.
#pragma once

#ifdef _WIN32
#include "platform/win32/win.h"
#endif

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>
