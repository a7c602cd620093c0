// What the POP3 state files share: the state numbers, the two pauses after
// a command, and the reader of multi-line answers (TOP, RETR, UIDL).
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "frame/settings.h"
#include "frame/ticks.h"
#include "mime/line_source.h"
#include "pop3/session.h"

namespace qel {

enum Pop3State : int32_t {
  kStateConnect = 101,
  kStateVersion = 300,
  kStateGreeting = 301,
  kStateApop = 302,
  kStateUser = 303,
  kStateUserReply = 304,
  kStatePass = 305,
  kStateLoginReply = 306,
  kStateStat = 307,
  kStateStatReply = 308,
  kStateRawBlock = 309,
  kStateRetr = 310,
  kStateTop = 311,
  kStateMessageLine = 312,
  kStateDownloadEnd = 313,
  kStateTopLine = 314,
  kStateDele = 315,
  kStateDeleReply = 316,
  kStateList = 317,
  kStateListReply = 318,
  kStateUidl = 320,
  kStateUidlLine = 321,
  kStateStls = 322,
  kStateStlsReply = 323,
  kStateCapa = 340,
  kStateCapaLine = 341,
  kStateAuth = 342,
  kStateAuthReply = 343,
  kStateRawCommand = 398,  // qelCommand; 399 reads the status line
};

// What one read of a multi-line answer brought.
enum class AnswerPiece {
  nothing,      // no data yet
  closed,       // the connection ended before the closing "." line
  okStatus,     // (a piece of) a positive status line
  errorStatus,  // (a piece of) a status line beginning with "-"
  data,         // (a piece of) a data line, dot-unstuffed
  end,          // the closing "." line
};

// Where the TOP or UIDL answer is stored: size bytes at buffer (none for a
// download), empty so far.
inline void setAnswerBuffer(ChannelRecord* record, char* buffer, int32_t size) {
  record->pop3->lineBuffer = buffer;
  record->pop3->lineBufferSize = size;
  record->pop3->lineBufferUsed = 0;
}

// Prepares the record for a new multi-line answer.
void startAnswer(ChannelRecord* record);

// Reads one line, or one piece of a line longer than 1023 bytes, of a
// multi-line answer into replyText (NUL-terminated) with the POP3 read
// waits: pop3ReadWait for the first byte, then nextWait for the rest of the
// line in all (lineDeadline, which also bounds the decoder's joins).
// *length is the piece's length after dot-unstuffing (RFC 1939: a line
// that begins with "." loses it; "." alone ends the answer); *lineEnded
// tells whether the piece ends its line.
AnswerPiece readAnswerPiece(ChannelRecord* record, int32_t nextWait, int32_t* length, bool* lineEnded);

// The same for a line or piece that has already been received, without any
// wait: AnswerPiece::nothing when none is there whole.
AnswerPiece takeAnswerPiece(ChannelRecord* record, int32_t nextWait, int32_t* length, bool* lineEnded);

// nextWait of the message and UIDL readers: 4 x pop3ReadWait, kept within
// the int32 range.
int32_t longLineWait();

// Fails the running sequence with -63 after an error status line that a
// multi-line state read: the line stays in replyText for qelErrorText.
int32_t failWithErrorStatus(ChannelRecord* record);

}  // namespace qel
