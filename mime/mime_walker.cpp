// The full-MIME walk line by line: header fields unfolded whole before they
// are read, boundary lines found on the stack, content handed on.
#include "mime/mime_walker.h"

#include <cstring>
#include <initializer_list>

#include "frame/log.h"
#include "mime/decoder.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "mime/mime_state.h"

namespace qel {
namespace {

bool isBlankLine(const char* bytes, int32_t n) { return n == lineEndLength(bytes, n); }

// A whole line of nothing but blanks ends a header as an empty line does:
// mail that ends its header with " " instead of an empty line keeps its
// first part. Only a line short enough to be judged whole however the
// message was cut counts.
bool isWhiteLine(const char* bytes, int32_t n) {
  if (n > kMimeGatherRoom) return false;
  int32_t end = n - lineEndLength(bytes, n);
  if (end == n) return false;
  for (int32_t i = 0; i < end; ++i) {
    if (bytes[i] != ' ' && bytes[i] != '\t') return false;
  }
  return true;
}

// A header field line: a name of printable characters, then ":".
bool isFieldLine(const char* bytes, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c == ':') return i > 0;
    if (c <= ' ' || c >= 0x7F) return false;
  }
  return false;
}

// Whether a line (or its first piece) belongs to a header: a field, its
// continuation or the blank line that ends the header.
bool isHeaderLine(const char* bytes, int32_t n, bool atStart, bool cut) {
  if (!atStart || bytes[0] == ' ' || bytes[0] == '\t') return true;
  if (n >= 5 && std::memcmp(bytes, "From ", 5) == 0) return true;  // an mbox "From " line
  if (!cut && isBlankLine(bytes, n)) return true;
  return isFieldLine(bytes, cut ? n : n - lineEndLength(bytes, n));
}

// Whether a whole line is the delimiter of a level: "--boundary", then "--"
// for the closing one, then nothing but blanks (RFC 2046 section 5.1.1).
// With anyTail, a closing delimiter may be followed by anything: mail in
// the wild ends its last part with "--boundary-->" or "--boundary--junk",
// and the part must not run on into the epilogue. An opening delimiter
// keeps the strict form, so "--boundaryX" never cuts a part whose text
// merely begins like the boundary.
bool matchesDelimiter(const MimeLevel& level, const char* bytes, int32_t n, bool anyTail, bool* closing) {
  int32_t length = level.length;
  if (n < length || std::memcmp(bytes, level.delimiter, static_cast<size_t>(length)) != 0) return false;
  int32_t at = length;
  int32_t end = n - lineEndLength(bytes, n);
  *closing = at + 1 < end && bytes[at] == '-' && bytes[at + 1] == '-';
  if (*closing && anyTail) return true;
  if (*closing) at += 2;
  while (at < end && (bytes[at] == ' ' || bytes[at] == '\t')) ++at;
  return at == end;
}

// The innermost level whose delimiter the line is, or -1. A delimiter of
// the strict form is looked for on every level first, so that a boundary
// that begins like another level's closing line still finds its own level.
int32_t boundaryLevel(const MimeWalk* walk, const char* bytes, int32_t n, bool* closing) {
  if (n < 2 || bytes[0] != '-' || bytes[1] != '-') return -1;
  for (bool anyTail : {false, true}) {
    for (int32_t i = walk->depth - 1; i >= 0; --i) {
      if (matchesDelimiter(walk->levels[i], bytes, n, anyTail, closing)) return i;
    }
  }
  return -1;
}

// A boundary line of level index: the part in progress ends; levels inside
// it that were never closed are closed with it.
void takeBoundary(ChannelRecord* record, int32_t index, bool closing) {
  MimeWalk* walk = walkOf(record);
  // A multipart part closed by an enclosing boundary before its own came
  // keeps its text.
  if (walk->stage == MimeStage::preamble && index < walk->depth - 1) keepPreamble(record, false);
  if (walk->stage == MimeStage::body || walk->target != MimeTarget::none) endPart(record, true);
  if (index < walk->depth - 1) mimeOdd(record, kOddUnclosed);
  walk->depth = closing ? index : index + 1;
  walk->fieldLength = 0;
  if (closing) {
    walk->stage = MimeStage::epilogue;
    return;
  }
  std::memset(&walk->part, 0, sizeof walk->part);
  walk->headerLines = 0;
  walk->stage = MimeStage::partHeader;
}

