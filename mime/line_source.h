// Where the message decoder takes its lines from. A line source hands out
// the data lines of a POP3 multi-line answer (RFC 1939, section 3) as they
// stand after the status line: dot-unstuffed, the closing "." line taken as
// the end, and a line longer than one read handed out in pieces. The
// decoder pulls lines through it and never reads the connection itself.
//
// Two sources exist: the channel's answer reader, which the downloading
// protocol registers (POP3: the connection with its read waits,
// pop3/answer_lines.cpp), and a memory buffer (MemoryLines, for decoding
// stored messages and for tests).
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Where the next piece of a multi-line answer stands (answerPosition).
enum AnswerPosition : int32_t {
  kAnswerStatus = 0,      // the status line begins
  kAnswerStatusRest = 1,  // a positive status line longer than one piece goes on
  kAnswerErrorRest = 2,   // an error status line goes on
  kAnswerLineStart = 3,   // a data line begins
  kAnswerMidLine = 4,     // a data line longer than one piece goes on
  kAnswerEnded = 5,       // the decoder met the closing "." line
};

// Results of next and peek besides a byte count.
constexpr int32_t kLinesNothing = 0;  // nothing came in time
constexpr int32_t kLinesClosed = -1;  // the stream ended before the "." line
constexpr int32_t kLinesEnd = -2;     // the "." line: the answer is complete

struct LineSource {
  using NextFunction = int32_t (*)(void* context, char* line, int32_t room, bool* cut);
  using PeekFunction = int32_t (*)(void* context, char* start, int32_t want);

  // The next line, or the next piece of the current one: at most room - 1
  // bytes (room >= 2), up to and including its line feed, then a NUL. The
  // line may hold NUL bytes: its length is the result. *cut is set when the
  // line feed has not come yet (the following pieces are the rest of this
  // line, never lines of their own). A line's leading stuffing dot is
  // removed. Else kLinesNothing, kLinesClosed or kLinesEnd; once kLinesEnd
  // has been given, every later call gives it too.
  int32_t next(char* line, int32_t room, bool* cut) const { return nextLine(context, line, room, cut); }

  // Up to want bytes of the beginning of the next line, taking nothing: to
  // see whether it continues a header line. Only meaningful between lines.
  // A stuffing dot is left out; a line that begins with a single "." (not
  // stuffed as it should be) shows its dot. kLinesEnd when the next line is
  // the closing "." line; kLinesNothing or kLinesClosed when no line comes.
  int32_t peek(char* start, int32_t want) const { return peekLine(context, start, want); }

  void* context;
  NextFunction nextLine;
  PeekFunction peekLine;
};

// The longest peek a source serves.
constexpr int32_t kLinePeekCap = 128;

// The source the decoder of a channel reads from: lineSource when set,
// else the channel's answer reader that the downloading protocol
// registered (POP3's waits at most pop3ReadWait for a line to begin, and
// never beyond lineDeadline, the bound of the line being decoded with
// everything joined to it). Without a registered reader the source has
// ended (kLinesClosed).
LineSource lineSourceOf(ChannelRecord* record);

// The answer reader over a channel as a line source: registered once by a
// static object of the downloading protocol's folder, as its states are.
using AnswerLinesFunction = LineSource (*)(ChannelRecord* record);
class AnswerLinesRegistration {
 public:
  explicit AnswerLinesRegistration(AnswerLinesFunction answerLines);
};

// What every source does to a data piece just read (length bytes at line,
// NUL behind them) at *position (an AnswerPosition): the stuffing dot of a
// line is removed, the "." line is recognised. Returns the new length, or
// kLinesEnd; *position moves on.
int32_t settleDataPiece(int32_t* position, char* line, int32_t length);

// The same for the start of a line seen by a peek: kLinesEnd for the "."
// line, else the bytes to show (count of them, copied to start).
int32_t settlePeek(const char* raw, int32_t count, char* start);

// A line source over bytes in memory: the data lines of an answer as they
// follow the status line, dot-stuffed and closed by the "." line. The bytes
// come as one or more segments, as reads from a connection would bring
// them; a line or a peek runs on across segment ends. Without a "." line
// the end of the bytes gives kLinesClosed. The segments must outlive the
// source.
class MemoryLines {
 public:
  struct Segment {
    const char* bytes;
    int32_t length;
  };
  MemoryLines(const Segment* segments, int32_t count);
  LineSource source() { return LineSource{this, nextOf, peekOf}; }

 private:
  static int32_t nextOf(void* context, char* line, int32_t room, bool* cut);
  static int32_t peekOf(void* context, char* start, int32_t want);
  // Copies up to n bytes from the read position, stopping behind a line
  // feed; moves on only when take is set. The count.
  int32_t copyLine(char* destination, int32_t n, bool take);

  const Segment* segments_;
  int32_t count_;
  int32_t segment_ = 0;
  int32_t offset_ = 0;
  int32_t position_;
};

}  // namespace qel
