// A channel's TLS session: starting it on the connected socket, ending it
// with the socket, and the reason kept for qelErrorText.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Whether the channel's mode upgrades a plain connection (STARTTLS, STLS).
bool usesStartTls(const ChannelRecord* record);

// Keeps why TLS failed (or the server's refusal) for qelErrorText.
void setTlsReason(ChannelRecord* record, const char* text);

// Creates the session on the channel's socket. 0, or -114 (no TLS here),
// -115 (the CA file) or -111 with the reason kept.
int32_t openTlsSession(ChannelRecord* record);

// Sends close-notify when the session is established, and frees it. The
// socket stays for its close routine.
void endTlsSession(ChannelRecord* record);

}  // namespace qel
