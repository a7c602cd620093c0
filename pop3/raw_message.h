// A raw download that keeps only the message (QEL_PARAM_RAW_MESSAGE_ONLY):
// the status line is dropped, the dot-stuffing undone (RFC 1939, section 3:
// a line that begins with "." loses that dot) and the download ends at the
// "." line, which is dropped too. Each block is filtered in place as it
// arrives (the filter only ever removes bytes); the record keeps where the
// last block left off, so a status line, a dot or a CR may be cut by a block
// boundary anywhere.
//
// The end is the one of the default raw download: CR LF "." CR LF, the
// status line's own line end included. A line that follows a bare LF is
// unstuffed as well, but a "." line there does not end the download.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Where the filter stands between blocks (rawStage); rawAfterCr tells
// whether the last byte taken was a CR, and at a line start whether the
// line break before it was CR LF.
enum RawStage : uint8_t {
  kRawStatus = 0,     // inside the status line (dropped)
  kRawLineStart = 1,  // a line begins
  kRawDot = 2,        // a line began with "." (dropped)
  kRawDotCr = 3,      // "." CR at a line start after CR LF: the end, unless no LF follows
  kRawInLine = 4,     // inside a message line
  kRawEnded = 5,      // the "." line has arrived
};

// The bytes the next block must begin with: a CR that may still turn out to
// be the end line's. Writes them to block and returns their count (0 or 1);
// the caller receives the block behind them.
int32_t rawHeldBytes(const ChannelRecord* record, char* block);

// Filters a block of n bytes (the held bytes first) in place: the message
// bytes move to its front. Their count; *ended tells whether the "." line
// has arrived (nothing behind it is kept).
int32_t keepMessageOnly(ChannelRecord* record, char* block, int32_t n, bool* ended);

}  // namespace qel
