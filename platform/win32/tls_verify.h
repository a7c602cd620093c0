// The certificate check of the Windows TLS backend: a chain to a trusted
// root (the system's store, or a CA file given by the caller), dates, use
// for server authentication, and the server name by RFC 6125.
#pragma once

#include <cstdint>

#include "platform/tls.h"
#include "platform/win32/windows_api.h"
// wincrypt.h after windows.h (which leaves it out under WIN32_LEAN_AND_MEAN).
#include <wincrypt.h>

namespace qel::plat {

// The PEM certificates of path in a new memory store; null when the file
// cannot be read or holds no certificate, with the reason in reason.
HCERTSTORE loadCaFile(const char* path, char* reason, int32_t room);

// Checks the server's certificate (its context carries the chain the server
// sent). caStore (may be null) holds further trusted roots. Returns done, or
// untrusted / nameMismatch with the reason in reason.
TlsStep checkServerCertificate(PCCERT_CONTEXT certificate, HCERTSTORE caStore, const char* serverName, char* reason,
                               int32_t room);

}  // namespace qel::plat
