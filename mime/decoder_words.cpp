// Header lines: joining a line with its continuation lines, and the
// ISO-8859-1 encoded words (RFC 2047) of Subject, From and file names.
#include <climits>
#include <cstring>

#include "codec/base64.h"
#include "codec/text_search.h"
#include "frame/text.h"
#include "mime/decoder.h"
#include "mime/decoder_state.h"
#include "mime/line_source.h"

namespace qel {
namespace {

constexpr char kWordPrefix[] = "=?iso-8859-1?";
constexpr char kWordForm[] = "q?";  // or "b?"
constexpr int32_t kWordPrefixAndForm = literalLength(kWordPrefix) + literalLength(kWordForm);
constexpr char kWordEnd[] = "?=";
constexpr int32_t kWordEndLength = literalLength(kWordEnd);
constexpr int32_t kMaxWords = 2;
// Encoded words are looked for behind the first characters of the header
// name ("From", "Subj"...), so that a name never starts one.
constexpr int32_t kWordSearchStart = 4;
// The longest base64 word text decoded, and the room for its bytes and the
// decoder's zero fill.
constexpr int32_t kWordBytesRoom = fieldSize(kLogTextCap);
constexpr int32_t kMaxWordChars = (kWordBytesRoom - 4) / 3 * 4;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Removes n characters at `at` from a text of `length` characters (never
// more than it holds), NUL included in the move. Returns the new length.
int32_t removeChars(char* text, int32_t length, int32_t at, int32_t n) {
  if (n > length - at) n = length - at;
  if (n <= 0) return length;
  std::memmove(text + at, text + at + n, static_cast<size_t>(length - at - n + 1));
  return length - n;
}

// Removes trailing blanks and line-end characters of the current line, then
// puts CR LF back. Returns the new length, or -1 when there is no room for
// the CR LF (the line is then left alone).
int32_t trimLineEnd(ChannelRecord* record) {
  char* line = record->texts.replyText;
  int32_t n = record->decoder->lineLength;
  while (n > 0 && (isBlank(line[n - 1]) || line[n - 1] == '\r' || line[n - 1] == '\n')) --n;
  if (n + 3 > kReplyAreaSize) return -1;
  line[n] = '\r';
  line[n + 1] = '\n';
  line[n + 2] = '\0';
  record->decoder->lineLength = n + 2;
  return n + 2;
}

// How much of the next line is looked at before it is joined: enough for
// the name of any header field.
constexpr int32_t kLineStartPeek = 80;

// The start of the next line, once it has begun to arrive (nothing is taken
// from the source). Returns the number of bytes in start.
int32_t peekLineStart(ChannelRecord* record, char* start) {
  int32_t count = lineSourceOf(record).peek(start, kLineStartPeek);
  return count < 0 ? 0 : count;
}

// Reads the next line, or piece of one, from the source into line (room
// for kReplyRoom bytes); lineCut tells whether its line feed is still to
// come. The count, or 0 when nothing came.
int32_t pullLine(ChannelRecord* record, char* line) {
  bool cut = false;
  int32_t got = lineSourceOf(record).next(line, kReplyRoom, &cut);
  if (got <= 0) return 0;
  record->decoder->lineCut = cut ? 1 : 0;
  return got;
}

bool isFieldNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// "Name:" at the start of a line: a header field of its own.
bool startsHeaderField(const char* text, int32_t count) {
  int32_t i = 0;
  while (i < count && isFieldNameChar(text[i])) ++i;
  return i > 0 && i < count && text[i] == ':';
}

// A line that begins with a blank continues the header line before it. One
// that does not is still joined behind a line ending in the mark (some
// mailers break parameter lists without a blank), unless it cannot belong
// to the header line: the blank line that ends the header, a line beginning
// with "." (it may end the message), a boundary line, or a header field of
// its own (the transfer encoding behind a Content-Type line ending in ";").
// A line of nothing but blanks ends the header as the blank line does.
bool nextLineJoinable(ChannelRecord* record) {
  char start[kLineStartPeek];
  int32_t count = peekLineStart(record, start);
  if (count <= 0) return false;
  char c = start[0];
  if (isBlank(c)) {
    int32_t i = 0;
    while (i < count && isBlank(start[i])) ++i;
    return i == count || (start[i] != '\r' && start[i] != '\n');
  }
  if (c == '\r' || c == '\n' || c == '.') return false;
  if (count >= 2 && c == '-' && start[1] == '-') return false;
  return !startsHeaderField(start, count);
}

// Decodes the base64 text of an encoded word at [at, end) of the line and
// puts the bytes in its place, the prefix and "?=" already removed ahead of
// it. Returns the new line length; *next is set behind the decoded bytes.
int32_t decodeBase64Word(ChannelRecord* record, int32_t length, int32_t at, int32_t end, int32_t* next) {
  char* line = record->texts.replyText;
  int32_t chars = end - at < kMaxWordChars ? end - at : kMaxWordChars;
  char bytes[kWordBytesRoom];
  int32_t count = base64DecodeRun(line + at, bytes, chars);
  // A NUL would end the line in the middle of the header.
  int32_t kept = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (bytes[i] != '\0') line[at + kept++] = bytes[i];
  }
  int32_t restAt = end + kWordEndLength <= length ? end + kWordEndLength : length;
  std::memmove(line + at + kept, line + restAt, static_cast<size_t>(length - restAt + 1));
  *next = at + kept;
  return at + kept + (length - restAt);
}

}  // namespace

int32_t lineEndLength(const char* line, int32_t length) {
  if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') return 2;
  return length >= 1 && line[length - 1] == '\n' ? 1 : 0;
}

bool nextLineContinues(ChannelRecord* record) {
  if (record->decoder->lineCut != 0) return false;
  char start[kLineStartPeek];
  return peekLineStart(record, start) > 0 && isBlank(start[0]);
}

bool completeLine(ChannelRecord* record) {
  char* line = record->texts.replyText;
  int32_t length = record->decoder->lineLength;
  while (record->decoder->lineCut != 0 && length + kReplyRoom <= kReplyAreaSize) {
    int32_t got = pullLine(record, line + length);
    if (got <= 0) break;
    length += got;
    record->decoder->lineLength = length;
  }
  return record->decoder->lineCut == 0;
}

bool joinContinuation(ChannelRecord* record, char mark) {
  char* line = record->texts.replyText;
  // A line still cut is completed before anything is joined behind it.
  if (record->decoder->lineCut != 0 && !completeLine(record)) return false;
  int32_t length = trimLineEnd(record);
  if (length < 3) return false;
  if (mark != kNoMark && line[length - 3] != mark) return false;
  // The next line takes the place of the CR LF; it must fit the area whole,
  // or it stays a line of its own.
  int32_t at = length - 2;
  if (at + kReplyRoom > kReplyAreaSize) return false;
  if (!nextLineJoinable(record)) return false;
  int32_t got = pullLine(record, line + at);
  if (got <= 0) {
    line[at] = '\r';
    line[at + 1] = '\n';
    line[at + 2] = '\0';
    return false;
  }
  int32_t blanks = 0;
  while (blanks < got && isBlank(line[at + blanks])) ++blanks;
  record->decoder->lineLength = removeChars(line, at + got, at, blanks);
  if (record->decoder->lineCut != 0) completeLine(record);
  return true;
}

int32_t headerWordKind(const char* text) {
  if (findTextNoCase(text, "=?iso-8859-1?q?") != nullptr) return 1;
  if (findTextNoCase(text, "=?iso-8859-1?b?") != nullptr) return 2;
  return 0;
}

void decodeHeaderWords(ChannelRecord* record, WordForm form) {
  char* line = record->texts.replyText;
  int32_t length = record->decoder->lineLength;
  if (length <= kWordSearchStart) return;
  const int32_t oldLength = length;
  // The line end (CR LF, or a bare LF) stays at the end of the line.
  const int32_t endLength = lineEndLength(line, length);
  bool decoded = false;
  int32_t from = kWordSearchStart;
  for (int32_t word = 0; word < kMaxWords; ++word) {
    char* prefix = findTextNoCase(line + from, kWordPrefix);
    if (prefix == nullptr) break;
    int32_t at = static_cast<int32_t>(prefix - line);
    length = removeChars(line, length, at, kWordPrefixAndForm);
    char* close = findTextNoCase(line + at, kWordEnd);
    if (close == nullptr) break;
    int32_t end = static_cast<int32_t>(close - line);
    if (form == WordForm::unwrap) {
      // The text stays for the caller to decode.
      length = removeChars(line, length, end, kWordEndLength);
      from = end;
      continue;
    }
    length = decodeBase64Word(record, length, at, end, &from);
    decoded = true;
  }
  record->decoder->lineLength = length;
  if (!decoded) return;
  // The decoded line keeps its old length: blanks fill the room the encoding
  // took, in front of the line end.
  int32_t content = length >= endLength ? length - endLength : length;
  int32_t fillTo = oldLength - endLength;
  while (content < fillTo) line[content++] = ' ';
  if (endLength == 2) line[content++] = '\r';
  if (endLength >= 1) line[content++] = '\n';
  line[content] = '\0';
  record->decoder->lineLength = content;
}

}  // namespace qel
