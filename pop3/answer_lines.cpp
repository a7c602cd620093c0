// The reader of POP3 multi-line answers (RFC 1939, section 3): a status
// line, dot-stuffed data lines, and a line of a single "." at the end.
#include <cstring>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "mime/line_source.h"
#include "mime/mail_file.h"
#include "pop3/session.h"
#include "pop3/pop3_states.h"
#include "pop3/raw_message.h"
#include "transport/receive.h"

namespace qel {
namespace {

constexpr int32_t kLastReplyChars = 128;
constexpr int32_t kErrorReplyCode = 500;
constexpr int32_t kLongLineWaitFactor = 4;

// How long the next piece of the line being decoded may take to begin:
// pop3ReadWait, and never beyond the bound of the whole line.
int32_t joinWait(const ChannelRecord* record) {
  int32_t left = waitUntil(record->pop3->lineDeadline);
  return left < settings.pop3ReadWait ? left : settings.pop3ReadWait;
}

// The decoder's reads run inside the data of the answer: a position still
// at the status line (a decoder fed by hand) counts as a line start.
int32_t dataPosition(int32_t position) { return position < kAnswerLineStart ? kAnswerLineStart : position; }

int32_t answerNext(void* context, char* line, int32_t room, bool* cut) {
  auto* record = static_cast<ChannelRecord*>(context);
  *cut = false;
  if (record->pop3->answerPosition == kAnswerEnded) return kLinesEnd;
  int32_t r = readLineUntil(record->connection, line, room, joinWait(record), record->pop3->lineDeadline);
  if (r == 0) return kLinesNothing;
  if (r < 0) return kLinesClosed;
  *cut = line[r - 1] != '\n';
  int32_t position = dataPosition(record->pop3->answerPosition);
  r = settleDataPiece(&position, line, r);
  record->pop3->answerPosition = position;
  copyOriginalPiece(record, line, r);
  return r;
}

int32_t answerPeek(void* context, char* start, int32_t want) {
  auto* record = static_cast<ChannelRecord*>(context);
  if (record->pop3->answerPosition == kAnswerEnded) return kLinesEnd;
  if (want > kLinePeekCap) want = kLinePeekCap;
  if (want <= 0) return kLinesNothing;
  char raw[kLinePeekCap];
  int32_t count = receivePeekWait(record->connection, raw, want, joinWait(record));
  if (count == 0) return kLinesNothing;
  if (count < 0) return kLinesClosed;
  return settlePeek(raw, count, start);
}

LineSource answerLineSource(ChannelRecord* record) { return LineSource{record, answerNext, answerPeek}; }
const AnswerLinesRegistration answerLines(answerLineSource);

}  // namespace

void startAnswer(ChannelRecord* record) {
  record->pop3->answerPosition = kAnswerStatus;
  record->pop3->rawEndMatched = 0;
  record->pop3->rawStage = kRawStatus;
  record->pop3->rawAfterCr = 0;
}

int32_t longLineWait() {
  int64_t wait = static_cast<int64_t>(settings.pop3ReadWait) * kLongLineWaitFactor;
  return wait > INT32_MAX ? INT32_MAX : static_cast<int32_t>(wait);
}

namespace {

// The next line or piece into line: one already received is taken at once;
// else, when wait is set, the POP3 read waits apply. Its length, 0 when
// none came, or kConnectionGone.
int32_t nextAnswerLine(ChannelRecord* record, char* line, int32_t nextWait, bool wait) {
  int32_t r = takeRingLine(record->connection, line, kReplyRoom);
  if (r > 0 || !wait) {
    // Any line the decoder joins to this one must come within nextWait
    // (a bound of seconds: the coarse count, a few ms behind at most, will
    // do, and spares a clock read per line).
    if (r > 0) record->pop3->lineDeadline = tickAfter(plat::tickCountCoarse(), nextWait);
    return r;
  }
  if (!waitForData(record->connection, settings.pop3ReadWait)) return 0;
  // The line has begun: its rest, and any line the decoder joins to it,
  // must come within nextWait from now.
  record->pop3->lineDeadline = tickAfter(plat::tickCount(), nextWait);
  return readLineUntil(record->connection, line, kReplyRoom, 0, record->pop3->lineDeadline);
}

AnswerPiece answerPiece(ChannelRecord* record, int32_t nextWait, int32_t* length, bool* lineEnded, bool wait) {
  *length = 0;
  *lineEnded = false;
  char* line = record->texts.replyText;
  if (record->pop3->answerPosition == kAnswerEnded) {
    // The decoder took the "." line off the connection.
    record->pop3->answerPosition = kAnswerLineStart;
    return AnswerPiece::end;
  }
  int32_t r = nextAnswerLine(record, line, nextWait, wait);
  if (r == 0) return AnswerPiece::nothing;
  if (r == kConnectionGone) return AnswerPiece::closed;
  *lineEnded = line[r - 1] == '\n';
  int32_t position = record->pop3->answerPosition;
  AnswerPiece piece = AnswerPiece::data;
  if (position == kAnswerStatus) {
    bool error = line[0] == '-';
    piece = error ? AnswerPiece::errorStatus : AnswerPiece::okStatus;
    position = error ? kAnswerErrorRest : kAnswerStatusRest;
  } else if (position == kAnswerStatusRest) {
    piece = AnswerPiece::okStatus;
  } else if (position == kAnswerErrorRest) {
    piece = AnswerPiece::errorStatus;
  } else {
    r = settleDataPiece(&position, line, r);
    if (r == kLinesEnd) {
      record->pop3->answerPosition = kAnswerLineStart;
      return AnswerPiece::end;
    }
    copyOriginalPiece(record, line, r);
  }
  if (*lineEnded) position = kAnswerLineStart;
  record->pop3->answerPosition = position;
  *length = r;
  return piece;
}

}  // namespace

AnswerPiece readAnswerPiece(ChannelRecord* record, int32_t nextWait, int32_t* length, bool* lineEnded) {
  return answerPiece(record, nextWait, length, lineEnded, true);
}

AnswerPiece takeAnswerPiece(ChannelRecord* record, int32_t nextWait, int32_t* length, bool* lineEnded) {
  return answerPiece(record, nextWait, length, lineEnded, false);
}

int32_t failWithErrorStatus(ChannelRecord* record) {
  copyText(record->texts.lastReply, record->texts.replyText, kLastReplyChars);
  record->texts.replyCode = kErrorReplyCode;
  return failState(record, 0, kErrPop3Error);
}

}  // namespace qel
