#include "transport/replies.h"

#include "frame/errors.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "transport/receive.h"

namespace qel {
namespace {

constexpr int32_t kSmtpLastReplyChars = 127;
constexpr int32_t kPop3LastReplyChars = 128;
constexpr int32_t kSmtpErrorCode = 500;
constexpr int32_t kPop3Positive = 100;
constexpr int32_t kPop3Negative = 500;

// An SMTP line continues the reply only with a hyphen after the code
// ("250-..."); anything else there ends it.
bool isContinuation(const char* line, int32_t length) { return length > 3 && line[3] == '-'; }

}  // namespace

int32_t readSmtpReply(Connection* connection, char* text, int32_t& code, char* lastReply) {
  code = 0;
  char* position = text;
  int32_t room = kReplyRoom;
  bool firstLine = true;
  // One bound for the whole reply, however many lines and pieces it comes
  // in: a server that trickles its reply byte by byte cannot hold the call
  // for a time-out per piece.
  uint32_t end = tickAfter(plat::tickCount(), settings.replyTimeout);
  for (;;) {
    if (room <= 1) return kErrResponseOverflow;
    // A continuation line may not have arrived yet: wait for it, bounded.
    if (!firstLine && !waitForData(connection, waitUntil(end))) return kErrTimedOut;
    int32_t length = readLineUntil(connection, position, room, 0, end);
    if (length == kConnectionGone) return kErrSocketClosed;
    if (length == 0) return kErrTimedOut;
    copyText(lastReply, position, kSmtpLastReplyChars);
    if (code == 0) {
      code = parseDecimal(position);
      if (code >= kSmtpErrorCode) return kErrSmtpError;
    }
    bool complete = position[length - 1] == '\n';
    if (!complete && length >= room - 1) return kErrResponseOverflow;
    // A line cut by the end of the time is no reply.
    if (!complete && waitUntil(end) == 0) return kErrTimedOut;
    if (!isContinuation(position, length)) return 0;
    position += length;
    room -= length;
    firstLine = false;
  }
}

int32_t dropRestOfLine(Connection* connection, uint32_t end) {
  char rest[kReplyRoom];
  for (;;) {
    if (!waitForData(connection, waitUntil(end))) return kErrTimedOut;
    int32_t got = readLinePiece(connection, rest, sizeof rest);
    if (got < 0) return kErrSocketClosed;
    if (got > 0 && rest[got - 1] == '\n') return 0;
    // Data that keeps coming does not stretch the bound: a line without end
    // is given up at the same time as one that stalls.
    if (waitUntil(end) == 0) return kErrTimedOut;
  }
}

int32_t readPop3Reply(Connection* connection, char* text, int32_t& code, char* lastReply) {
  if (!waitForData(connection, settings.pop3ReadWait)) return kErrTimedOut;
  uint32_t end = tickAfter(plat::tickCount(), settings.replyTimeout);
  int32_t length = readLineUntil(connection, text, kReplyRoom, 0, end);
  if (length == kConnectionGone) return kErrSocketClosed;
  if (length == 0) return kErrTimedOut;
  if (text[length - 1] != '\n') {
    int32_t rc = dropRestOfLine(connection, end);
    if (rc < 0) return rc;
  }
  copyText(lastReply, text, kPop3LastReplyChars);
  if (text[0] != '+') {
    code = kPop3Negative;
    return kErrPop3Error;
  }
  code = kPop3Positive;
  return 0;
}

}  // namespace qel
