// The connection's socket as everyone above the transport sees it: the
// zero-time-out readiness test shared by the transport, the driver and the
// statistics, and what qelWait found on it.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/connection_state.h"

namespace qel {

// Readiness test of the connection's socket itself (writable, error), under
// the library lock. When the test cannot be made (the socket is closed or
// was never opened) the socket counts as being in the tested state, so that
// the send or receive that follows meets the error and reports it instead
// of waiting for ever. Whether data can be read is the stream's question
// (transport/stream.h).
bool readinessTest(const Connection* connection, plat::Readiness kind);

// What qelWait's last look at the sockets found: a connection whose step
// waits for data and whose socket had none. The next zero-time data test of
// that connection takes this answer instead of testing the socket once
// more, so a round of qelDriver calls over many waiting channels costs no
// system call for each. The answer holds once, and only until the next
// look: data that came meanwhile is seen by that look, which then returns
// at once.
void startWaitLook();
void noteNoDataAtWait(Connection* connection);
bool takeNoDataAtWait(Connection* connection);

// Takes a new socket into the connection: open, nothing noted about it.
void adoptSocket(Connection* connection, plat::SocketHandle handle);

}  // namespace qel
