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
#include "pop3/decoder.h"

namespace qel {
namespace {

constexpr int32_t kGroupChars = 4;
constexpr int32_t kGroupBytes = 3;
// Decoded base64 bytes gather in an output area of this size and are
// written when it is nearly full.
constexpr int32_t kOutputSize = 4096;
constexpr int32_t kOutputRoom = kOutputSize - kGroupBytes;
// Quoted-printable text is decoded in windows of one read, behind the
// characters of an escape carried over, and a NUL.
constexpr int32_t kQuotedWindow = kReplyRoom;
constexpr int32_t kQuotedWorkSize = kGroupChars + kQuotedWindow + 1;

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

// Characters at the end of text (n of them) that begin an escape whose rest
// has not come yet: an "=" with fewer than two characters behind it.
int32_t openEscape(const char* text, int32_t n) {
  int32_t i = 0;
  while (i < n) {
    if (text[i] != '=') {
      ++i;
      continue;
    }
    if (i + 1 < n && (text[i + 1] == '"' || text[i + 1] == '?')) {
      ++i;  // kept as it is, not an escape
      continue;
    }
    if (i + 2 >= n) return n - i;
    if (text[i + 1] == '\r' || text[i + 1] == '\n') return 0;  // soft line break: decoding stops there
    i += 3;
  }
  return 0;
}

// Quoted-printable text without NUL bytes, in windows; an escape cut by the
// end of a window or of a line piece is carried on to the text that
// follows. Each decoded run goes to write(bytes, n), which returns false
// when it failed.
template <typename Write>
bool decodeQuotedRun(ChannelRecord* record, const char* text, int32_t length, bool cut, Write write) {
  char work[kQuotedWorkSize];
  if (record->decodeCarryCount >= kGroupChars) record->decodeCarryCount = 0;
  int32_t position = 0;
  bool written = true;
  for (;;) {
    int32_t n = record->decodeCarryCount;
    std::memcpy(work, record->decodeCarry, static_cast<size_t>(n));
    record->decodeCarryCount = 0;
    int32_t take = length - position < kQuotedWindow ? length - position : kQuotedWindow;
    std::memcpy(work + n, text + position, static_cast<size_t>(take));
    n += take;
    position += take;
    bool more = position < length;
    if (more || cut) {
      int32_t open = openEscape(work, n);
      n -= open;
      std::memcpy(record->decodeCarry, work + n, static_cast<size_t>(open));
      record->decodeCarryCount = static_cast<uint8_t>(open);
    }
    work[n] = '\0';
    int32_t decoded = qpDecode(work, work);
    if (decoded > 0 && !write(work, decoded)) written = false;
    if (!more) return written;
  }
}

// Quoted-printable text that may hold NUL bytes: they are no part of the
// encoding and pass through as they came, between the runs around them.
template <typename Write>
bool decodeQuotedInto(ChannelRecord* record, const char* text, int32_t length, bool cut, Write write) {
  bool written = true;
  for (;;) {
    const void* nul = std::memchr(text, '\0', static_cast<size_t>(length));
    if (nul == nullptr) return decodeQuotedRun(record, text, length, cut, write) && written;
    int32_t run = static_cast<int32_t>(static_cast<const char*>(nul) - text);
    if (!decodeQuotedRun(record, text, run, false, write)) written = false;
    if (!write(text + run, 1)) written = false;
    text += run + 1;
    length -= run + 1;
  }
}

void decodeQuoted(ChannelRecord* record, const char* text, int32_t length, bool cut) {
  decodeQuotedInto(record, text, length, cut, [record](const char* bytes, int32_t n) {
    emit(record, bytes, n);
    return true;
  });
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
      decodeQuoted(record, line, length, record->lineCut != 0);
      break;
    default:
      emit(record, line, length);
      break;
  }
}

int32_t writeQuotedMessageText(ChannelRecord* record, const char* text, int32_t length, bool cut) {
  bool written = decodeQuotedInto(record, text, length, cut, [record](const char* bytes, int32_t n) {
    return writeBuffered(record, BufferedFile::message, bytes, n) >= 0;
  });
  return written ? 0 : -1;
}

}  // namespace qel
