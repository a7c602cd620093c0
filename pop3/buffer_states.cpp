// POP3 commands whose multi-line answer is stored in a buffer: TOP n m
// (311, 314) and UIDL (320, 321).
#include <cstring>
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/text.h"
#include "pop3/session.h"
#include "pop3/pop3_states.h"
#include "transport/replies.h"

namespace qel {
namespace {

constexpr int32_t kLastReplyChars = 128;
constexpr int32_t kErrorReplyCode = 500;

// Appends as much of the piece as still fits in lineBuffer; the rest is
// dropped, and the answer is still read to its end. Only a piece that was
// stored gives the answer another reply time-out: what is dropped, however
// fast it comes, must end within the time-out of the last piece kept.
void storePiece(ChannelRecord* record, int32_t length, uint32_t now) {
  if (record->pop3->lineBuffer == nullptr || record->pop3->lineBufferSize <= 0) return;
  int32_t room = record->pop3->lineBufferSize - record->pop3->lineBufferUsed;
  int32_t count = length < room ? length : room;
  if (count <= 0) return;
  std::memcpy(record->pop3->lineBuffer + record->pop3->lineBufferUsed, record->texts.replyText, static_cast<size_t>(count));
  record->pop3->lineBufferUsed += count;
  record->step.deadline = tickAfter(now, settings.replyTimeout);
}

// UIDL text always ends in a NUL: lineBufferSize leaves the byte for it.
void terminateUidlText(ChannelRecord* record) {
  if (record->pop3->lineBuffer == nullptr || record->pop3->lineBufferSize < 0) return;
  if (record->pop3->lineBufferUsed <= record->pop3->lineBufferSize) record->pop3->lineBuffer[record->pop3->lineBufferUsed] = '\0';
}

// 311: TOP n m.
int32_t sendTop(ChannelRecord* record, uint32_t now) {
  logText(record, "[Saving to buffer]\r\n");
  startAnswer(record);
  return sentThen(record, sendCommand(record, "TOP %d %d", record->pop3->messageNumber, record->pop3->topLines), kStateTopLine,
                  replyWait, now);
}

// 314: one line of the TOP answer, status line included, into lineBuffer.
int32_t readTopLine(ChannelRecord* record, uint32_t now) {
  int32_t length = 0;
  bool lineEnded = false;
  switch (readAnswerPiece(record, settings.pop3ReadWait, &length, &lineEnded)) {
    case AnswerPiece::nothing:
      return kStateContinue;
    case AnswerPiece::closed:
      return failState(record, 0, kErrSocketClosed);
    case AnswerPiece::errorStatus:
      return failWithErrorStatus(record);
    case AnswerPiece::end:
      record->step.nextState = kStateDownloadEnd;
      return kStateContinue;
    case AnswerPiece::okStatus:
    case AnswerPiece::data:
      break;
  }
  addCount(record->counts.messageBytesRead, length);
  storePiece(record, length, now);
  return kStateContinue;
}

// 320: UIDL for every message, or UIDL n for one.
int32_t sendUidl(ChannelRecord* record, uint32_t now) {
  startAnswer(record);
  int32_t rc = record->pop3->messageNumber < 0 ? sendCommand(record, "UIDL")
                                         : sendCommand(record, "UIDL %d", record->pop3->messageNumber);
  return sentThen(record, rc, kStateUidlLine, replyWait, now);
}

// A refused UIDL: nothing is stored, and the operation ends with -63 once
// the whole error line has been read (its first piece stays in replyText
// for qelErrorText); the connection stays open for the next operation.
int32_t refuseUidl(ChannelRecord* record, bool lineEnded, uint32_t now) {
  record->pop3->lineBufferUsed = 0;
  terminateUidlText(record);
  if (!lineEnded) {
    int32_t rc = dropRestOfLine(record->connection, tickAfter(now, settings.replyTimeout));
    if (rc < 0) return failState(record, 0, rc);
  }
  copyText(record->texts.lastReply, record->texts.replyText, kLastReplyChars);
  record->texts.replyCode = kErrorReplyCode;
  return refuseState(record, kErrPop3Error);
}

// 321: one line of the UIDL answer into lineBuffer. The answer to "UIDL n"
// is its status line alone; otherwise the id lines follow up to the "."
// line.
int32_t readUidlLine(ChannelRecord* record, uint32_t now) {
  int32_t length = 0;
  bool lineEnded = false;
  AnswerPiece piece = readAnswerPiece(record, longLineWait(), &length, &lineEnded);
  switch (piece) {
    case AnswerPiece::nothing:
      return kStateContinue;
    case AnswerPiece::closed:
      return failState(record, 0, kErrSocketClosed);
    case AnswerPiece::errorStatus:
      return refuseUidl(record, lineEnded, now);
    case AnswerPiece::end:
      terminateUidlText(record);
      record->step.nextState = 0;
      return kStateContinue;
    case AnswerPiece::okStatus:
    case AnswerPiece::data:
      break;
  }
  storePiece(record, length, now);
  terminateUidlText(record);
  if (piece != AnswerPiece::data && record->pop3->messageNumber >= 1 && lineEnded) {
    record->step.nextState = 0;
  }
  return kStateContinue;
}

constexpr StateEntry kBufferStates[] = {
    {kStateTop, sendTop},
    {kStateTopLine, readTopLine},
    {kStateUidl, sendUidl},
    {kStateUidlLine, readUidlLine},
};
const StateRegistration registered(kBufferStates, std::size(kBufferStates));

}  // namespace
}  // namespace qel
