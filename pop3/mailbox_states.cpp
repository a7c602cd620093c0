// POP3 mailbox commands with a one-line answer: STAT (307, 308), DELE
// (315, 316) and LIST n (317, 318).
#include <climits>
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "pop3/session.h"
#include "pop3/pop3_states.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "driver/connection_use.h"

namespace qel {
namespace {

// The count in "+OK nn mm" starts behind "+OK" and one space.
constexpr int32_t kStatCountOffset = 4;

// A count or a size: the decimal digits at the start of text, 0 when there
// are none. A number beyond the int32 range is taken as INT32_MAX, never
// wrapped into a wrong value or a negative result that reads as an error
// code.
int32_t parseCount(const char* text) {
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT32_MAX) value = INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

// Reads the one-line answer of a mailbox command. Returns kStateContinue
// for a positive answer, or the end of the sequence: -63 for a refusal
// ("-ERR"), with the connection kept and the server's line in replyText for
// qelErrorText; a failure for a reply that never came (time-out, closed
// connection).
int32_t readMailboxReply(ChannelRecord* record) {
  int32_t rc = readPop3Reply(record);
  if (rc == kErrPop3Error) return refuseState(record, rc);
  if (rc < 0) return failState(record, 0, rc);
  return kStateContinue;
}

// 307: STAT.
int32_t sendStat(ChannelRecord* record, uint32_t now) {
  int32_t rc = sentThen(record, sendCommand(record, "STAT"), kStateStatReply, replyWait, now);
  // A count read before stays when STAT cannot be sent.
  if (rc == kStateContinue) record->pop3->messageCount = 0;
  return rc;
}

// 308: "+OK count size".
int32_t readStatReply(ChannelRecord* record, uint32_t) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readMailboxReply(record);
  if (rc != kStateContinue) return rc;
  if (textLength(record->texts.replyText) > kStatCountOffset) {
    record->pop3->messageCount = parseCount(record->texts.replyText + kStatCountOffset);
  }
  record->step.nextState = 0;
  return kStateContinue;
}

// 315: DELE n.
int32_t sendDele(ChannelRecord* record, uint32_t now) {
  return sentThen(record, sendCommand(record, "DELE %d", record->pop3->messageNumber), kStateDeleReply, replyWait,
                  now);
}

// 316: the answer to DELE.
int32_t readDeleReply(ChannelRecord* record, uint32_t) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readMailboxReply(record);
  if (rc != kStateContinue) return rc;
  record->step.nextState = 0;
  return kStateContinue;
}

// 317: LIST n.
int32_t sendList(ChannelRecord* record, uint32_t now) {
  int32_t rc = sentThen(record, sendCommand(record, "LIST %d", record->pop3->messageNumber), kStateListReply,
                        replyWait, now);
  if (rc == kStateContinue) record->pop3->messageSize = 0;
  return rc;
}

// 318: "+OK n size": the size is the third word.
int32_t readListReply(ChannelRecord* record, uint32_t) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readMailboxReply(record);
  if (rc != kStateContinue) return rc;
  const char* firstSpace = findChar(record->texts.replyText, ' ');
  const char* secondSpace = firstSpace != nullptr ? findChar(firstSpace + 1, ' ') : nullptr;
  if (secondSpace != nullptr) record->pop3->messageSize = parseCount(secondSpace + 1);
  record->step.nextState = 0;
  return kStateContinue;
}

constexpr StateEntry kMailboxStates[] = {
    {kStateStat, sendStat}, {kStateStatReply, readStatReply}, {kStateDele, sendDele},
    {kStateDeleReply, readDeleReply}, {kStateList, sendList}, {kStateListReply, readListReply},
};
const StateRegistration registered(kMailboxStates, std::size(kMailboxStates));

}  // namespace
}  // namespace qel
