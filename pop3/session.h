// The POP3 side of a channel: its settings (port, APOP, raw downloads that
// keep only the message, lines per step), the mailbox figures the last
// commands answered, and where the multi-line answer being read stands. The
// record holds only a pointer to it: the block is made at the first POP3
// setting or at qelPop3Connect, and freed at release.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

constexpr uint16_t kPop3DefaultPort = 110;

struct Pop3Session {
  // Settings.
  uint16_t pop3Port;
  uint8_t useApop;
  // A raw download that keeps only the message (setting 103): the switch,
  // where the last block left off (a RawStage of pop3/raw_message.h) and
  // whether the byte before that point was a CR.
  uint8_t rawMessageOnly;
  uint8_t rawStage;
  uint8_t rawAfterCr;
  // Message lines one call of state 312 handles when they have already
  // arrived (setting 131; 0 counts as 1).
  uint16_t stepLines;

  // What STAT and LIST answered, and the message an operation is about.
  int32_t messageCount;
  int32_t messageSize;
  int32_t messageNumber;
  int32_t topLines;

  // Where a TOP or UIDL answer is stored (the caller's buffer or the lines
  // block; null for a download), its size and the bytes stored so far.
  char* lineBuffer;
  int32_t lineBufferSize;
  int32_t lineBufferUsed;

  // A multi-line answer: where the next piece read stands (status line,
  // line start, inside a line), in a raw download how much of the closing
  // CR LF "." CR LF has arrived, and the tick count by which the current
  // line, with the lines the decoder joins to it, must have come.
  int32_t answerPosition;
  int32_t rawEndMatched;
  uint32_t lineDeadline;
};

// The POP3 session of a channel, made with the defaults when there is none
// yet. Returns 0, or -55 (kErrNoMemory) when it cannot be made.
int32_t openPop3Session(ChannelRecord* record);

// The session to read: the channel's, or the defaults when it has none.
const Pop3Session& pop3View(const ChannelRecord* record);

}  // namespace qel
