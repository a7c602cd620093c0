// The channel's connection as the states above the transport reach it:
// taken from the platform's memory when the channel first connects, given
// back at release, so that an idle channel that never connected holds
// none.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "platform/platform.h"
#include "transport/connection_state.h"

namespace qel {

// The channel's connection, taken now when it has none yet (wired to the
// channel's log and TLS settings); null when the memory cannot be had.
Connection* useConnection(ChannelRecord* record);

// Takes a new socket into the channel's connection (made when needed) and
// its channel table slot. The connection, or null when there is no memory
// for one (the socket is then left to the caller).
Connection* adoptSocket(ChannelRecord* record, plat::SocketHandle handle);

// The channel's reply readers (transport/replies.h) on its reply area. The
// POP3 reader clears the channel deadline: it bounds its own wait.
int32_t readSmtpReply(ChannelRecord* record);
int32_t readPop3Reply(ChannelRecord* record);

}  // namespace qel
