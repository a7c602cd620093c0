// TLS in the Windows build: not there yet. Every session fails to start with
// a reason the caller can show, so a channel that asks for TLS never talks
// in clear instead.
#include <cstdio>

#include "platform/tls.h"

namespace qel::plat {

struct TlsSession {
  int unused;
};

bool tlsAvailable() { return false; }

TlsSession* tlsCreate(SocketHandle, const TlsOptions&, char* reason, int32_t room, bool* caFileFailed) {
  *caFileFailed = false;
  if (reason != nullptr && room > 0) std::snprintf(reason, static_cast<size_t>(room), "%s", "no TLS in this build");
  return nullptr;
}

TlsStep tlsHandshakeStep(TlsSession*) { return TlsStep::failed; }

void tlsReason(TlsSession*, char* buffer, int32_t room) {
  if (buffer != nullptr && room > 0) buffer[0] = '\0';
}

int32_t tlsSend(TlsSession*, const void*, int32_t) { return -10038; }
int32_t tlsReceive(TlsSession*, void*, int32_t) { return -1; }
int32_t tlsReadable(TlsSession*) { return -1; }
int32_t tlsPending(TlsSession*) { return 0; }
void tlsCloseNotify(TlsSession*) {}
void tlsFree(TlsSession*) {}

}  // namespace qel::plat
