// The byte stream of a connection: the only place that knows whether bytes
// go through the TLS session or straight through the socket. Everything
// above it sends, receives and tests for data without asking; the TLS
// session itself is started and ended here too.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/tls.h"
#include "transport/connection_state.h"

namespace qel {

// One send: the count taken, or a negated socket error. The socket must be
// open.
int32_t streamSend(Connection* connection, const char* bytes, int32_t length);

// One receive into destination: the count, 0 through TLS when no whole
// record has come yet, else a negative value (-1 when a plain socket was
// closed by the peer or failed). The socket must be open.
int32_t streamReceive(Connection* connection, char* destination, int32_t n);

// Whether bytes may wait inside the stream where no socket test sees them
// (a TLS session decrypts ahead): readiness answers noted earlier do not
// hold then.
bool streamBuffersInside(const Connection* connection);

// Whether data can be received now: through TLS, application data only
// (handshake messages do not count). A closed socket counts as readable,
// so the receive that follows meets the error.
bool streamReadable(Connection* connection);

// Both directions in one test: plat::kReadyReadable and kReadyWritable
// bits, readable as streamReadable finds it. A closed socket gives both.
int32_t streamReadiness(Connection* connection);

// Whether the stream is encrypted: a TLS session runs on it (false for a
// null connection).
bool streamEncrypted(const Connection* connection);

// Creates the TLS session on the connection's socket, with the channel's
// TLS settings and the server name the certificate must carry. 0, or -114
// (no TLS here), -115 (the CA file) or -111 with the reason kept in the
// settings. A session already there is kept.
int32_t openTlsSession(Connection* connection, const char* serverName);

// One step of the session's handshake. When it is over (done or failed),
// the session's description or why it failed goes into the settings'
// reason.
plat::TlsStep streamHandshakeStep(Connection* connection);

// Sends close-notify when the session is established, and frees it. The
// socket stays for its close routine.
void endTlsSession(Connection* connection);

// Frees the session without a word to the peer (the library is released).
void dropTlsSession(Connection* connection);

}  // namespace qel
