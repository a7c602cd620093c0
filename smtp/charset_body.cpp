// Body lines of a text in the channel's charset: ASCII lines as they are
// when they all fit; quoted-printable lines of at most 76 characters that
// break only softly, so that nothing is replaced and long URLs come back
// whole; or base64 lines of the text with CR LF line ends when most of it is
// not ASCII. The text comes back exactly, its last line feed included.
#include "smtp/body_reader.h"
#include "smtp/message_plan.h"

#include "codec/base64.h"
#include "frame/log.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// RFC 2045: encoded lines of at most 76 characters, the soft break's "="
// included.
constexpr int32_t kQuotedLineLimit = 76;
// What an encoded byte may take; a space counts so too, since one that
// ends the line goes as "=20".
constexpr int32_t kLongestUnit = 3;

bool literal(int32_t c) { return c >= 0x21 && c <= 0x7E && c != '='; }

int32_t unitCost(int32_t c) { return literal(c) ? 1 : kLongestUnit; }

// The next source character, CRs dropped (a CR LF or a lone CR ends no
// line; the LF does).
int32_t takeSourceChar(ChannelRecord* record) {
  int32_t c;
  if (record->smtp->send->pendingChar != kBodyEnd) {
    c = record->smtp->send->pendingChar;
    record->smtp->send->pendingChar = kBodyEnd;
  } else {
    c = nextBodyChar(record);
  }
  while (c == '\r') c = nextBodyChar(record);
  return c;
}

// Looks at the character after the one taken, keeping it for the next take.
int32_t lookAhead(ChannelRecord* record) {
  int32_t c = takeSourceChar(record);
  record->smtp->send->pendingChar = c;
  return c;
}

int32_t buildQuoted(ChannelRecord* record, char* out, bool* exhausted) {
  int32_t length = 0;
  bool took = false;
  for (;;) {
    int32_t c = takeSourceChar(record);
    if (c == kBodyEnd) {
      record->smtp->send->lineEndedByLf = 0;
      break;
    }
    took = true;
    if (c == '\n') {
      record->smtp->send->lineEndedByLf = 1;
      break;
    }
    if (literal(c) || c == ' ') {
      out[length++] = static_cast<char>(c);
    } else {
      out[length++] = '=';
      out[length++] = kHexDigits[(c >> 4) & 0xF];
      out[length++] = kHexDigits[c & 0xF];
    }
    int32_t next = lookAhead(record);
    if (next != kBodyEnd && next != '\n' && length + unitCost(next) + 1 > kQuotedLineLimit) {
      out[length++] = '=';
      record->smtp->send->lineEndedByLf = 0;
      *exhausted = false;
      return length;
    }
  }
  // White space at the end of a line is transport padding to a reader.
  if (length > 0 && out[length - 1] == ' ') {
    out[length - 1] = '=';
    out[length++] = '2';
    out[length++] = '0';
  }
  *exhausted = !took;
  return length;
}

// ASCII lines as they are (the plan made sure they fit). A NUL byte of a
// body file cannot go as it is: it is left out, and the log says so.
int32_t buildSevenBit(ChannelRecord* record, char* out, bool* exhausted) {
  int32_t length = 0;
  int32_t dropped = 0;
  bool took = false;
  record->smtp->send->lineEndedByLf = 0;
  for (;;) {
    int32_t c = takeSourceChar(record);
    if (c == kBodyEnd) break;
    if (c == '\0') {
      ++dropped;
      continue;
    }
    took = true;
    if (c == '\n') {
      record->smtp->send->lineEndedByLf = 1;
      break;
    }
    if (length == kLongestBodyLine) {
      // Only a file that grew a longer line since it was measured.
      record->smtp->send->pendingChar = c;
      break;
    }
    out[length++] = static_cast<char>(c);
  }
  if (dropped > 0) logFormat(record, "[%d NUL byte(s) left out of the text]\r\n", dropped);
  *exhausted = !took;
  return length;
}

int32_t buildBase64(ChannelRecord* record, char* out, bool* exhausted) {
  uint8_t bytes[kBase64LineBytes];
  int32_t count = 0;
  if (record->smtp->send->lineFeedPending != 0) {
    bytes[count++] = '\n';
    record->smtp->send->lineFeedPending = 0;
  }
  while (count < kBase64LineBytes) {
    int32_t c = takeSourceChar(record);
    if (c == kBodyEnd) break;
    if (c != '\n') {
      bytes[count++] = static_cast<uint8_t>(c);
      continue;
    }
    bytes[count++] = '\r';
    if (count < kBase64LineBytes) {
      bytes[count++] = '\n';
    } else {
      record->smtp->send->lineFeedPending = 1;
    }
  }
  *exhausted = count == 0;
  if (count == 0) return 0;
  // base64EncodeLine appends CR LF, which the sender adds itself.
  int32_t length = base64EncodeLine(bytes, out, count);
  out[length] = '\0';
  return length;
}

}  // namespace

bool buildCharsetBodyLine(ChannelRecord* record, char* out, int32_t* length, bool* exhausted) {
  if (record->smtp->send->bodyEncoding == kBodyBase64) {
    *length = buildBase64(record, out, exhausted);
    return true;
  }
  if (record->smtp->send->bodyEncoding != kBodyQuoted && record->smtp->send->bodyEncoding != kBodySevenBit) return false;
  bool endedByLf = record->smtp->send->lineEndedByLf != 0;
  *length = record->smtp->send->bodyEncoding == kBodyQuoted ? buildQuoted(record, out, exhausted)
                                                : buildSevenBit(record, out, exhausted);
  // In a multipart message the CR LF before the next delimiter belongs to
  // the delimiter; a message of one part ends with the last line's own.
  if (*exhausted && endedByLf && usesMime(record)) {
    // The text's last line feed: an empty line of its own.
    *exhausted = false;
    *length = 0;
  }
  return true;
}

}  // namespace qel
