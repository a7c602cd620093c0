// The IMAP response reader (RFC 3501 and RFC 9051, section 7 and the
// formal syntax): fed the bytes of the connection as they arrive, in pieces
// of any size, it gathers one response at a time into a bounded record of
// items (ImapResponse) for the parsers of imap/parse.h.
//
// A literal is "{n}" CR LF or, for binary content, "~{n}" CR LF, followed
// by n bytes; "{n+}", which only a client may send, is refused as a fault.
//
// It never needs a whole response in memory: the literal of a body section
// in a FETCH response (BODY[...], BINARY[...], RFC822...) goes to a literal
// sink in the pieces it arrives in, and the numbers of a SEARCH response to
// a number sink, when the caller sets them. Everything else is held, within
// limits; passing one is a result of its own, never a wait for more.
#pragma once

#include <cstdint>

namespace qel {

// What a response is.
enum class ImapKind : uint8_t { none, tagged, untagged, continuation };

// The status word of a status response (OK, NO, BAD, PREAUTH, BYE).
enum class ImapStatus : uint8_t { none, ok, no, bad, preauth, bye };

enum class ImapItemType : uint8_t {
  atom,       // an atom, a flag (\Seen) or a fetch item with its section (BODY[HEADER]<0>)
  number,     // an atom of digits only
  nil,        // the atom NIL, in any letter case
  quoted,     // a quoted string, without its quotes and escapes
  literal,    // a literal or literal8 held whole
  streamed,   // a literal handed to the literal sink: length is its size, no bytes held
  listOpen,   // "(": length is the index of its closing item
  listClose,  // ")"
  codeName,   // the name of a response code, [NAME ...]
  codeText,   // the rest of a response code the reader does not split into items
  text,       // the human-readable text of a status response or continuation
};

struct ImapItem {
  ImapItemType type;
  uint8_t depth;    // lists around it (a list's own items are one deeper than it)
  uint32_t offset;  // of its bytes in ImapResponse::bytes
  uint32_t length;  // bytes; see listOpen and streamed
};

// Capacities of one response record.
constexpr int32_t kImapItemCap = 2048;
constexpr int32_t kImapByteCap = 64 * 1024;

// One response as items. A tagged response's tag is item 0; first is the
// first item after the tag (or after "*" or "+"). Offsets index bytes.
struct ImapResponse {
  ImapKind kind = ImapKind::none;
  ImapStatus status = ImapStatus::none;
  int32_t first = 0;
  int32_t statusItem = -1;  // the status word
  int32_t codeItem = -1;    // the codeName, its arguments following up to codeEnd
  int32_t codeEnd = -1;
  int32_t textItem = -1;    // the text of a status response or continuation
  int32_t itemCount = 0;
  int32_t byteCount = 0;
  ImapItem items[kImapItemCap];
  char bytes[kImapByteCap];
};

// Limits on what a response may make the reader hold.
struct ImapLimits {
  int32_t line = 16 * 1024;        // bytes of a line outside literals (each run between literals)
  int32_t depth = 32;              // nested lists
  int32_t keptLiteral = 32 * 1024; // bytes of a literal that is held
};

// Receives a streamed literal: begin with the fetch item it belongs to
// (e.g. "BODY[]") and its size, then its bytes in pieces, then end. A
// negative result stops the reader (kImapSinkFailed; the value is kept in
// ImapReader::sinkResult).
struct ImapLiteralSink {
  void* context;
  int32_t (*begin)(void* context, const char* item, int32_t itemLength, uint32_t size);
  int32_t (*piece)(void* context, const char* bytes, int32_t n);
  int32_t (*end)(void* context);
};

// Receives each number of an untagged SEARCH response (outside lists) in
// place of an item, as it is read: numbers of a response that then fails
// are to be dropped. A negative result stops the reader as above. While
// numbers go to the sink the line limit does not hold for that response
// (the record's capacity still does).
struct ImapNumberSink {
  void* context;
  int32_t (*number)(void* context, uint32_t value);
};

// Results of imapFeed.
constexpr int32_t kImapNeedMore = 0;            // every byte was taken; the response goes on
constexpr int32_t kImapReady = 1;               // a whole response is in the record
constexpr int32_t kImapSyntax = -1;             // not a response
constexpr int32_t kImapLineTooLong = -2;        // a line passed ImapLimits::line
constexpr int32_t kImapTooDeep = -3;            // lists nested past ImapLimits::depth
constexpr int32_t kImapLiteralTooLarge = -4;    // a held literal passed ImapLimits::keptLiteral, or a size past 32 bits
constexpr int32_t kImapResponseTooLarge = -5;   // more items or bytes than the record holds
constexpr int32_t kImapSinkFailed = -6;         // a sink stopped the reader

struct ImapReader {
  ImapLimits limits;
  ImapLiteralSink* literalSink = nullptr;
  ImapNumberSink* numberSink = nullptr;
  ImapResponse response;
  int32_t sinkResult = 0;
  // Where the reader stands (imap/reader.cpp).
  uint8_t state = 0;
  uint8_t depth = 0;
  bool inCode = false;        // between "[" and "]" of a response code
  bool codeSplit = false;     // the code's arguments are read as items
  bool fetch = false;         // an untagged "n FETCH" response
  bool search = false;        // an untagged SEARCH response whose numbers go to the sink
  bool sizeDigits = false;    // a digit of a literal's size came
  bool literalStreamed = false;
  int32_t item = -1;          // the item being read
  int32_t line = 0;           // bytes of the current line so far
  int32_t openLists[64];      // item index of each open list
  uint64_t literalSize = 0;
  uint32_t literalLeft = 0;
  int32_t result = kImapNeedMore;  // kept once the reader failed
};

// Makes the reader ready for the next response, keeping limits and sinks.
void imapReaderReset(ImapReader* reader);

// Takes bytes[0..n). Returns kImapNeedMore (all n taken), kImapReady (*used
// bytes taken; the rest begin the next response), or a failure (the
// connection is out of step and should be given up). Either of the last two
// is returned again, taking nothing, until imapReaderReset.
int32_t imapFeed(ImapReader* reader, const char* bytes, int32_t n, int32_t* used);

}  // namespace qel
