// The incoming message decoder. A download hands every received line to
// decodeLine, one line per driver call; the decoder follows the MIME
// structure as the lines go by (top header, boundary, part headers, part
// bodies), keeps its state in the channel's DecoderState
// (mime/decoder_state.h), opens an attachment file for each named part and
// writes the part's decoded content straight to it.
// It pulls further lines from its line source (mime/line_source.h) only to
// complete a long header line and to join a header line with its
// continuation lines, and never holds more than the current line. It does
// no socket I/O: fed from a MemoryLines source it runs without a server.
//
// The line is replyText: lineLength bytes and a NUL, normally ending in
// CR LF (a bare LF counts as a line end too). A line
// longer than one read (kReplyRoom - 1 bytes) comes as several pieces; the
// pieces after the first are handled as the rest of their line, never as
// lines of their own.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Decoder states (decodeState).
enum DecodeState : int32_t {
  kDecodeOff = 0,         // no MIME structure: every line goes to the message file
  kDecodeRaw = 1,         // raw download; the decoder is not called
  kDecodeTopHeader = 2,   // top header, no "MIME-Version: 1.0" seen yet
  kDecodeMimeHeader = 3,  // top header after "MIME-Version: 1.0"
  kDecodePreamble = 4,    // main boundary known, waiting for its first line
  kDecodePartHeader = 5,  // header of a part
  kDecodePartBody = 6,    // body of a part, or of a single-part MIME message
  kDecodeLastState = 9,   // 7 to 9: no decoding
};

// Transfer encodings (partEncoding).
enum PartEncoding : int32_t {
  kEncodingNone = 0,
  kEncoding7bit = 1,
  kEncodingBase64 = 2,
  kEncodingQuoted = 3,
};

// The decoder's start for a new download (a raw one stays raw): at the top
// header, no boundary, no part, and nothing kept of an earlier download's
// last line (a cut line's rest, an encoded group).
void startDecoding(ChannelRecord* record);

// Examines the line in replyText, may change it in place (joined with its
// continuation lines, encoded words decoded) and writes decoded part content
// to the attachment file or the message file. The caller gives the line's
// byte count in lineLength (it may hold NUL bytes), whether its line feed
// has not come yet in lineCut; lineLength and lineCut are then those of the
// line as it now stands. Returns 1 when the line is to go into the message
// file (quoted-printable decoded first when partEncoding is 3), 0 when it is
// not.
int32_t decodeLine(ChannelRecord* record);

// ---- boundaries, encodings, dispositions, file names (decoder_fields) ----

// A line beginning with the main or the alternate boundary starts a part:
// decodeState 5 and the part's settings reset. True when it did.
bool checkBoundaryLine(ChannelRecord* record);

// A top-header Content-Type line with a boundary parameter: takes it as the
// main boundary (decodeState 4). True when it did.
bool takeBoundary(ChannelRecord* record);

// A part's multipart/alternative or multipart/mixed Content-Type line: takes
// its boundary as the alternate boundary. True when it did.
bool takeAltBoundary(ChannelRecord* record);

// A Content-Transfer-Encoding line naming base64, quoted-printable or 7bit:
// sets partEncoding. True when an encoding was taken.
bool takeEncoding(ChannelRecord* record);

// True for every Content-Disposition line; a bare "inline" disposition sets
// decodeInline.
bool takeDisposition(ChannelRecord* record);

// The name or filename parameter of the line, decoded and made safe, into
// attachName. True when the line names a file.
bool extractFileName(ChannelRecord* record);

// ---- header words and continuation lines (decoder_words) ----

constexpr char kNoMark = '\0';

// Joins the next line of the message to the line in replyText in place of
// its line end, without the next line's leading blanks. With a mark, only a
// line whose last character (before the line end) is the mark is joined.
// A line that cannot belong to the header line (a blank line, a line
// beginning with "." or "--", a header field of its own) and a line that
// would not fit the replyText area are never joined: they stay lines of
// their own. The next line comes from the line source, within its waits.
bool joinContinuation(ChannelRecord* record, char mark);

// Whether the next line of the message begins with a blank, that is,
// continues the current header line (a peek of the line source).
bool nextLineContinues(ChannelRecord* record);

// Pulls the rest of a cut line (lineCut) onto it while the replyText area
// has room for another piece and the line source delivers. True when the
// line is whole.
bool completeLine(ChannelRecord* record);

// 1 when the text holds an ISO-8859-1 quoted-printable encoded word, 2 for a
// base64 one, else 0.
int32_t headerWordKind(const char* text);

// How decodeHeaderWords treats the encoded words it finds.
enum class WordForm {
  unwrap,  // remove the "=?iso-8859-1?q?" and "?=" around the text
  base64,  // decode the text in place; the line keeps its length
};

// Works on at most two ISO-8859-1 encoded words of the line in replyText,
// from its fifth character on.
void decodeHeaderWords(ChannelRecord* record, WordForm form);

// The length of the line end at the end of a line of length bytes: 2 for
// CR LF, 1 for a bare LF (a server that does not convert line ends), 0 for
// none (a piece of a longer line).
int32_t lineEndLength(const char* line, int32_t length);

// ---- part content (decoder_content) ----

// Forgets any encoded group or escape left over from the previous part.
void startPartContent(ChannelRecord* record);

// Decodes the line in replyText (base64, quoted-printable or as it stands)
// into the open attachment file and, for an inline part, the message file.
void decodePartContent(ChannelRecord* record);

// Decodes quoted-printable text of the message (a line, or a piece of a
// longer one: cut) into the message file. An escape or soft break cut by
// the end of a piece is completed by the piece that follows. 0, or -1 when
// a write failed.
int32_t writeQuotedMessageText(ChannelRecord* record, const char* text, int32_t length, bool cut);

}  // namespace qel
