// The SMTP operations' address check, shared with their states.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Checks an address text (or, with firstItemOnly, the first item of a
// recipient list): -37 when it is null or empty, -41 when it holds no "<"
// (reported through failState, which also ends the channel's sequence and
// closes its socket), -43 when no ">" follows the "<", else 0.
int32_t checkAddressList(ChannelRecord* record, const char* text, bool firstItemOnly);

}  // namespace qel
