// MIME header fields the decoder acts on: boundary lines, the main and the
// alternate boundary, the transfer encoding, the disposition and the file
// name of a part.
#include <cstring>

#include "codec/base64.h"
#include "codec/quoted_printable.h"
#include "codec/text_search.h"
#include "frame/log.h"
#include "frame/text.h"
#include "mime/attach_files.h"
#include "mime/decoder.h"
#include "mime/decoder_state.h"

namespace qel {
namespace {

constexpr char kContentType[] = "Content-Type:";
constexpr int32_t kContentTypeLength = literalLength(kContentType);
constexpr char kAlternativeType[] = "Content-Type: multipart/alternative;";
// The semicolon is not compared for mixed; the boundary parameter of either
// is looked for behind the length of this text.
constexpr char kMixedType[] = "Content-Type: multipart/mixed";
constexpr int32_t kAltSearchStart = literalLength(kMixedType);
constexpr char kEncodingField[] = "Content-Transfer-Encoding:";
constexpr char kDispositionField[] = "Content-Disposition:";
constexpr char kInline[] = "inline";
constexpr int32_t kInlineLength = literalLength(kInline);
constexpr char kBoundaryParameter[] = "Boundary=";
constexpr int32_t kBoundaryParameterLength = literalLength(kBoundaryParameter);
constexpr char kNameParameter[] = "name=";
constexpr int32_t kNameParameterLength = literalLength(kNameParameter);
constexpr char kBoundaryDash[] = "--";
constexpr int32_t kBoundaryValueCap = kBoundaryCap - literalLength(kBoundaryDash);
// A file name is at most kPathCap characters once decoded; its encoded form
// is at most about three times as long.
constexpr int32_t kRawNameCap = 4 * kPathCap;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

struct Value {
  const char* text;
  int32_t length;
};

// The value of a parameter whose "=" ends just before `behind`. A value that
// begins with a double quote runs to the next one; any other value ends at
// the ";" that starts the next parameter or at the line end, without
// trailing blanks. False when the value is empty or has no end on the line.
bool parameterValue(const char* behind, Value* value) {
  const char* p = behind;
  while (isBlank(*p)) ++p;
  if (*p == '"') {
    const char* close = findChar(p + 1, '"');
    if (close == nullptr || close == p + 1) return false;
    *value = Value{p + 1, static_cast<int32_t>(close - p - 1)};
    return true;
  }
  const char* end = p;
  while (*end != '\0' && *end != ';' && *end != '\r' && *end != '\n') ++end;
  if (*end == '\0') return false;
  while (end > p && isBlank(end[-1])) --end;
  if (end == p) return false;
  *value = Value{p, static_cast<int32_t>(end - p)};
  return true;
}

// "--" and at most 126 characters of the value.
int32_t setBoundary(char* field, const Value& value) {
  copyText(field, kBoundaryDash, kBoundaryCap);
  int32_t length = value.length < kBoundaryValueCap ? value.length : kBoundaryValueCap;
  return appendText(field, value.text, length, kBoundaryCap);
}

// The boundary parameter of a Content-Type line, searched from `from` on,
// after up to two continuation lines have been joined to it.
bool boundaryValue(ChannelRecord* record, int32_t from, Value* value) {
  joinContinuation(record, ';');
  joinContinuation(record, ';');
  const char* found = findTextNoCase(record->texts.replyText + from, kBoundaryParameter);
  return found != nullptr && parameterValue(found + kBoundaryParameterLength, value);
}

void logBoundary(ChannelRecord* record, const char* opening, int32_t length, const char* boundary) {
  logFormat(record, opening, length);
  logText(record, boundary);
  logText(record, ")]\r\n");
}

bool boundaryMatches(const char* line, const char* boundary, int32_t length) {
  return length > 0 && length <= kBoundaryCap && equalsNoCase(line, boundary, length);
}

}  // namespace

bool checkBoundaryLine(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  // Only the start is compared, so the closing line ("--" behind the
  // boundary) counts too.
  if (!boundaryMatches(line, record->decoder->mimeBoundary, record->decoder->boundaryLength) &&
      !boundaryMatches(line, record->decoder->altBoundary, record->decoder->altBoundaryLength)) {
    return false;
  }
  record->decoder->boundaryCount += 1;
  record->decoder->decodeState = kDecodePartHeader;
  record->decoder->partEncoding = kEncodingNone;
  record->decoder->decodeInline = 0;
  copyText(record->decoder->attachName, kBoundaryName, kPathCap);
  record->decoder->partNamed = 0;
  startPartContent(record);
  logText(record, "[Boundary line found]\r\n");
  return true;
}

bool takeBoundary(ChannelRecord* record) {
  if (!beginsWithNoCase(record->texts.replyText, kContentType)) return false;
  Value value{};
  if (!boundaryValue(record, kContentTypeLength, &value)) return false;
  record->decoder->boundaryLength = setBoundary(record->decoder->mimeBoundary, value);
  record->decoder->altBoundaryLength = 0;
  record->decoder->decodeState = kDecodePreamble;
  // The file of an earlier part is no longer written; it is closed so that
  // no descriptor is left behind.
  dropAttachFile(record);
  record->decoder->partNamed = 0;
  logBoundary(record, "[MIME boundary defined %d (", record->decoder->boundaryLength, record->decoder->mimeBoundary);
  return true;
}

bool takeAltBoundary(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  if (!beginsWithNoCase(line, kAlternativeType) && !beginsWithNoCase(line, kMixedType)) return false;
  Value value{};
  if (!boundaryValue(record, kAltSearchStart, &value)) return false;
  record->decoder->altBoundaryLength = setBoundary(record->decoder->altBoundary, value);
  logBoundary(record, "[Alternate MIME boundary defined %d (", record->decoder->boundaryLength, record->decoder->altBoundary);
  return true;
}

bool takeEncoding(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  if (!beginsWithNoCase(line, kEncodingField)) return false;
  const char* value = line + literalLength(kEncodingField);
  if (findTextNoCase(value, "base64") != nullptr) {
    record->decoder->partEncoding = kEncodingBase64;
    logText(record, "[Encoding is BASE64]\r\n");
  } else if (findTextNoCase(value, "quoted-printable") != nullptr) {
    record->decoder->partEncoding = kEncodingQuoted;
    logText(record, "[Encoding is QUOTED]\r\n");
  } else if (findTextNoCase(value, "7bit") != nullptr) {
    record->decoder->partEncoding = kEncoding7bit;
    logText(record, "[Encoding is 7-bit]\r\n");
  } else {
    return false;  // 8bit, binary and unknown encodings leave partEncoding
  }
  return true;
}

bool takeDisposition(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  if (!beginsWithNoCase(line, kDispositionField)) return false;
  // The disposition type is the first word of the value. A bare "inline"
  // puts the part into the message file; "inline" with parameters (a file
  // name) does not.
  const char* type = line + literalLength(kDispositionField);
  while (isBlank(*type)) ++type;
  char after = equalsNoCase(type, kInline, kInlineLength) ? type[kInlineLength] : 'x';
  if (after == '\0' || after == '\r' || after == '\n' || isBlank(after)) {
    record->decoder->decodeInline = 1;
    logText(record, "[inline]\r\n");
  }
  return true;
}

bool extractFileName(ChannelRecord* record) {
  char* line = record->texts.replyText;
  if (!joinContinuation(record, ';') && nextLineContinues(record)) joinContinuation(record, kNoMark);
  if (textLength(line) < kContentTypeLength) return false;

  int32_t kind = headerWordKind(line + kContentTypeLength);
  if (kind != 0) {
    logText(record, "[iso-8859]\r\n");
    joinContinuation(record, '=');
    logFormat(record, "[r:%s]\r\n", line);
    decodeHeaderWords(record, WordForm::unwrap);
  }

  const char* found = findTextNoCase(line + kContentTypeLength, kNameParameter);
  if (found == nullptr) return false;
  Value value{};
  if (!parameterValue(found + kNameParameterLength, &value)) return false;

  char raw[kRawNameCap + 1];
  int32_t rawLength = value.length < kRawNameCap ? value.length : kRawNameCap;
  std::memcpy(raw, value.text, static_cast<size_t>(rawLength));
  raw[rawLength] = '\0';
  // Room for the base64 decoder's zero fill behind the decoded bytes.
  char decoded[kRawNameCap + 4];
  int32_t count = rawLength;
  if (kind == 1) {
    count = qpDecode(raw, decoded);
  } else if (kind == 2) {
    count = base64DecodeRun(raw, decoded, rawLength);
  } else {
    std::memcpy(decoded, raw, static_cast<size_t>(rawLength) + 1);
  }
  // Decoding may have made path characters, dots or control characters:
  // only a safe last component is kept.
  safeFileName(decoded, count, record->decoder->attachName);
  logFormat(record, "[Filename='%s']\r\n", record->decoder->attachName);
  return true;
}

}  // namespace qel
