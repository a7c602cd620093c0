#include "codec/uuencode.h"

#include <cstring>

namespace qel {
namespace {

// Data characters: 0x20 ("`", 0x60, stands for 0 too) and the 63 after it.
constexpr uint8_t kFirstChar = 0x20;
constexpr uint8_t kLastChar = 0x60;
constexpr int32_t kMostLineBytes = 63;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\f'; }

uint8_t valueOf(char c) { return static_cast<uint8_t>((static_cast<uint8_t>(c) - kFirstChar) & 0x3F); }

// "begin", a mode of octal digits, a blank and (maybe) a name.
bool isBeginLine(const char* line, int32_t n) {
  if (n < 7 || std::memcmp(line, "begin ", 6) != 0) return false;
  int32_t at = 6;
  while (at < n && line[at] >= '0' && line[at] <= '7') ++at;
  return at > 6 && (at == n || line[at] == ' ');
}

// "end", blanks around it allowed.
bool isEndLine(const char* line, int32_t n) {
  int32_t start = 0;
  while (start < n && isBlank(line[start])) ++start;
  while (n > start && isBlank(line[n - 1])) --n;
  return n - start == 3 && std::memcmp(line + start, "end", 3) == 0;
}

// One data line: its length character says how many bytes its groups hold;
// characters the line lacks count as 0 (encoders drop blanks at the end),
// and what stands behind the groups is ignored. False for a line that holds
// a character outside the alphabet: no data line.
bool decodeDataLine(const char* line, int32_t n, UuSink sink, void* context) {
  if (n == 0) return false;
  int32_t bytes = valueOf(line[0]);
  int32_t chars = (bytes * 4 + 2) / 3;
  if (bytes > kMostLineBytes) return false;
  char out[kMostLineBytes + 3];
  uint8_t group[4];
  int32_t used = 0;
  for (int32_t i = 0; i < chars; i += 4) {
    for (int32_t k = 0; k < 4; ++k) {
      int32_t at = 1 + i + k;
      char c = at < n && at <= chars ? line[at] : ' ';
      if (static_cast<uint8_t>(c) < kFirstChar || static_cast<uint8_t>(c) > kLastChar) return false;
      group[k] = valueOf(c);
    }
    out[used++] = static_cast<char>((group[0] << 2) | (group[1] >> 4));
    out[used++] = static_cast<char>((group[1] << 4) | (group[2] >> 2));
    out[used++] = static_cast<char>((group[2] << 6) | group[3]);
  }
  if (bytes > 0) sink(context, out, bytes);
  return true;
}

// Text before a "begin" line is held while it fits; past that the content
// is taken to be no uuencoded content at all and goes on as it came.
void holdText(UuDecoder* decoder, const char* text, int32_t n, UuSink sink, void* context) {
  if (decoder->heldLength + n <= kUuHoldRoom) {
    std::memcpy(decoder->held + decoder->heldLength, text, static_cast<size_t>(n));
    decoder->heldLength += n;
    return;
  }
  decoder->stage = UuStage::asItCame;
  sink(context, decoder->held, decoder->heldLength);
  decoder->heldLength = 0;
  sink(context, text, n);
}

// A whole line (its line end not included).
uint32_t takeLine(UuDecoder* decoder, UuSink sink, void* context) {
  const char* line = decoder->line;
  int32_t n = decoder->lineLength;
  if (n > 0 && line[n - 1] == '\r') --n;
  switch (decoder->stage) {
    case UuStage::beforeBegin:
      if (isBeginLine(line, n)) {
        decoder->stage = UuStage::data;
        decoder->heldLength = 0;
      }
      return 0;
    case UuStage::data:
      if (!decoder->lineOverlong && isEndLine(line, n)) {
        decoder->stage = UuStage::afterEnd;
        return 0;
      }
      if (decoder->lineOverlong || !decodeDataLine(line, n, sink, context)) return kUuSkippedLine;
      return 0;
    default:
      return 0;
  }
}

void addToLine(UuDecoder* decoder, const char* text, int32_t n) {
  int32_t room = kUuLineRoom - decoder->lineLength;
  if (n > room) {
    decoder->lineOverlong = true;
    n = room;
  }
  std::memcpy(decoder->line + decoder->lineLength, text, static_cast<size_t>(n));
  decoder->lineLength += n;
}

}  // namespace

void uuStart(UuDecoder* decoder) {
  decoder->stage = UuStage::beforeBegin;
  decoder->lineOverlong = false;
  decoder->lineLength = 0;
  decoder->heldLength = 0;
}

uint32_t uuDecodeStream(UuDecoder* decoder, const char* text, int32_t n, UuSink sink, void* context) {
  uint32_t flags = 0;
  for (int32_t i = 0; i < n;) {
    if (decoder->stage == UuStage::asItCame) {
      sink(context, text + i, n - i);
      break;
    }
    const char* feed = static_cast<const char*>(std::memchr(text + i, '\n', static_cast<size_t>(n - i)));
    int32_t end = feed != nullptr ? static_cast<int32_t>(feed - text) + 1 : n;
    if (decoder->stage == UuStage::beforeBegin) {
      holdText(decoder, text + i, end - i, sink, context);
      if (decoder->stage == UuStage::asItCame) {
        i = end;
        continue;
      }
    }
    addToLine(decoder, text + i, end - i - (feed != nullptr ? 1 : 0));
    if (feed == nullptr) break;
    flags |= takeLine(decoder, sink, context);
    decoder->lineLength = 0;
    decoder->lineOverlong = false;
    i = end;
  }
  return flags;
}

uint32_t uuDecodeEnd(UuDecoder* decoder, UuSink sink, void* context) {
  uint32_t flags = 0;
  if (decoder->lineLength > 0) flags |= takeLine(decoder, sink, context);
  decoder->lineLength = 0;
  if (decoder->stage == UuStage::beforeBegin || decoder->stage == UuStage::asItCame) {
    if (decoder->heldLength > 0) sink(context, decoder->held, decoder->heldLength);
    decoder->heldLength = 0;
    flags |= kUuNoBegin;
  } else if (decoder->stage == UuStage::data) {
    flags |= kUuNoEnd;
  }
  decoder->stage = UuStage::afterEnd;
  return flags;
}

}  // namespace qel
