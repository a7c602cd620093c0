// The reader of POP3 multi-line answers (RFC 1939, section 3): a status
// line, dot-stuffed data lines, and a line of a single "." at the end.
#include <cstring>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "pop3/pop3_states.h"
#include "transport/receive.h"

namespace qel {
namespace {

constexpr char kTerminationOctet = '.';
constexpr int32_t kLastReplyChars = 128;
constexpr int32_t kErrorReplyCode = 500;
constexpr int32_t kConnectionGone = -1;
constexpr int32_t kLongLineWaitFactor = 4;

bool isTerminator(const char* line, int32_t length) {
  if (line[0] != kTerminationOctet) return false;
  if (length == 2) return line[1] == '\n';
  return length == 3 && line[1] == '\r' && line[2] == '\n';
}

}  // namespace

void startAnswer(ChannelRecord* record) {
  record->answerPosition = kAnswerStatus;
  record->rawEndMatched = 0;
}

int32_t longLineWait() {
  int64_t wait = static_cast<int64_t>(settings.pop3ReadWait) * kLongLineWaitFactor;
  return wait > INT32_MAX ? INT32_MAX : static_cast<int32_t>(wait);
}

AnswerPiece readAnswerPiece(ChannelRecord* record, int32_t nextWait, int32_t* length, bool* lineEnded) {
  *length = 0;
  *lineEnded = false;
  char* line = record->replyText;
  if (!waitForData(record, settings.pop3ReadWait)) return AnswerPiece::nothing;
  // The line has begun: its rest, and any line the decoder joins to it,
  // must come within nextWait from now.
  record->lineDeadline = tickAfter(plat::tickCount(), nextWait);
  int32_t r = readLineUntil(record, line, kReplyRoom, 0, record->lineDeadline);
  if (r == 0) return AnswerPiece::nothing;
  if (r == kConnectionGone) return AnswerPiece::closed;
  *lineEnded = line[r - 1] == '\n';
  int32_t position = record->answerPosition;
  AnswerPiece piece = AnswerPiece::data;
  if (position == kAnswerStatus) {
    bool error = line[0] == '-';
    piece = error ? AnswerPiece::errorStatus : AnswerPiece::okStatus;
    position = error ? kAnswerErrorRest : kAnswerStatusRest;
  } else if (position == kAnswerStatusRest) {
    piece = AnswerPiece::okStatus;
  } else if (position == kAnswerErrorRest) {
    piece = AnswerPiece::errorStatus;
  } else if (position == kAnswerLineStart && line[0] == kTerminationOctet) {
    if (isTerminator(line, r)) {
      record->answerPosition = kAnswerLineStart;
      return AnswerPiece::end;
    }
    // The NUL behind the line moves along.
    std::memmove(line, line + 1, static_cast<size_t>(r));
    --r;
  }
  if (*lineEnded) {
    position = kAnswerLineStart;
  } else if (piece == AnswerPiece::data) {
    position = kAnswerMidLine;
  }
  record->answerPosition = position;
  *length = r;
  return piece;
}

int32_t failWithErrorStatus(ChannelRecord* record) {
  copyText(record->lastReply, record->replyText, kLastReplyChars);
  record->replyCode = kErrorReplyCode;
  return failState(record, 0, kErrPop3Error);
}

}  // namespace qel