// Reads the field gathered so far into the current part.
void finishField(MimeWalk* walk) {
  if (walk->fieldLength > 0) readPartField(walk, walk->field, walk->fieldLength);
  walk->fieldLength = 0;
}

void addToField(ChannelRecord* record, const char* bytes, int32_t n) {
  MimeWalk* walk = walkOf(record);
  int32_t room = kMimeFieldCap - walk->fieldLength;
  if (n > room) {
    mimeOdd(record, kOddLongField);
    n = room;
  }
  std::memcpy(walk->field + walk->fieldLength, bytes, static_cast<size_t>(n));
  walk->fieldLength += n;
}

// A line before the first boundary of a multipart part: kept in case that
// boundary never comes.
void preambleLine(ChannelRecord* record, const char* bytes, int32_t n, bool cut) {
  MimeWalk* walk = walkOf(record);
  if (walk->target == MimeTarget::none && walk->preambleLength + n > kMimePreambleRoom) {
    keepPreamble(record, true);
    // Without a file to keep it in, the text goes (the log says so).
    if (walk->target == MimeTarget::none) return;
  }
  if (walk->target != MimeTarget::none) {
    partContent(record, bytes, n, cut);
    return;
  }
  std::memcpy(walk->preamble + walk->preambleLength, bytes, static_cast<size_t>(n));
  walk->preambleLength += n;
  walk->preambleCut = cut;
}

void headerEnds(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  finishField(walk);
  beginPart(record);
}

// A piece of a header line. Returns false when the line is no header line
// at all (the header ended without its blank line): it is content.
bool headerPiece(ChannelRecord* record, const char* bytes, int32_t n, bool atStart, bool cut) {
  MimeWalk* walk = walkOf(record);
  int32_t text = cut ? n : n - lineEndLength(bytes, n);
  if (!atStart) {
    addToField(record, bytes, text);
    return true;
  }
  if (!cut && (isBlankLine(bytes, n) || isWhiteLine(bytes, n))) {
    headerEnds(record);
    return true;
  }
  if (bytes[0] == ' ' || bytes[0] == '\t') {
    addToField(record, bytes, text);
    return true;
  }
  finishField(walk);
  if (!isHeaderLine(bytes, n, atStart, cut)) {
    mimeOdd(record, kOddNoBlankLine);
    // The top header in the message file gets the empty line it lacked.
    if (walk->stage == MimeStage::topHeader && walk->headerLines > 0) mimePut(record, record->decoder->mailFile, "\r\n", 2);
    beginPart(record);
    return false;
  }
  addToField(record, bytes, text);
  return true;
}

}  // namespace

bool mimeStart(ChannelRecord* record) {
  mimeRelease(record);
  auto* walk = static_cast<MimeWalk*>(plat::memoryAllocate(sizeof(MimeWalk)));
  if (walk == nullptr) return false;
  walk->stage = MimeStage::topHeader;
  walk->lineStart = true;
  walk->textEndsLine = true;
  record->decoder->mimeWalk = walk;
  record->decoder->utf8Names = 1;
  return true;
}

