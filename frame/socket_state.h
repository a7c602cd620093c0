// The channel's socket as the frame sees it: whether it is open, and the
// zero-time-out readiness test shared by the transport, the driver and the
// statistics.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "platform/platform.h"

namespace qel {

// Readiness test of the channel's socket, under the library lock. When the
// test cannot be made (the socket is closed or was never opened) the socket
// counts as being in the tested state, so that the send or receive that
// follows meets the error and reports it instead of waiting for ever.
bool readinessTest(ChannelRecord* record, plat::Readiness kind);

// Records a new socket in the record and the channel slot.
void adoptSocket(ChannelRecord* record, plat::SocketHandle handle);

}  // namespace qel
