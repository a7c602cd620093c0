// The channel log: one plain text file per channel, opened with string
// parameter 20. Every write here is a no-op while the channel's log is off.
// The transport writes to a ChannelLog of its own connection; everything
// above it writes through the channel record.
#pragma once

#include <cstdint>

#include "frame/text.h"

namespace qel {

struct ChannelRecord;

// Capacity (characters) of the log's text buffer.
constexpr int32_t kLogTextCap = 2048;

// Received bytes as the log shows them, in two streams: what socket reads
// bring ("P: ", "R: ") and what the readers take out of the ring ("r: ").
enum class LogStream : uint8_t { socket = 0, ring = 1 };

struct ChannelLog {
  int32_t file;  // the open log file, 0 when the log is off
  // A text buffer the log's users format into before writing it.
  char text[fieldSize(kLogTextCap)];
  // How far into its current line each received stream (LogStream) has
  // come, so that only the first kLogLineKeep bytes of a line are logged.
  uint32_t lineBytes[2];
};

// Of each received line the log keeps the first kLogLineKeep bytes; the
// rest is counted, and once the line ends (or the socket is closed with the
// line still open) a note says how much was left out:
//   [N bytes of a long line not logged]
// A server that streams a line without end must not fill the disk.
constexpr int32_t kLogLineKeep = 4096;

inline bool logOn(const ChannelLog& log) { return log.file > 0; }
bool logOn(const ChannelRecord* record);

// Writes length raw bytes.
void logBytes(ChannelLog& log, const void* bytes, int32_t length);
void logBytes(ChannelRecord* record, const void* bytes, int32_t length);

// Writes a NUL-terminated text as it is (no line end added).
void logText(ChannelLog& log, const char* text);
void logText(ChannelRecord* record, const char* text);

// Writes a prefix ("S: ", "P: " ...) followed by raw bytes.
void logPrefixed(ChannelLog& log, const char* prefix, const void* bytes, int32_t length);
void logPrefixed(ChannelRecord* record, const char* prefix, const void* bytes, int32_t length);

// Writes the prefix and the bytes, as much of each line as the limit lets.
void logReceived(ChannelLog& log, LogStream stream, const char* prefix, const char* bytes, int32_t length);
void logReceived(ChannelRecord* record, LogStream stream, const char* prefix, const char* bytes, int32_t length);

// Notes what was left out of lines still open, and starts afresh: for a
// socket that closes or a new one.
void logLinesEnd(ChannelLog& log);
void logLinesEnd(ChannelRecord* record);

// Formats into a local buffer (at most 1023 characters) and writes it.
void logFormat(ChannelLog& log, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void logFormat(ChannelRecord* record, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace qel
