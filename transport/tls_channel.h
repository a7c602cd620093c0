// A channel's TLS choices: whether its mode upgrades a plain connection,
// the reason kept for qelErrorText, and whether the server declined. The
// session itself belongs to the stream (transport/stream.h).
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "transport/connection_state.h"

namespace qel {

// Whether the mode upgrades a plain connection (STARTTLS, STLS).
bool usesStartTls(const TlsSettings& tls);

// Keeps why TLS failed (or the server's refusal) for qelErrorText.
void setTlsReason(TlsSettings& tls, const char* text);

// Whether the server of this connection did not offer STARTTLS/STLS and
// the channel went on in clear (false for a null connection).
inline bool tlsWasDeclined(const Connection* connection) {
  return connection != nullptr && connection->tlsDeclined != 0;
}

}  // namespace qel
