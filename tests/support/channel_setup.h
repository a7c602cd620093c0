// Test hooks that set a channel up directly, without an SMTP or POP3
// operation, so that transport and driver tests can run on their own.
#pragma once

#include <cstdint>
#include <string>

#include "frame/channel.h"

namespace qel::test {

// Points the channel at 127.0.0.1:port and stages the connect sequence,
// which continues with afterConnect (0: stop once connected).
void stageConnect(ChannelRecord* record, uint16_t port, int32_t afterConnect = 0, char protocol = 0);

// Calls qelDriver until it returns 0 or a negative code, or until limitMs
// passes (then returns INT32_MIN). Returns the last result.
int32_t driveToEnd(int32_t channel, int limitMs = 20000);

// Connects the channel to 127.0.0.1:port and returns qelDriver's final
// result (0 when connected).
int32_t connectChannel(int32_t channel, uint16_t port, char protocol = 0);

}  // namespace qel::test
