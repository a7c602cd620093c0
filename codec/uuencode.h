// uuencoded content (a part in the x-uuencode transfer encoding): a
// "begin MODE NAME" line, data lines of a length character and groups of
// four characters of 0x20..0x60, and an "end" line. Decoded as it streams
// by, in pieces cut anywhere, with fixed memory: lines before "begin" and
// after "end" are no content, a data line with a character outside the
// alphabet is skipped, and a part with no "begin" line at all keeps its text
// as it came (held up to kUuHoldRoom bytes while a "begin" line may come).
#pragma once

#include <cstdint>

namespace qel {

// Room for one line (longer lines are no data lines; a "begin" line is read
// by its start), and for the text held before a "begin" line.
constexpr int32_t kUuLineRoom = 256;
constexpr int32_t kUuHoldRoom = 2048;

enum class UuStage : uint8_t { beforeBegin, data, afterEnd, asItCame };

struct UuDecoder {
  UuStage stage;
  bool lineOverlong;
  int32_t lineLength;
  int32_t heldLength;
  char line[kUuLineRoom];
  char held[kUuHoldRoom];
};

// What uuDecodeStream and uuDecodeEnd report.
constexpr uint32_t kUuSkippedLine = 1u << 0;  // a line that is no data line was skipped
constexpr uint32_t kUuNoBegin = 1u << 1;      // no "begin" line: the text was kept as it came
constexpr uint32_t kUuNoEnd = 1u << 2;        // the content ended without its "end" line

using UuSink = void (*)(void* context, const char* bytes, int32_t n);

// A fresh decoder.
void uuStart(UuDecoder* decoder);

// Decodes n bytes of the content, handing the decoded bytes to sink.
uint32_t uuDecodeStream(UuDecoder* decoder, const char* text, int32_t n, UuSink sink, void* context);

// The end of the content: a last line without its line end is decoded, and
// text held in want of a "begin" line is handed on as it came.
uint32_t uuDecodeEnd(UuDecoder* decoder, UuSink sink, void* context);

}  // namespace qel
