// decodeLine: the decoder's states, one handler per state, and the pieces of
// lines longer than one read.
#include <cstring>

#include "codec/quoted_printable.h"
#include "codec/text_search.h"
#include "frame/log.h"
#include "frame/text.h"
#include "mime/attach_files.h"
#include "mime/decoder.h"
#include "mime/decoder_state.h"

namespace qel {
namespace {

constexpr int32_t kPass = 1;   // the line goes into the message file
constexpr int32_t kLeave = 0;  // it does not

// What the rest of a cut line gets (cutLineResult).
constexpr uint8_t kWholeLine = 0;
constexpr uint8_t kCutPassed = 1;
constexpr uint8_t kCutLeft = 2;

// A blank line (its first byte CR, or a bare LF) ends a header.
bool isBlankLine(const char* line) { return line[0] == '\r' || line[0] == '\n'; }

// A whole line of nothing but blanks ends a header too: mail that ends its
// header with " " instead of an empty line keeps its body. The line is made
// the empty line it stands for, so the message file gets a true one.
bool endsHeader(ChannelRecord* record) {
  char* line = record->texts.replyText;
  if (isBlankLine(line)) return true;
  int32_t length = record->decoder->lineLength;
  int32_t end = length - lineEndLength(line, length);
  if (record->decoder->lineCut != 0 || end == length) return false;
  for (int32_t i = 0; i < end; ++i) {
    if (line[i] != ' ' && line[i] != '\t') return false;
  }
  std::memmove(line, line + end, static_cast<size_t>(length - end + 1));
  record->decoder->lineLength = length - end;
  return true;
}

// Decodes the quoted-printable text of the line in place, up to its first
// NUL byte (the bytes from there on are kept as they came).
void decodeQuotedInPlace(ChannelRecord* record) {
  char* line = record->texts.replyText;
  int32_t length = record->decoder->lineLength;
  int32_t text = textLength(line);
  // The result is never longer than the text.
  int32_t decoded = qpDecode(line, line);
  if (text < length) std::memmove(line + decoded, line + text, static_cast<size_t>(length - text + 1));
  record->decoder->lineLength = decoded + (length - text);
}

// A header line that names the part's file: the name is kept in attachName
// and the file is created only when the header ends, under the last name
// given (Content-Type and Content-Disposition may name it differently).
void takeFileName(ChannelRecord* record) {
  if (extractFileName(record)) record->decoder->partNamed = 1;
}

// The end of a part's header: the file it named, or an unnamed base64 part
// when those are saved.
void openPartFile(ChannelRecord* record, bool unnamedToo) {
  if (record->decoder->partNamed != 0) {
    record->decoder->partNamed = 0;
    createAttachFile(record);
  } else if (unnamedToo) {
    saveUnnamedPart(record);
  }
}

// State 2: the top header before "MIME-Version: 1.0". Every line goes into
// the message file; ISO-8859-1 words of Subject and From are decoded.
int32_t topHeaderLine(ChannelRecord* record) {
  char* line = record->texts.replyText;
  if (endsHeader(record)) {
    record->decoder->decodeState = kDecodeOff;
    logText(record, "[Not doing MIME/2]\r\n");
    return kPass;
  }
  if (beginsWithNoCase(line, "Subject:") || beginsWithNoCase(line, "From")) {
    int32_t kind = headerWordKind(line);
    if (kind != 0) {
      logText(record, "[ISO8859]\r\n");
      if (nextLineContinues(record)) joinContinuation(record, '=');
      if (kind == 1) {
        decodeHeaderWords(record, WordForm::unwrap);
        decodeQuotedInPlace(record);
      } else {
        decodeHeaderWords(record, WordForm::base64);
      }
    }
  } else if (beginsWithNoCase(line, "MIME-Version: 1.0")) {
    record->decoder->decodeState = kDecodeMimeHeader;
    record->decoder->headerLinePassed = 1;
    logText(record, "[MIME version found]\r\n");
  }
  if (takeBoundary(record)) logText(record, "[Assuming MIME]\r\n");
  return kPass;
}

// State 3: the top header after "MIME-Version: 1.0". Only Subject, To and
// From go into the message file; the MIME fields are taken.
int32_t examineMimeHeaderLine(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  if (endsHeader(record)) {
    if (record->decoder->partEncoding != kEncodingNone) {
      // A single-part message: its body is decoded like a part's.
      record->decoder->decodeState = kDecodePartBody;
      startPartContent(record);
      logText(record, "[MIME w/o boundary]\r\n");
      openPartFile(record, true);
    } else {
      record->decoder->decodeState = kDecodeOff;
      logText(record, "[Not doing MIME]\r\n");
      openPartFile(record, false);
    }
    return kPass;
  }
  if (beginsWithNoCase(line, "Subject:") || beginsWithNoCase(line, "To:") || beginsWithNoCase(line, "From:")) return kPass;
  if (takeBoundary(record) || takeEncoding(record)) return kLeave;
  if (takeDisposition(record) || beginsWithNoCase(line, "Content-Type:")) takeFileName(record);
  return kLeave;
}

// A folded line (beginning with a blank) that no field took goes where the
// field it continues went: a To list over several lines stays whole.
int32_t mimeHeaderLine(ChannelRecord* record) {
  const char first = record->texts.replyText[0];
  if ((first == ' ' || first == '\t') && !endsHeader(record)) return record->decoder->headerLinePassed != 0 ? kPass : kLeave;
  int32_t result = examineMimeHeaderLine(record);
  record->decoder->headerLinePassed = result == kPass ? 1 : 0;
  return result;
}

// State 4: between the top header and the first boundary line. Only the
// blank line that ends the top header goes into the message file.
int32_t preambleLine(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  if (checkBoundaryLine(record)) return kLeave;
  if (record->decoder->headerGapWritten == 0) endsHeader(record);
  bool lineEndOnly = (line[0] == '\r' && line[1] == '\n') || line[0] == '\n';
  if (record->decoder->headerGapWritten == 0 && lineEndOnly) {
    record->decoder->headerGapWritten = 1;
    return kPass;
  }
  return kLeave;
}

// State 5: the header of a part. None of its lines goes into the message
// file. A boundary line ends a header that lacks its blank line and opens
// the next part, which must not take this header's name or encoding.
int32_t partHeaderLine(ChannelRecord* record) {
  const char* line = record->texts.replyText;
  logText(record, "[Looking for encoding]\r\n");
  if (checkBoundaryLine(record)) return kLeave;
  if (endsHeader(record)) {
    if (record->decoder->embeddedMessage != 0) {
      // The header of an attached message follows: it is examined like a
      // part header, and its blank line starts the body.
      record->decoder->decodeInline = 0;
      record->decoder->embeddedMessage = 0;
      logText(record, "[Ignoring blank line]\r\n");
      return kPass;
    }
    record->decoder->decodeState = kDecodePartBody;
    startPartContent(record);
    openPartFile(record, record->decoder->decodeInline == 0);
    return kLeave;
  }
  if (takeEncoding(record) || takeAltBoundary(record)) return kLeave;
  if (beginsWithNoCase(line, "Content-Type: message/rfc822")) {
    record->decoder->decodeInline = 1;
    record->decoder->embeddedMessage = 1;
    return kLeave;
  }
  if (takeDisposition(record) || beginsWithNoCase(line, "Content-Type:")) takeFileName(record);
  return kLeave;
}

// State 6: the body of a part. A boundary line ends it; otherwise the line
// is decoded into the part's file or the message file, or goes into the
// message file as it came.
int32_t partBodyLine(ChannelRecord* record, bool restOfLine) {
  if (!restOfLine && checkBoundaryLine(record)) {
    closeAttachFile(record);
    return kLeave;
  }
  logFormat(record, "[InlineFlag=%d MimeEncoding=%d FileHandle=%d]\r\n", record->decoder->decodeInline,
            record->decoder->partEncoding, record->decoder->fileHandle);
  if (record->decoder->decodeInline == 0 && record->decoder->fileHandle <= 0) return kPass;
  decodePartContent(record);
  logText(record, record->decoder->decodeInline != 0 ? "[...decode inline...]\r\n" : "[...decode to file...]\r\n");
  return kLeave;
}

// The rest of a cut line goes where its beginning went; only part content
// is decoded on. It is never taken for a line of its own (a blank line or a
// boundary line).
int32_t restOfCutLine(ChannelRecord* record, uint8_t firstPiece) {
  if (record->decoder->decodeState == kDecodePartBody) return partBodyLine(record, true);
  return firstPiece == kCutPassed ? kPass : kLeave;
}

int32_t dispatch(ChannelRecord* record) {
  switch (record->decoder->decodeState) {
    case kDecodeTopHeader:
      return topHeaderLine(record);
    case kDecodeMimeHeader:
      return mimeHeaderLine(record);
    case kDecodePreamble:
      return preambleLine(record);
    case kDecodePartHeader:
      return partHeaderLine(record);
    case kDecodePartBody:
      return partBodyLine(record, false);
    default:
      return kPass;  // 0, and 7 to 9: no decoding
  }
}

}  // namespace

void startDecoding(ChannelRecord* record) {
  if (record->decoder->decodeState != kDecodeRaw) record->decoder->decodeState = kDecodeTopHeader;
  record->decoder->boundaryLength = 0;
  record->decoder->boundaryCount = 0;
  record->decoder->partEncoding = kEncodingNone;
  record->decoder->headerGapWritten = 0;
  record->decoder->partNamed = 0;
  record->decoder->lineCut = 0;
  record->decoder->cutLineResult = kWholeLine;
  startPartContent(record);
}

int32_t decodeLine(ChannelRecord* record) {
  if (record == nullptr) return kPass;
  int32_t state = record->decoder->decodeState;
  if (state < kDecodeTopHeader || state > kDecodeLastState) return kPass;
  if (record->decoder->lineLength < 0 || record->decoder->lineLength >= kReplyAreaSize) record->decoder->lineLength = kReplyAreaSize - 1;
  record->texts.replyText[record->decoder->lineLength] = '\0';

  uint8_t firstPiece = record->decoder->cutLineResult;
  record->decoder->cutLineResult = kWholeLine;

  int32_t result;
  if (firstPiece != kWholeLine) {
    // Every top-header line goes into the message file: so does its rest,
    // also when the mark is one left by an earlier download.
    result = state == kDecodeTopHeader ? kPass : restOfCutLine(record, firstPiece);
  } else {
    // A header line is examined whole: the rest of a long one is read now.
    bool header = state == kDecodeTopHeader || state == kDecodeMimeHeader || state == kDecodePartHeader;
    if (header && record->decoder->lineCut != 0) completeLine(record);
    result = dispatch(record);
  }
  if (record->decoder->lineCut != 0) record->decoder->cutLineResult = result == kPass ? kCutPassed : kCutLeft;
  return result;
}

}  // namespace qel
