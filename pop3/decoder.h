// The incoming message decoder: follows the MIME structure of a message as
// its lines are downloaded, one line per call.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Examines the line in replyText (with its line end, NUL-terminated) for
// decodeState 2 to 9; may change it in place. Returns 1 when the line is to
// go into the message file as it now stands, 0 when it is not.
int32_t decodeLine(ChannelRecord* record);

}  // namespace qel
