// The content of a leaf part in a full-MIME walk, decoded from its transfer
// encoding (base64, quoted-printable, uuencode, or as it came for 7bit, 8bit
// and binary) into its file or the message file. Encoded groups and escapes may
// be cut by the end of a piece of a long line; they wait in the carry.
#include <cstring>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "codec/uuencode.h"
#include "mime/decoder.h"
#include "mime/decoder_state.h"
#include "mime/mime_state.h"

namespace qel {
namespace {

int32_t targetHandle(const ChannelRecord* record, const MimeWalk* walk) {
  return walk->target == MimeTarget::text ? record->decoder->mailFile : record->decoder->fileHandle;
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

void emitBytes(void* context, const char* bytes, int32_t n) { emit(static_cast<ChannelRecord*>(context), bytes, n); }

// "=" ends a group of two or three characters and is noise elsewhere; line
// ends and blanks may come anywhere.
void decodeBase64(ChannelRecord* record, const char* bytes, int32_t n) {
  MimeWalk* walk = walkOf(record);
  uint32_t flags = base64DecodeStream(&walk->carry, bytes, n, Base64Form::strict, emitBytes, record);
  if ((flags & kBase64Noise) != 0) mimeOdd(record, kOddBase64);
}

bool emitSink(void* context, const char* bytes, int32_t n) {
  emit(static_cast<ChannelRecord*>(context), bytes, n);
  return true;
}

// Decodes quoted-printable text; an escape cut by the end of a piece waits
// in the carry. Returns whether the text ended in a soft line break.
bool decodeQuoted(ChannelRecord* record, const char* bytes, int32_t n, bool cut) {
  MimeWalk* walk = walkOf(record);
  uint32_t flags = qpDecodeStream(walk->carry.bytes, &walk->carry.count, bytes, n, cut, QpForm::strict, emitSink, record);
  // Not an escape: the "=" stays, as RFC 2045 section 6.7 suggests.
  if ((flags & kQpBadEscape) != 0) mimeOdd(record, kOddQuoted);
  return (flags & kQpSoftBreak) != 0;
}

void decodeUu(ChannelRecord* record, const char* bytes, int32_t n) {
  if (n > 0 && uuDecodeStream(&walkOf(record)->uu, bytes, n, emitBytes, record) != 0) mimeOdd(record, kOddUuencode);
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
    case MimeEncoding::uuencode:
      // The line end is held as for text: before a boundary it is no
      // content, which matters where the text is kept as it came.
      decodeUu(record, walk->heldEnd, walk->heldEndLength);
      walk->heldEndLength = 0;
      decodeUu(record, bytes, text);
      if (end > 0) holdEnd(walk, bytes + text, end);
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
  if (walk->encoding == MimeEncoding::uuencode && walk->target != MimeTarget::none) {
    decodeUu(record, walk->heldEnd, walk->heldEndLength);
    walk->heldEndLength = 0;
    if (uuDecodeEnd(&walk->uu, emitBytes, record) != 0) mimeOdd(record, kOddUuencode);
    return;
  }
  if (walk->carry.count == 0) return;
  if (walk->encoding == MimeEncoding::base64) {
    // A group cut short: what its characters hold is kept.
    static const char kPadding[] = "===";
    mimeOdd(record, kOddBase64);
    decodeBase64(record, kPadding, 4 - walk->carry.count);
  } else if (walk->target != MimeTarget::none) {
    mimeOdd(record, kOddQuoted);
    emit(record, walk->carry.bytes, walk->carry.count);
  }
  walk->carry.count = 0;
}

}  // namespace qel
