// The reader behind outgoing body and attachment lines. It reads the message
// text, a body file or an attachment file piecewise into the record's
// bodyBuffer (2048 bytes), so that memory does not grow with the size of
// what is sent; readBodyLine builds one outgoing body line at a time.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "frame/settings.h"
#include "smtp/smtp_send.h"

namespace qel {

// Values of bodyEnded.
enum BodyEnd : int32_t {
  kBodyGoing = 0,
  kBodyEnded = 1,       // the text or file is used up
  kBodyReadFailed = 2,  // the file could not be read further
};

// What nextBodyChar gives at the end of the body. A NUL byte of a body file
// is a byte like any other (0): it never ends the body.
constexpr int32_t kBodyEnd = -1;

// Longest body line the plain and quoted-printable forms build (RFC 5322
// allows 998 characters), and the longest HTML line sent unbroken.
constexpr int32_t kLongestBodyLine = 998;

// Empties the reader for a new body or attachment file.
void resetBodyReader(ChannelRecord* record);

// Bytes read ahead and not yet taken.
inline int32_t bodyUnread(const ChannelRecord* record) { return record->smtp->send->bodyFill - record->smtp->send->bodyPos; }

// Moves the unread bytes to the front of bodyBuffer and fills it up to
// capacity bytes (at most the buffer's 2048) from the message text or from
// fileHandle. Sets bodyEnded when the source gives nothing (kBodyReadFailed
// on a read error). Returns the number of bytes added.
int32_t refillSendBuffer(ChannelRecord* record, int32_t capacity);

// maxLineLength, kept within 1 .. kLongestBodyLine.
inline int32_t bodyLineLimit() {
  int32_t limit = settings.maxLineLength;
  if (limit < 1) return 1;
  return limit > kLongestBodyLine ? kLongestBodyLine : limit;
}

// nextBodyChar when few bytes are left: refills first.
int32_t nextBodyCharRefilling(ChannelRecord* record);

// The next body byte as 0..255, or kBodyEnd at the end of the body. Refills
// when maxLineLength or fewer bytes are left. Called for every byte of a
// body, so the common case stays inline.
inline int32_t nextBodyChar(ChannelRecord* record) {
  if (bodyUnread(record) > bodyLineLimit()) return static_cast<uint8_t>(record->texts.bodyBuffer[record->smtp->send->bodyPos++]);
  return nextBodyCharRefilling(record);
}

// The byte nextBodyChar would return, without taking it.
int32_t peekBodyChar(ChannelRecord* record);

// Refills early unless at least want bytes are read ahead (HTML lines need
// a whole line in the buffer).
void ensureBodyBuffered(ChannelRecord* record, int32_t want);

// Builds the next body line into out (commandLine) in the form bodyType
// asks for: plain (0), HTML (2) or quoted-printable (the others), with a
// period doubled at its start, NUL-terminated. Returns its length before
// that period was added, or -1 when the body is used up.
int32_t readBodyLine(ChannelRecord* record, char* out);

}  // namespace qel
