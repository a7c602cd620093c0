// The Message-ID of an outgoing HTML message.
#pragma once

#include <cstdint>

namespace qel {

// Room for the longest id: "<", 14 digits of time, the process id, a
// counter and 16 random hexadecimal digits with their dots, "@", a domain
// of at most 128 characters, ">", and the NUL.
constexpr int32_t kMessageIdRoom = 200;

// Writes "<time.process.counter.random@domain>" into out (kMessageIdRoom
// bytes): the local time as YYYYMMDDhhmmss, the process id, a count of the
// ids made by this process, 16 random hexadecimal digits, and the domain
// of the address in the From text ("localhost" when it has none). Returns
// the length.
int32_t formatMessageId(const char* fromAddress, char* out);

}  // namespace qel
