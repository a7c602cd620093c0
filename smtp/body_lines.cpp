// Outgoing body lines in their three forms: plain text wrapped at a space
// after the wrap column, quoted-printable with soft line breaks, and HTML
// sent as it is. CRs of the source are dropped, an LF ends a source line,
// and a line that begins with "." gets a second one. A NUL byte of a body
// file never goes out as it is: "~" in plain lines, "=00" in
// quoted-printable ones, and HTML lines, which go unchanged, leave it out
// (the log notes it).
#include <cstring>

#include "frame/log.h"
#include "frame/settings.h"
#include "smtp/body_reader.h"
#include "smtp/message_plan.h"

namespace qel {
namespace {

constexpr uint32_t kBodyTypePlain = 0;
constexpr uint32_t kBodyTypeHtml = 2;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int32_t kLowPrintable = 0x20;
constexpr int32_t kHighPrintable = 0x7E;

// Before an HTML line is built, the reader holds this much more than its
// refill threshold unless the body ends sooner: the longest line, the
// character looked at ahead and the one after the line. So no refill
// happens while the line is built, and a broken-off rest can go back into
// the buffer in front of the unread bytes.
constexpr int32_t kHtmlReadAhead = kLongestBodyLine + 3;

bool printable(int32_t c) { return c >= kLowPrintable && c <= kHighPrintable; }

// The next source character: the one looked at ahead, if any, else a new
// one from the reader.
int32_t takeChar(ChannelRecord* record) {
  if (record->smtp->send->pendingChar != kBodyEnd) {
    int32_t c = record->smtp->send->pendingChar;
    record->smtp->send->pendingChar = kBodyEnd;
    return c;
  }
  return nextBodyChar(record);
}

// After a wrapped plain line: a line end right behind it belongs to this
// line, otherwise it would turn into an empty line of its own.
void takeLineEnd(ChannelRecord* record) {
  int32_t c = peekBodyChar(record);
  while (c == '\r') {
    nextBodyChar(record);
    c = peekBodyChar(record);
  }
  if (c == '\n') nextBodyChar(record);
}

// A byte of a plain line as it goes out. Even raw text never carries a NUL
// onto the wire.
char plainChar(int32_t c, bool raw) { return printable(c) || (raw && c != '\0') ? static_cast<char>(c) : '~'; }

// How far a plain line got.
enum class PlainStep { going, lineEnd, wrapped };

// What ends a plain line: the first space once it holds wrapColumn
// characters, or maxLineLength characters.
struct PlainLimits {
  int32_t wrap;
  int32_t limit;
  bool raw;
};

// Adds one source byte to a plain line of length characters.
PlainStep addPlainChar(int32_t c, char* out, int32_t* length, const PlainLimits& limits) {
  if (c == '\r') return PlainStep::going;
  if (c == '\n') return PlainStep::lineEnd;
  int32_t at = *length;
  out[at++] = plainChar(c, limits.raw);
  *length = at;
  return (at >= limits.wrap && c == ' ') || at >= limits.limit ? PlainStep::wrapped : PlainStep::going;
}

// The length of a source line that ends (LF or CR LF) within the reach
// bytes, holds printable bytes only and meets no break on the way, so that
// it goes into a line of at characters as it stands; *taken counts its line
// end too. -1 when its bytes must go one at a time.
int32_t wholePlainLine(const char* bytes, int32_t reach, int32_t at, const PlainLimits& limits, int32_t* taken) {
  const void* lineFeed = reach > 0 ? std::memchr(bytes, '\n', static_cast<size_t>(reach)) : nullptr;
  if (lineFeed == nullptr) return -1;
  const int32_t end = static_cast<int32_t>(static_cast<const char*>(lineFeed) - bytes);
  const int32_t text = end > 0 && bytes[end - 1] == '\r' ? end - 1 : end;
  if (at + text >= limits.limit) return -1;
  bool plain = true;
  for (int32_t i = 0; i < text; ++i) {
    const int32_t c = static_cast<uint8_t>(bytes[i]);
    plain &= printable(c) && (c != ' ' || at + i + 1 < limits.wrap);
  }
  *taken = end + 1;
  return plain ? text : -1;
}

// The bytes nextBodyChar would hand out without refilling (more than limit
// are read ahead), taken straight from the buffer: a body is built a byte
// at a time, so this loop carries the cost of sending it. A short line of
// plain text is copied whole.
PlainStep addBufferedPlainChars(ChannelRecord* record, char* out, int32_t* length, int32_t* consumed,
                                const PlainLimits& limits) {
  if (record->smtp->send->pendingChar != kBodyEnd) return PlainStep::going;
  const char* buffer = record->texts.bodyBuffer;
  const int32_t stop = record->smtp->send->bodyFill - limits.limit;
  const int32_t first = record->smtp->send->bodyPos;
  int32_t pos = first;
  int32_t at = *length;
  PlainStep step = PlainStep::going;
  int32_t taken = 0;
  const int32_t text = wholePlainLine(buffer + pos, stop - pos, at, limits, &taken);
  if (text >= 0) {
    std::memcpy(out + at, buffer + pos, static_cast<size_t>(text));
    at += text;
    pos += taken;
    step = PlainStep::lineEnd;
  }
  while (step == PlainStep::going && pos < stop) step = addPlainChar(static_cast<uint8_t>(buffer[pos++]), out, &at, limits);
  *length = at;
  *consumed += pos - first;
  record->smtp->send->bodyPos = pos;
  return step;
}

// Plain form: "~" for bytes outside 0x20..0x7E unless rawEightBit is set; the
// line ends at the first space once it holds wrapColumn characters, or at
// maxLineLength characters.
int32_t buildPlainLine(ChannelRecord* record, char* out, bool* exhausted) {
  const PlainLimits limits{settings.wrapColumn, bodyLineLimit(), settings.rawEightBit != 0};
  int32_t length = 0;
  int32_t consumed = 0;
  int32_t c = 0;
  PlainStep step = PlainStep::going;
  while (step == PlainStep::going) {
    step = addBufferedPlainChars(record, out, &length, &consumed, limits);
    if (step != PlainStep::going) break;
    c = takeChar(record);
    if (c == kBodyEnd) break;
    ++consumed;
    step = addPlainChar(c, out, &length, limits);
  }
  if (step == PlainStep::wrapped) takeLineEnd(record);
  *exhausted = consumed == 0 && c == kBodyEnd;
  return length;
}

// Quoted-printable form: "=" and bytes outside 0x20..0x7E as "=XX"; a line
// that reaches maxLineLength - 1 characters (maxLineLength when a period
// follows) ends in a soft break "=".
int32_t buildQuotedLine(ChannelRecord* record, char* out, bool* exhausted) {
  const int32_t limit = bodyLineLimit();
  int32_t length = 0;
  int32_t consumed = 0;
  int32_t c;
  for (;;) {
    c = takeChar(record);
    if (c == kBodyEnd) break;
    ++consumed;
    if (c == '\r') continue;
    if (c == '\n') break;
    if (printable(c) && c != '=') {
      out[length++] = static_cast<char>(c);
    } else {
      out[length++] = '=';
      out[length++] = kHexDigits[(c >> 4) & 0xF];
      out[length++] = kHexDigits[c & 0xF];
    }
    record->smtp->send->pendingChar = nextBodyChar(record);
    if (length >= limit || (length == limit - 1 && record->smtp->send->pendingChar != '.')) {
      out[length++] = '=';
      *exhausted = false;
      return length;
    }
  }
  // Readers drop white space at the end of a quoted-printable line as
  // transport padding, so a space that really ends the line is encoded.
  if (length > 0 && out[length - 1] == ' ') {
    out[length - 1] = '=';
    out[length++] = '2';
    out[length++] = '0';
  }
  *exhausted = consumed == 0 && c == kBodyEnd;
  return length;
}

// Ends an HTML line that goes on past kLongestBodyLine characters: after its
// last space or ">" where there is one, so that no word or tag is cut. The
// rest and the character after the line (next) go back into the reader.
void breakHtmlLine(ChannelRecord* record, char* out, int32_t* length, int32_t next) {
  int32_t keep = *length;
  for (int32_t i = *length - 1; i >= 1; --i) {
    if (out[i] == ' ' || out[i] == '>') {
      keep = i + 1;
      break;
    }
  }
  int32_t rest = *length - keep;
  if (record->smtp->send->bodyPos < rest + 1) {
    // Only when the reader had to refill within the line (a flood of CRs):
    // the line is cut where it is.
    record->smtp->send->pendingChar = next;
    return;
  }
  record->smtp->send->bodyPos -= rest + 1;
  std::memcpy(record->texts.bodyBuffer + record->smtp->send->bodyPos, out + keep, rest);
  record->texts.bodyBuffer[record->smtp->send->bodyPos + rest] = static_cast<char>(next);
  *length = keep;
}

// HTML form: characters go unchanged; lines longer than kLongestBodyLine are
// broken without any mark, since the part declares no transfer encoding.
int32_t buildHtmlLine(ChannelRecord* record, char* out, bool* exhausted) {
  ensureBodyBuffered(record, kHtmlReadAhead + bodyLineLimit());
  int32_t length = 0;
  int32_t consumed = 0;
  int32_t dropped = 0;
  int32_t c;
  for (;;) {
    c = takeChar(record);
    if (c == kBodyEnd) break;
    if (c == '\0') {
      ++dropped;
      continue;
    }
    ++consumed;
    if (c == '\r') continue;
    if (c == '\n') break;
    out[length++] = static_cast<char>(c);
    record->smtp->send->pendingChar = nextBodyChar(record);
    if (length == kLongestBodyLine) {
      int32_t next = takeChar(record);
      while (next == '\r') next = takeChar(record);
      if (next != kBodyEnd && next != '\n') breakHtmlLine(record, out, &length, next);
      break;
    }
  }
  if (dropped > 0) logFormat(record, "[%d NUL byte(s) left out of the HTML text]\r\n", dropped);
  *exhausted = consumed == 0 && c == kBodyEnd;
  return length;
}

}  // namespace

int32_t readBodyLine(ChannelRecord* record, char* out) {
  // The line is built one place to the right, so that a doubled period can
  // go in front of it.
  char* line = out + 1;
  bool exhausted = false;
  int32_t length;
  if (buildCharsetBodyLine(record, line, &length, &exhausted)) {
    // The charset forms (quoted-printable or base64).
  } else if (record->smtp->bodyType == kBodyTypePlain) {
    length = buildPlainLine(record, line, &exhausted);
  } else if (record->smtp->bodyType == kBodyTypeHtml) {
    length = buildHtmlLine(record, line, &exhausted);
  } else {
    length = buildQuotedLine(record, line, &exhausted);
  }
  if (exhausted) {
    out[0] = '\0';
    return -1;
  }
  line[length] = '\0';
  if (line[0] == '.') {
    out[0] = '.';
  } else {
    std::memmove(out, line, static_cast<size_t>(length) + 1);
  }
  return length;
}

}  // namespace qel
