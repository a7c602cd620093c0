// The channel's socket as the frame sees it: whether it is open, and the
// zero-time-out readiness test shared by the transport, the driver and the
// statistics.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "platform/platform.h"

namespace qel {

// Readiness test of the channel's socket itself (writable, error), under
// the library lock. When the test cannot be made (the socket is closed or
// was never opened) the socket counts as being in the tested state, so that
// the send or receive that follows meets the error and reports it instead
// of waiting for ever. Whether data can be read is the stream's question
// (transport/stream.h).
bool readinessTest(ChannelRecord* record, plat::Readiness kind);

// What qelWait's last look at the sockets found: a channel whose step waits
// for data and whose socket had none. The next zero-time data test of that
// channel takes this answer instead of testing the socket once more, so a
// round of qelDriver calls over many waiting channels costs no system call
// for each. The answer holds once, and only until the next look: data that
// came meanwhile is seen by that look, which then returns at once.
void startWaitLook();
void noteNoDataAtWait(const ChannelRecord* record);
bool takeNoDataAtWait(const ChannelRecord* record);

// Records a new socket in the record and the channel slot.
void adoptSocket(ChannelRecord* record, plat::SocketHandle handle);

}  // namespace qel
