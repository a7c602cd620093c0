// Helpers of the POP3 commands: message numbers and unique ids.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "options.h"

namespace qelmail {

// Message numbers from --message (repeatable), or 1..count when none is
// given. False when a value is not a number from 1.
bool messageNumbers(const Options& options, int32_t count, std::vector<int32_t>* numbers);

// STAT: the number of messages, or a negative code.
int32_t messageCount(int32_t* count);

// LIST n: the size of message n. A negative code, or -63 when the server
// refused.
int32_t messageSize(int32_t number, int32_t* size);

// UIDL for the whole mailbox: number -> unique id. Empty when the server
// has no UIDL. A negative code when the exchange failed.
int32_t uniqueIds(int32_t count, std::map<int32_t, std::string>* ids);

}  // namespace qelmail
