// The channel log: one plain text file per channel, opened with string
// parameter 20. Every write here is a no-op while the channel's log is off.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

inline bool logOn(const ChannelRecord* record) { return record != nullptr && record->logFile > 0; }

// Writes length raw bytes.
void logBytes(ChannelRecord* record, const void* bytes, int32_t length);

// Writes a NUL-terminated text as it is (no line end added).
void logText(ChannelRecord* record, const char* text);

// Writes a prefix ("S: ", "P: " ...) followed by raw bytes.
void logPrefixed(ChannelRecord* record, const char* prefix, const void* bytes, int32_t length);

// Formats into a local buffer (at most 1023 characters) and writes it.
void logFormat(ChannelRecord* record, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace qel
