// A line source over bytes in memory, segment by segment.
#include <cstring>

#include "mime/line_source.h"

namespace qel {

MemoryLines::MemoryLines(const Segment* segments, int32_t count)
    : segments_(segments), count_(count < 0 ? 0 : count), position_(kAnswerLineStart) {}

int32_t MemoryLines::copyLine(char* destination, int32_t n, bool take) {
  int32_t segment = segment_;
  int32_t offset = offset_;
  int32_t copied = 0;
  while (copied < n && segment < count_) {
    const Segment& s = segments_[segment];
    if (offset >= s.length) {
      ++segment;
      offset = 0;
      continue;
    }
    char c = s.bytes[offset++];
    destination[copied++] = c;
    if (c == '\n') break;
  }
  if (take) {
    segment_ = segment;
    offset_ = offset;
  }
  return copied;
}

int32_t MemoryLines::nextOf(void* context, char* line, int32_t room, bool* cut) {
  auto* self = static_cast<MemoryLines*>(context);
  *cut = false;
  if (self->position_ == kAnswerEnded) return kLinesEnd;
  if (room < 2) return kLinesNothing;
  int32_t length = self->copyLine(line, room - 1, true);
  if (length == 0) return kLinesClosed;
  line[length] = '\0';
  *cut = line[length - 1] != '\n';
  return settleDataPiece(&self->position_, line, length);
}

int32_t MemoryLines::peekOf(void* context, char* start, int32_t want) {
  auto* self = static_cast<MemoryLines*>(context);
  if (self->position_ == kAnswerEnded) return kLinesEnd;
  char raw[kLinePeekCap];
  if (want > kLinePeekCap) want = kLinePeekCap;
  if (want <= 0) return kLinesNothing;
  int32_t count = self->copyLine(raw, want, false);
  if (count == 0) return kLinesClosed;
  return settlePeek(raw, count, start);
}

}  // namespace qel
