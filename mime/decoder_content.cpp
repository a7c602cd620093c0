// The content of a part: each body line is decoded (base64, quoted-printable
// or as it stands) and written to the attachment file and, for an inline
// part, to the message file, through their write buffers. The decoded bytes
// gather in an output area of the decoder's own, never in a text the log
// uses. Only an encoded group or escape cut by the end of a line piece is
// kept until the rest of it comes.
#include <cstring>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "frame/file_buffers.h"
#include "frame/text.h"
#include "mime/decoder.h"

namespace qel {
namespace {

constexpr int32_t kGroupChars = 4;
constexpr int32_t kGroupBytes = 3;
// Decoded base64 bytes gather in an output area of this size and are
// written when it is nearly full.
constexpr int32_t kOutputSize = 4096;
constexpr int32_t kOutputRoom = kOutputSize - kGroupBytes;

// Inline content is written to the message file like any other message
// line. Write failures of decoded content are not reported: the download
// goes on.
void emit(ChannelRecord* record, const char* bytes, int32_t n) {
  if (n <= 0) return;
  if (record->fileHandle > 0) writeBuffered(record, BufferedFile::attachment, bytes, n);
  if (record->decodeInline != 0 && record->mailFile > 0) writeBuffered(record, BufferedFile::message, bytes, n);
}

// Base64 text is taken group by group across line ends and pieces (RFC 2045
// lets an encoder break its lines anywhere); characters outside the
// alphabet, the line ends among them, are skipped.
void decodeBase64(ChannelRecord* record, const char* text, int32_t length) {
  char out[kOutputSize];
  int32_t used = 0;
  if (record->decodeCarryCount >= kGroupChars) record->decodeCarryCount = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (record->decodeCarryCount == 0) {
      // Whole groups in a row, the bulk of every line, at once.
      int32_t groups = base64DecodeGroups(text + i, length - i, out + used, (kOutputSize - used) / kGroupBytes);
      i += kGroupChars * groups;
      used += kGroupBytes * groups;
      if (used >= kOutputRoom) {
        emit(record, out, used);
        used = 0;
      }
      if (i >= length) break;
    }
    if (!isBase64Char(text[i])) continue;
    char* group = record->decodeCarry;
    group[record->decodeCarryCount++] = text[i];
    if (record->decodeCarryCount < kGroupChars) continue;
    record->decodeCarryCount = 0;
    uint8_t bytes[kGroupBytes];
    base64DecodeGroup(group, bytes);
    int32_t count = kGroupBytes;
    if (group[3] == '=') count -= group[2] == '=' ? 2 : 1;
    std::memcpy(out + used, bytes, static_cast<size_t>(count));
    used += count;
    if (used >= kOutputRoom) {
      emit(record, out, used);
      used = 0;
    }
  }
  emit(record, out, used);
}

bool emitSink(void* context, const char* bytes, int32_t n) {
  emit(static_cast<ChannelRecord*>(context), bytes, n);
  return true;
}

bool messageFileSink(void* context, const char* bytes, int32_t n) {
  return writeBuffered(static_cast<ChannelRecord*>(context), BufferedFile::message, bytes, n) >= 0;
}

// Quoted-printable text by the library's rules; an escape cut by the end
// of a piece waits in decodeCarry for the piece that follows.
uint32_t decodeQuotedTo(ChannelRecord* record, const char* text, int32_t length, bool cut, QpSink sink) {
  int32_t carried = record->decodeCarryCount;
  uint32_t flags = qpDecodeStream(record->decodeCarry, &carried, text, length, cut, QpForm::library, sink, record);
  record->decodeCarryCount = static_cast<uint8_t>(carried);
  return flags;
}

}  // namespace

void startPartContent(ChannelRecord* record) { record->decodeCarryCount = 0; }

void decodePartContent(ChannelRecord* record) {
  const char* line = record->replyText;
  int32_t length = record->lineLength;
  addCount(record->attachBytesRead, length);
  switch (record->partEncoding) {
    case kEncodingBase64:
      decodeBase64(record, line, length);
      break;
    case kEncodingQuoted:
      decodeQuotedTo(record, line, length, record->lineCut != 0, emitSink);
      break;
    default:
      emit(record, line, length);
      break;
  }
}

int32_t writeQuotedMessageText(ChannelRecord* record, const char* text, int32_t length, bool cut) {
  return (decodeQuotedTo(record, text, length, cut, messageFileSink) & kQpWriteFailed) != 0 ? -1 : 0;
}

}  // namespace qel
