// The full-MIME walk's output buffer: bytes for one file at a time, written
// in large blocks; and its log notes of what was odd about a message.
#include <cstring>

#include "frame/log.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "mime/mime_state.h"

namespace qel {
namespace {

struct OddityNote {
  uint32_t oddity;
  const char* note;
};

constexpr OddityNote kOddityNotes[] = {
    {kOddUnclosed, "[MIME: a multipart part ends without its closing boundary]\r\n"},
    {kOddNoBlankLine, "[MIME: a header ends without a blank line]\r\n"},
    {kOddBase64, "[MIME: base64 content cut short or holding other characters]\r\n"},
    {kOddQuoted, "[MIME: quoted-printable content with a bad escape]\r\n"},
    {kOddTooDeep, "[MIME: multipart parts nested too deep; saved whole]\r\n"},
    {kOddLongBoundary, "[MIME: boundary too long to follow; part saved whole]\r\n"},
    {kOddNoBoundary, "[MIME: multipart part without a boundary; saved whole]\r\n"},
    {kOddLongField, "[MIME: header field too long; its end ignored]\r\n"},
    {kOddNotSaved, "[MIME: a part could not be saved]\r\n"},
    {kOddUuencode, "[MIME: uuencoded content with lines that are not, or without its begin or end line]\r\n"},
};

}  // namespace

void mimeFlush(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  if (walk == nullptr || walk->outUsed == 0) return;
  int32_t handle = walk->outHandle;
  int32_t written = handle > 0 ? plat::fileWrite(handle, walk->out, walk->outUsed) : 0;
  if (written < 0 && handle == record->decoder->mailFile && walk->writeError == 0) walk->writeError = written;
  walk->outUsed = 0;
}

void mimePut(ChannelRecord* record, int32_t handle, const char* bytes, int32_t n) {
  MimeWalk* walk = walkOf(record);
  if (handle <= 0 || n <= 0) return;
  if (handle != walk->outHandle || walk->outUsed + n > kMimeOutRoom) mimeFlush(record);
  walk->outHandle = handle;
  if (n >= kMimeOutRoom) {
    int32_t written = plat::fileWrite(handle, bytes, n);
    if (written < 0 && handle == record->decoder->mailFile && walk->writeError == 0) walk->writeError = written;
    return;
  }
  std::memcpy(walk->out + walk->outUsed, bytes, static_cast<size_t>(n));
  walk->outUsed += n;
}

void mimeOdd(ChannelRecord* record, uint32_t oddity) {
  MimeWalk* walk = walkOf(record);
  if ((walk->oddities & oddity) != 0) return;
  walk->oddities |= oddity;
  for (const OddityNote& entry : kOddityNotes) {
    if (entry.oddity == oddity) logText(record, entry.note);
  }
}

}  // namespace qel
