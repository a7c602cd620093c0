// The state of one full-MIME walk, shared by the walker's files: the
// boundary stack, the header field being unfolded, the part whose header is
// read, where its content goes and the output buffer.
#pragma once

#include <cstdint>

#include "codec/uuencode.h"
#include "frame/channel.h"
#include "mime/decoder_state.h"
#include "mime/mime_walker.h"

namespace qel {

constexpr int32_t kMimeTypeCap = 80;
constexpr int32_t kMimeCharsetCap = 40;
constexpr int32_t kMimeDelimiterRoom = kMimeBoundaryCap + 3;  // "--", the boundary, a NUL
constexpr int32_t kMimeOutRoom = 64 * 1024;
constexpr int32_t kMimeNameRoom = 4 * kPathCap;
// The preamble of a multipart part is kept this far: when its first
// boundary never comes, the text is the part's content, saved as a file.
constexpr int32_t kMimePreambleRoom = 8192;
// The start of a line that comes in pieces is gathered this far before it
// is judged (a boundary line, a header field), so that the walk sees the
// same lines however the message was cut.
constexpr int32_t kMimeGatherRoom = kMimeDelimiterRoom + 16;

// Where the walk stands.
enum class MimeStage : uint8_t {
  topHeader,   // the message's own header
  partHeader,  // the header of a part, after its boundary line
  preamble,    // before the first boundary line of a multipart part
  body,        // the content of a leaf part
  epilogue,    // after a closing boundary line, up to the enclosing one
};

// Where the content of the current leaf part goes.
enum class MimeTarget : uint8_t { none, text, file };

enum class MimeEncoding : uint8_t { identity, base64, quoted, uuencode };

// Kinds of multipart part that change how their children are read.
enum class MimeKind : uint8_t { mixed, alternative, related, digest };

// Things a message may get wrong; each is logged once per download.
enum MimeOddity : uint32_t {
  kOddUnclosed = 1u << 0,
  kOddNoBlankLine = 1u << 1,
  kOddBase64 = 1u << 2,
  kOddQuoted = 1u << 3,
  kOddTooDeep = 1u << 4,
  kOddLongBoundary = 1u << 5,
  kOddNoBoundary = 1u << 6,
  kOddLongField = 1u << 7,
  kOddNotSaved = 1u << 8,
  kOddUuencode = 1u << 9,
};

struct MimeLevel {
  char delimiter[kMimeDelimiterRoom];  // "--" and the boundary
  int32_t length;
  MimeKind kind;
  bool readable;  // its children may hold the readable text
  bool chosen;    // an alternative: its readable child has come
  int32_t children;
};

// What the header of the current part said.
struct MimePart {
  char type[kMimeTypeCap];  // lower case; "" when no Content-Type came
  char charset[kMimeCharsetCap];
  char boundary[kMimeDelimiterRoom];
  int32_t boundaryLength;  // above kMimeBoundaryCap: too long to follow
  char fileName[kMimeNameRoom];  // Content-Disposition filename
  char typeName[kMimeNameRoom];  // Content-Type name
  bool attachment;
  bool sawDisposition;
  bool sawEncoding;
  MimeEncoding encoding;
};

struct MimeWalk {
  MimeStage stage;
  bool lineStart;  // the next piece begins a line
  bool heldCr;     // a piece ended in CR: a line end may be cut in two
  char gather[kMimeGatherRoom];
  int32_t gatherLength;
  MimeLevel levels[kMimeMaxDepth];
  int32_t depth;

  char field[kMimeFieldCap];
  int32_t fieldLength;

  MimePart part;
  // The first charset of the message's parts that the system converts: a
  // name given unencoded in a part that names no charset is read in it.
  char messageCharset[kMimeCharsetCap];
  int32_t headerLines;  // lines of the header (top or part) read so far
  int32_t leafCount;
  uint32_t oddities;

  // The content of the current leaf part.
  MimeTarget target;
  MimeEncoding encoding;
  char heldEnd[2];  // the line end of the last content line, held back:
  int32_t heldEndLength;  // before a boundary it belongs to the boundary
  DecodeCarry carry;  // an encoded group or escape cut by the end of a piece
  UuDecoder uu;       // the lines of uuencoded content
  bool textEndsLine;  // the message text written so far ends with a line end

  char preamble[kMimePreambleRoom];
  int32_t preambleLength;
  bool preambleCut;  // its last piece was cut

  // Output: bytes for one file at a time.
  int32_t outHandle;
  int32_t outUsed;
  int32_t writeError;  // a failed write to the message file
  char out[kMimeOutRoom];
};

inline MimeWalk* walkOf(ChannelRecord* record) { return static_cast<MimeWalk*>(record->decoder->mimeWalk); }

// ---- output (mime_output) ----

// Writes bytes for handle through the buffer.
void mimePut(ChannelRecord* record, int32_t handle, const char* bytes, int32_t n);
// Writes out what the buffer holds.
void mimeFlush(ChannelRecord* record);
// Logs an oddity the first time it is met in this download.
void mimeOdd(ChannelRecord* record, uint32_t oddity);

// ---- parts (mime_parts) ----

// Reads one unfolded header field into the current part.
void readPartField(MimeWalk* walk, const char* field, int32_t length);
// The header of the current part has ended: a multipart part pushes a level,
// a leaf part opens its file or begins readable text.
void beginPart(ChannelRecord* record);
// The current leaf part ends (a boundary, or the end of the message).
void endPart(ChannelRecord* record, bool atBoundary);
// A multipart part whose boundary has not come (yet): its preamble is its
// content, saved as a file (with evenEmpty also when nothing is kept yet);
// what follows goes there too.
void keepPreamble(ChannelRecord* record, bool evenEmpty);

// ---- content (mime_content) ----

// One piece of a leaf part's content.
void partContent(ChannelRecord* record, const char* bytes, int32_t n, bool cut);
// Writes what an encoded group held back at the part's end.
void finishContent(ChannelRecord* record);

}  // namespace qel
