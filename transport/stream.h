// The byte stream of a connection: the only place that knows whether bytes
// go through the TLS session or straight through the socket. Everything
// above it sends, receives and tests for data without asking.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "platform/platform.h"

namespace qel {

// One send: the count taken, or a negated socket error. The socket must be
// open.
int32_t streamSend(ChannelRecord* record, const char* bytes, int32_t length);

// One receive into destination: the count, 0 through TLS when no whole
// record has come yet, else a negative value (-1 when a plain socket was
// closed by the peer or failed). The socket must be open.
int32_t streamReceive(ChannelRecord* record, char* destination, int32_t n);

// Whether bytes may wait inside the stream where no socket test sees them
// (a TLS session decrypts ahead): readiness answers noted earlier do not
// hold then.
bool streamBuffersInside(const ChannelRecord* record);

// Whether data can be received now: through TLS, application data only
// (handshake messages do not count). A closed socket counts as readable,
// so the receive that follows meets the error.
bool streamReadable(ChannelRecord* record);

// Both directions in one test: plat::kReadyReadable and kReadyWritable
// bits, readable as streamReadable finds it. A closed socket gives both.
int32_t streamReadiness(ChannelRecord* record);

}  // namespace qel
