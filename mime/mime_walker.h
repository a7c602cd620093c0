// The full MIME mode of a download (QEL_PARAM_FULL_MIME): a walker over the
// lines of a message that follows boundaries to any depth (RFC 2046), writes
// the top header and the readable text into the message file and saves every
// other leaf part as a file, under the name its headers give (RFC 2231,
// RFC 2047) or "part-N" with an extension from its media type.
//
// The walker is fed the message's lines after dot-unstuffing, one line or
// one piece of a longer line at a time, and writes through an output buffer
// of its own; it never reads a socket, so it runs on memory buffers as well.
// Its state is one block allocated per download: memory does not grow with
// the message, its depth or its number of parts.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Deepest nesting of multipart parts that is followed; a deeper multipart
// part is saved whole as a file.
constexpr int32_t kMimeMaxDepth = 32;
// Longest boundary followed (RFC 2046 allows 70 characters); a multipart
// part with a longer one is saved whole as a file.
constexpr int32_t kMimeBoundaryCap = 200;
// Longest unfolded header field read; the rest of a longer one is ignored.
constexpr int32_t kMimeFieldCap = 16384;

// Begins the walk of a download. False when its state cannot be allocated.
bool mimeStart(ChannelRecord* record);

// One line of the message (n bytes with its line end), or a piece of a longer
// line (cut: its line feed has not come yet). 0, or the failed write's
// result when the message file cannot be written.
int32_t mimeLine(ChannelRecord* record, const char* bytes, int32_t n, bool cut);

// The end of the message: what is still held is written, the open file is
// closed and recorded, what was odd about the message is in the log, and
// the state is freed. 0, or the failed write's result as for mimeLine.
int32_t mimeEnd(ChannelRecord* record);

// Frees the walk's state without finishing it (a failed download). Buffered
// bytes are written first, so the files keep what arrived.
void mimeRelease(ChannelRecord* record);

}  // namespace qel
