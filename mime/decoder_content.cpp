// The content of a part: each body line is decoded (base64, quoted-printable
// or as it stands) and written to the attachment file and, for an inline
// part, to the message file, through their write buffers. The decoded bytes
// gather in an output area of the decoder's own, never in a text the log
// uses. Only an encoded group or escape cut by the end of a line piece is
// kept until the rest of it comes.
#include <cstring>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "mime/decoder_state.h"
#include "mime/file_buffers.h"
#include "frame/text.h"
#include "mime/decoder.h"

namespace qel {
namespace {

// Inline content is written to the message file like any other message
// line. Write failures of decoded content are not reported: the download
// goes on.
void emit(ChannelRecord* record, const char* bytes, int32_t n) {
  if (n <= 0) return;
  if (record->decoder->fileHandle > 0) writeBuffered(record, BufferedFile::attachment, bytes, n);
  if (record->decoder->decodeInline != 0 && record->decoder->mailFile > 0) writeBuffered(record, BufferedFile::message, bytes, n);
}

// Base64 text is taken group by group across line ends and pieces;
// characters outside the alphabet, the line ends among them, are skipped.
void emitBytes(void* context, const char* bytes, int32_t n) { emit(static_cast<ChannelRecord*>(context), bytes, n); }

void decodeBase64(ChannelRecord* record, const char* text, int32_t length) {
  base64DecodeStream(&record->decoder->decodeCarry, text, length, Base64Form::lenient, emitBytes, record);
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
  DecodeCarry& carry = record->decoder->decodeCarry;
  return qpDecodeStream(carry.bytes, &carry.count, text, length, cut, QpForm::library, sink, record);
}

}  // namespace

void startPartContent(ChannelRecord* record) { record->decoder->decodeCarry.count = 0; }

void decodePartContent(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  int32_t length = record->decoder->lineLength;
  addCount(record->counts.attachBytesRead, length);
  switch (record->decoder->partEncoding) {
    case kEncodingBase64:
      decodeBase64(record, line, length);
      break;
    case kEncodingQuoted:
      decodeQuotedTo(record, line, length, record->decoder->lineCut != 0, emitSink);
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
