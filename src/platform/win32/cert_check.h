// The check of a TLS server's certificate on the system's certificate
// functions, for the SChannel client (which is told to leave it to us).
#pragma once

#include "platform/win32/win.h"
// win.h first: it sets up the Windows headers.
#include <wincrypt.h>

#include <cstdint>
#include <string>

#include "platform/tls.h"

namespace cvn::platform::win32 {

// Checks cert (with the intermediate certificates the server sent in its
// store) as check says for the name the client connected to. 0, or a
// certificate status from platform/tls.h with the reason in words in detail.
uint32_t CheckServerCertificate(PCCERT_CONTEXT cert, const TlsPeerCheck& check,
                                const std::string& server_name, std::string& detail);

}  // namespace cvn::platform::win32