namespace {

// One line or piece, as the walk's stage takes it; atStart: it begins a line.
void stagePiece(ChannelRecord* record, const char* bytes, int32_t n, bool atStart, bool cut) {
  MimeWalk* walk = walkOf(record);
  bool closing = false;
  int32_t level = atStart && !cut ? boundaryLevel(walk, bytes, n, &closing) : -1;
  switch (walk->stage) {
    case MimeStage::topHeader:
      // The top header goes into the message file as it came; a line of
      // blanks that ends it goes in as the empty line it stands for.
      if (isHeaderLine(bytes, n, atStart, cut)) {
        bool white = atStart && !cut && isWhiteLine(bytes, n);
        int32_t skip = white ? n - lineEndLength(bytes, n) : 0;
        mimePut(record, record->decoder->mailFile, bytes + skip, n - skip);
        walk->headerLines += atStart ? 1 : 0;
        headerPiece(record, bytes, n, atStart, cut);
      } else if (!headerPiece(record, bytes, n, atStart, cut)) {
        // The header ended without its empty line: the line is the first
        // of the body, a boundary line too.
        stagePiece(record, bytes, n, atStart, cut);
      }
      break;
    case MimeStage::partHeader:
      if (level >= 0) {
        // Two boundary lines in a row make no part.
        if (walk->headerLines > 0) headerEnds(record);
        takeBoundary(record, level, closing);
      } else {
        walk->headerLines += 1;
        // A part header that runs straight into content or into the first
        // boundary line of its own multipart part: the line is not lost.
        if (!headerPiece(record, bytes, n, atStart, cut)) stagePiece(record, bytes, n, atStart, cut);
      }
      break;
    case MimeStage::preamble:
      if (level >= 0) {
        takeBoundary(record, level, closing);
      } else {
        preambleLine(record, bytes, n, cut);
      }
      break;
    case MimeStage::epilogue:
      if (level >= 0) takeBoundary(record, level, closing);
      break;
    case MimeStage::body:
      if (level >= 0) {
        takeBoundary(record, level, closing);
      } else {
        partContent(record, bytes, n, cut);
      }
      break;
  }
}

void walkPiece(ChannelRecord* record, const char* bytes, int32_t n, bool cut) {
  MimeWalk* walk = walkOf(record);
  bool atStart = walk->lineStart;
  walk->lineStart = !cut;
  stagePiece(record, bytes, n, atStart, cut);
}

// Gathers the start of a line that comes in pieces.
void gatherPiece(ChannelRecord* record, const char* bytes, int32_t n, bool cut) {
  MimeWalk* walk = walkOf(record);
  if (walk->gatherLength == 0 && !(walk->lineStart && cut)) {
    walkPiece(record, bytes, n, cut);
    return;
  }
  int32_t take = n < kMimeGatherRoom - walk->gatherLength ? n : kMimeGatherRoom - walk->gatherLength;
  std::memcpy(walk->gather + walk->gatherLength, bytes, static_cast<size_t>(take));
  walk->gatherLength += take;
  if (take == n && !cut) {
    int32_t gathered = walk->gatherLength;
    walk->gatherLength = 0;
    walkPiece(record, walk->gather, gathered, false);
    return;
  }
  if (walk->gatherLength < kMimeGatherRoom) return;
  int32_t gathered = walk->gatherLength;
  walk->gatherLength = 0;
  walkPiece(record, walk->gather, gathered, true);
  if (take < n) walkPiece(record, bytes + take, n - take, cut);
}

}  // namespace

int32_t mimeLine(ChannelRecord* record, const char* bytes, int32_t n, bool cut) {
  MimeWalk* walk = walkOf(record);
  if (walk == nullptr || n <= 0) return 0;
  // A CR at the end of a piece may be the first half of a line end.
  if (walk->heldCr) {
    walk->heldCr = false;
    if (bytes[0] == '\n') {
      gatherPiece(record, "\r\n", 2, false);
      ++bytes;
      --n;
    } else {
      gatherPiece(record, "\r", 1, true);
    }
  }
  if (n > 0 && cut && bytes[n - 1] == '\r') {
    walk->heldCr = true;
    --n;
  }
  if (n > 0) gatherPiece(record, bytes, n, cut);
  int32_t error = walk->writeError;
  walk->writeError = 0;
  return error;
}

int32_t mimeEnd(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  if (walk == nullptr) return 0;
  // What is still held back ends the message.
  if (walk->heldCr) {
    walk->heldCr = false;
    gatherPiece(record, "\r", 1, true);
  }
  if (walk->gatherLength > 0) {
    int32_t gathered = walk->gatherLength;
    walk->gatherLength = 0;
    walkPiece(record, walk->gather, gathered, true);
  }
  if (walk->stage == MimeStage::topHeader || (walk->stage == MimeStage::partHeader && walk->headerLines > 0)) {
    headerEnds(record);
  }
  if (walk->stage == MimeStage::preamble) keepPreamble(record, false);
  if (walk->stage == MimeStage::body || walk->target != MimeTarget::none) endPart(record, false);
  if (walk->depth > 0) mimeOdd(record, kOddUnclosed);
  mimeFlush(record);
  int32_t error = walk->writeError;
  mimeRelease(record);
  return error;
}

void mimeRelease(ChannelRecord* record) {
  if (record->decoder->mimeWalk == nullptr) return;
  mimeFlush(record);
  plat::memoryFree(record->decoder->mimeWalk);
  record->decoder->mimeWalk = nullptr;
  record->decoder->utf8Names = 0;
}

}  // namespace qel
