// The content of a leaf part in a full-MIME walk, decoded from its transfer
// encoding (base64, quoted-printable, or as it came for 7bit, 8bit and
// binary) into its file or the message file. Encoded groups and escapes may
// be cut by the end of a piece of a long line; they wait in the carry.
#include <cstring>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "mime/mime_state.h"

namespace qel {
namespace {

constexpr int32_t kChunk = 4096;
constexpr int8_t kNotBase64 = -1;
constexpr int8_t kPad = -2;
constexpr int8_t kSkip = -3;  // line ends and blanks, allowed anywhere

struct Base64Table {
  int8_t value[256];
  constexpr Base64Table() : value() {
    for (int i = 0; i < 256; ++i) value[i] = kNotBase64;
    for (int i = 0; i < 26; ++i) {
      value['A' + i] = static_cast<int8_t>(i);
      value['a' + i] = static_cast<int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<int8_t>(52 + i);
    value[static_cast<int>('+')] = 62;
    value[static_cast<int>('/')] = 63;
    value[static_cast<int>('=')] = kPad;
    value[static_cast<int>('\r')] = kSkip;
    value[static_cast<int>('\n')] = kSkip;
    value[static_cast<int>(' ')] = kSkip;
    value[static_cast<int>('\t')] = kSkip;
  }
};
constexpr Base64Table kBase64;

int32_t lineEndLength(const char* bytes, int32_t n) {
  if (n >= 2 && bytes[n - 2] == '\r' && bytes[n - 1] == '\n') return 2;
  if (n >= 1 && bytes[n - 1] == '\n') return 1;
  return 0;
}

int32_t targetHandle(const ChannelRecord* record, const MimeWalk* walk) {
  return walk->target == MimeTarget::text ? record->mailFile : record->fileHandle;
}

// Writes decoded bytes where the part goes.
void emit(ChannelRecord* record, const char* bytes, int32_t n) {
  MimeWalk* walk = walkOf(record);
  if (n <= 0) return;
  mimePut(record, targetHandle(record, walk), bytes, n);
  if (walk->target == MimeTarget::text) walk->textEndsLine = bytes[n - 1] == '\n';
}

// The line end held back from the line before: it was content after all.
void emitHeldEnd(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  if (walk->heldEndLength == 0) return;
  int32_t n = walk->heldEndLength;
  walk->heldEndLength = 0;
  emit(record, walk->heldEnd, n);
}

void holdEnd(MimeWalk* walk, const char* end, int32_t n) {
  std::memcpy(walk->heldEnd, end, static_cast<size_t>(n));
  walk->heldEndLength = n;
}

void decodeBase64(ChannelRecord* record, const char* bytes, int32_t n) {
  MimeWalk* walk = walkOf(record);
  char out[kChunk + 3];
  int32_t used = 0;
  auto* group = reinterpret_cast<uint8_t*>(walk->carry);
  int32_t count = walk->carryCount;
  for (int32_t i = 0; i < n; ++i) {
    if (count == 0) {
      // Whole groups in a row, the bulk of every line, at once.
      int32_t groups = base64DecodeGroups(bytes + i, n - i, out + used, (kChunk + 3 - used) / 3);
      i += 4 * groups;
      used += 3 * groups;
      if (used >= kChunk) {
        emit(record, out, used);
        used = 0;
      }
      if (i >= n) break;
    }
    int8_t value = kBase64.value[static_cast<unsigned char>(bytes[i])];
    if (value >= 0) {
      group[count++] = static_cast<uint8_t>(value);
      if (count < 4) continue;
      out[used++] = static_cast<char>((group[0] << 2) | (group[1] >> 4));
      out[used++] = static_cast<char>((group[1] << 4) | (group[2] >> 2));
      out[used++] = static_cast<char>((group[2] << 6) | group[3]);
      count = 0;
      if (used >= kChunk) {
        emit(record, out, used);
        used = 0;
      }
    } else if (value == kPad) {
      // "=" ends a group of two or three characters; elsewhere it is noise.
      if (count >= 2) {
        out[used++] = static_cast<char>((group[0] << 2) | (group[1] >> 4));
        if (count == 3) out[used++] = static_cast<char>((group[1] << 4) | (group[2] >> 2));
        count = 0;
      }
    } else if (value == kNotBase64) {
      mimeOdd(record, kOddBase64);
    }
  }
  walk->carryCount = count;
  emit(record, out, used);
}

bool emitSink(void* context, const char* bytes, int32_t n) {
  emit(static_cast<ChannelRecord*>(context), bytes, n);
  return true;
}

// Decodes quoted-printable text; an escape cut by the end of a piece waits
// in the carry. Returns whether the text ended in a soft line break.
bool decodeQuoted(ChannelRecord* record, const char* bytes, int32_t n, bool cut) {
  MimeWalk* walk = walkOf(record);
  uint32_t flags = qpDecodeStream(walk->carry, &walk->carryCount, bytes, n, cut, QpForm::strict, emitSink, record);
  // Not an escape: the "=" stays, as RFC 2045 section 6.7 suggests.
  if ((flags & kQpBadEscape) != 0) mimeOdd(record, kOddQuoted);
  return (flags & kQpSoftBreak) != 0;
}

}  // namespace

void partContent(ChannelRecord* record, const char* bytes, int32_t n, bool cut) {
  MimeWalk* walk = walkOf(record);
  if (walk->target == MimeTarget::none) return;
  int32_t end = cut ? 0 : lineEndLength(bytes, n);
  int32_t text = n - end;
  switch (walk->encoding) {
    case MimeEncoding::base64:
      decodeBase64(record, bytes, n);
      break;
    case MimeEncoding::quoted:
      emitHeldEnd(record);
      if (!decodeQuoted(record, bytes, text, cut) && end > 0) holdEnd(walk, bytes + text, end);
      break;
    case MimeEncoding::identity:
      emitHeldEnd(record);
      emit(record, bytes, text);
      if (end > 0) holdEnd(walk, bytes + text, end);
      break;
  }
}

void finishContent(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  if (walk->carryCount == 0) return;
  if (walk->encoding == MimeEncoding::base64) {
    // A group cut short: what its characters hold is kept.
    static const char kPadding[] = "===";
    mimeOdd(record, kOddBase64);
    decodeBase64(record, kPadding, 4 - walk->carryCount);
  } else if (walk->target != MimeTarget::none) {
    mimeOdd(record, kOddQuoted);
    emit(record, walk->carry, walk->carryCount);
  }
  walk->carryCount = 0;
}

}  // namespace qel
