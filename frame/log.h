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

// Received bytes as the log shows them, in two streams: what socket reads
// bring ("P: ", "R: ") and what the readers take out of the ring ("r: ").
enum class LogStream : uint8_t { socket = 0, ring = 1 };

// Of each received line the log keeps the first kLogLineKeep bytes; the
// rest is counted, and once the line ends (or the socket is closed with the
// line still open) a note says how much was left out:
//   [N bytes of a long line not logged]
// A server that streams a line without end must not fill the disk.
constexpr int32_t kLogLineKeep = 4096;

// Writes the prefix and the bytes, as much of each line as the limit lets.
void logReceived(ChannelRecord* record, LogStream stream, const char* prefix, const char* bytes, int32_t length);

// Notes what was left out of lines still open, and starts afresh: for a
// socket that closes or a new one.
void logLinesEnd(ChannelRecord* record);

// Formats into a local buffer (at most 1023 characters) and writes it.
void logFormat(ChannelRecord* record, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace qel
