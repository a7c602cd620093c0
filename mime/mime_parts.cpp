// The parts of a full-MIME walk: what a part's header says, whether a part
// is readable text, a file or a multipart part of its own, and the end of
// a part.
#include <cstring>
#include <initializer_list>

#include "codec/mime_params.h"
#include "codec/text_search.h"
#include "frame/log.h"
#include "frame/text.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "mime/attach_files.h"
#include "mime/mime_names.h"
#include "mime/mime_state.h"
#include "mime/name_fold.h"

namespace qel {
namespace {

constexpr const char* kDefaultType = "text/plain";
constexpr const char* kDigestDefaultType = "message/rfc822";
constexpr const char* kMessageType = "message/rfc822";
constexpr const char* kCharsetNote = "[Text charset: %s]\r\n";
constexpr const char* kLineEnd = "\r\n";
// Room for a number prefix of numberNames ("4294967295-") and the directory
// separator beside a name.
constexpr int32_t kPathOverhead = 12;

bool beginsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool isTextType(const char* type) { return std::strcmp(type, "text/plain") == 0 || std::strcmp(type, "text/html") == 0; }

MimeKind kindOf(const char* type) {
  if (std::strcmp(type, "multipart/alternative") == 0) return MimeKind::alternative;
  if (std::strcmp(type, "multipart/related") == 0) return MimeKind::related;
  if (std::strcmp(type, "multipart/digest") == 0) return MimeKind::digest;
  return MimeKind::mixed;
}

MimeEncoding encodingOf(const char* token) {
  if (std::strcmp(token, "base64") == 0) return MimeEncoding::base64;
  if (std::strcmp(token, "quoted-printable") == 0) return MimeEncoding::quoted;
  // The names mail programs give uuencoded parts.
  for (const char* uu : {"x-uuencode", "uuencode", "x-uue", "uue"}) {
    if (std::strcmp(token, uu) == 0) return MimeEncoding::uuencode;
  }
  return MimeEncoding::identity;
}

// Whether a child part of level may hold readable text: in an alternative
// only the first text/plain, text/html or multipart child (the one before
// the richer forms, RFC 2046 section 5.1.4), in a related part only its
// root (the first child), elsewhere every child.
bool childReadable(MimeLevel* level, const MimePart& part) {
  level->children += 1;
  if (!level->readable) return false;
  switch (level->kind) {
    case MimeKind::alternative:
      if (level->chosen || !(isTextType(part.type) || beginsWith(part.type, "multipart/"))) return false;
      level->chosen = true;
      return true;
    case MimeKind::related:
      return level->children == 1;
    default:
      return true;
  }
}

// A multipart part whose children are followed: true when it was pushed.
bool pushLevel(ChannelRecord* record, bool readable) {
  MimeWalk* walk = walkOf(record);
  const MimePart& part = walk->part;
  if (part.boundaryLength == 0) {
    mimeOdd(record, kOddNoBoundary);
    return false;
  }
  if (part.boundaryLength > kMimeBoundaryCap) {
    mimeOdd(record, kOddLongBoundary);
    return false;
  }
  if (walk->depth >= kMimeMaxDepth) {
    mimeOdd(record, kOddTooDeep);
    return false;
  }
  MimeLevel& level = walk->levels[walk->depth++];
  level.delimiter[0] = '-';
  level.delimiter[1] = '-';
  std::memcpy(level.delimiter + 2, part.boundary, static_cast<size_t>(part.boundaryLength) + 1);
  level.length = part.boundaryLength + 2;
  level.kind = kindOf(part.type);
  level.readable = readable;
  level.chosen = false;
  level.children = 0;
  walk->stage = MimeStage::preamble;
  walk->preambleLength = 0;
  walk->target = MimeTarget::none;
  return true;
}

// Creates the file of the current leaf part under name. False when it
// cannot be created.
bool createPartFile(ChannelRecord* record, char* name) {
  int32_t fit = kPathCap - textLength(record->decoder->attachDirectory) - kPathOverhead;
  if (fit < 1) return false;
  fitFileName(name, fit);
  // Windows drops the dots and spaces that end a name when it creates the
  // file; they go on every system, so that "noname " is never a second file
  // beside "noname" and the names are the same everywhere.
  name[foldedLength(name)] = '\0';
  if (name[0] == '\0') return false;
  copyText(record->decoder->attachName, name, kPathCap);
  return createAttachFile(record);
}

// The current leaf part goes to a file: under the name its header gives,
// else (or when that name cannot be created) as "part-N.ext".
void openPartFile(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  const MimePart& part = walk->part;
  bool message = std::strcmp(part.type, kMessageType) == 0;
  // A name given unencoded may hold 8-bit bytes that are not UTF-8: they
  // are made characters of the part's charset, so that names that differ
  // stay different files where names are Unicode (an invalid byte would be
  // U+FFFD there, every such name one file).
  const char* given = part.fileName[0] != '\0' ? part.fileName : part.typeName;
  const char* charset = part.charset[0] != '\0' ? part.charset : walk->messageCharset;
  char name[kMimeNameRoom];
  eightBitTextAsUtf8(charset, given, textLength(given), name, kMimeNameRoom - 4);
  if (message && name[0] != '\0' && !hasMessageExtension(name)) appendText(name, ".eml", 4, kMimeNameRoom - 1);
  walk->target = MimeTarget::file;
  if (name[0] != '\0' && createPartFile(record, name)) return;
  unnamedPartName(part.type, walk->leafCount, name, kMimeNameRoom);
  if (createPartFile(record, name)) return;
  mimeOdd(record, kOddNotSaved);
  walk->target = MimeTarget::none;
}

void beginText(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  walk->target = MimeTarget::text;
  const char* charset = walk->part.charset;
  if (charset[0] == '\0' || (textLength(charset) == 8 && equalsNoCase(charset, "us-ascii", 8))) return;
  if (!walk->textEndsLine) mimePut(record, record->decoder->mailFile, kLineEnd, 2);
  char note[kMimeCharsetCap + 32];
  int32_t length = plat::formatText(note, sizeof note, kCharsetNote, charset);
  mimePut(record, record->decoder->mailFile, note, length);
  walk->textEndsLine = true;
}

}  // namespace

void readPartField(MimeWalk* walk, const char* field, int32_t length) {
  MimePart& part = walk->part;
  int32_t n = 0;
  char token[kMimeTypeCap];
  if (const char* value = fieldValue(field, length, "Content-Type", &n)) {
    if (part.type[0] != '\0') return;
    valueToken(value, n, part.type, kMimeTypeCap);
    if (std::strchr(part.type, '/') == nullptr) part.type[0] = '\0';
    findParameter(value, n, "charset", part.charset, kMimeCharsetCap);
    if (walk->messageCharset[0] == '\0' && isSystemCharset(part.charset)) {
      copyText(walk->messageCharset, part.charset, kMimeCharsetCap - 1);
    }
    int32_t boundary = findParameter(value, n, "boundary", part.boundary, kMimeBoundaryCap + 2);
    // Blanks at the end of a boundary are not part of it.
    while (boundary > 0 && (part.boundary[boundary - 1] == ' ' || part.boundary[boundary - 1] == '\t')) --boundary;
    part.boundaryLength = boundary > 0 ? boundary : 0;
    part.boundary[part.boundaryLength > kMimeBoundaryCap ? kMimeBoundaryCap : part.boundaryLength] = '\0';
    findParameter(value, n, "name", part.typeName, kMimeNameRoom);
  } else if (const char* value = fieldValue(field, length, "Content-Disposition", &n)) {
    if (part.sawDisposition) return;
    part.sawDisposition = true;
    valueToken(value, n, token, sizeof token);
    part.attachment = std::strcmp(token, "attachment") == 0;
    findParameter(value, n, "filename", part.fileName, kMimeNameRoom);
  } else if (const char* value = fieldValue(field, length, "Content-Transfer-Encoding", &n)) {
    if (part.sawEncoding) return;
    part.sawEncoding = true;
    valueToken(value, n, token, sizeof token);
    part.encoding = encodingOf(token);
  }
}

void beginPart(ChannelRecord* record) {
  MimeWalk* walk = walkOf(record);
  MimePart& part = walk->part;
  MimeLevel* parent = walk->depth > 0 ? &walk->levels[walk->depth - 1] : nullptr;
  if (part.type[0] == '\0') {
    bool digest = parent != nullptr && parent->kind == MimeKind::digest;
    copyText(part.type, digest ? kDigestDefaultType : kDefaultType, kMimeTypeCap - 1);
  }
  bool readable = parent == nullptr || childReadable(parent, part);
  if (beginsWith(part.type, "multipart/") && pushLevel(record, readable)) return;

  walk->leafCount += 1;
  walk->stage = MimeStage::body;
  walk->encoding = part.encoding;
  walk->carry.count = 0;
  uuStart(&walk->uu);
  walk->heldEndLength = 0;
  bool named = part.fileName[0] != '\0' || part.typeName[0] != '\0';
  if (readable && isTextType(part.type) && !part.attachment && !named) {
    beginText(record);
  } else {
    openPartFile(record);
  }
}

void keepPreamble(ChannelRecord* record, bool evenEmpty) {
  MimeWalk* walk = walkOf(record);
  if (walk->target != MimeTarget::none || (walk->preambleLength == 0 && !evenEmpty)) return;
  walk->leafCount += 1;
  walk->encoding = MimeEncoding::identity;
  walk->heldEndLength = 0;
  openPartFile(record);
  if (walk->preambleLength > 0) partContent(record, walk->preamble, walk->preambleLength, walk->preambleCut);
  walk->preambleLength = 0;
}

void endPart(ChannelRecord* record, bool atBoundary) {
  MimeWalk* walk = walkOf(record);
  // The line end before a boundary line belongs to the boundary (RFC 2046
  // section 5.1.1); at the end of the message it is content.
  if (atBoundary) walk->heldEndLength = 0;
  finishContent(record);
  if (walk->heldEndLength > 0) {
    int32_t handle = walk->target == MimeTarget::text ? record->decoder->mailFile : record->decoder->fileHandle;
    if (walk->target != MimeTarget::none) mimePut(record, handle, walk->heldEnd, walk->heldEndLength);
    if (walk->target == MimeTarget::text) walk->textEndsLine = true;
  }
  walk->heldEndLength = 0;
  if (walk->target == MimeTarget::text && !walk->textEndsLine) {
    mimePut(record, record->decoder->mailFile, kLineEnd, 2);
    walk->textEndsLine = true;
  }
  if (walk->target == MimeTarget::file) {
    mimeFlush(record);
    closeAttachFile(record);
  }
  walk->target = MimeTarget::none;
}

}  // namespace qel
