// The pipelined envelope (RFC 2920): MAIL FROM, every RCPT TO and DATA go
// out in one write, and the replies are read in the order of the commands.
//
// A refusal anywhere in the group fails the send as it would one command at
// a time (-49 with the refusing reply), and the message goes to nobody: the
// transaction is ended with RSET, and the connection serves the next send.
// When the server answers DATA with its go-ahead all the same, the data
// must be ended before RSET can be read as a command. With no recipient
// taken, an empty message goes nowhere and its "." does that. With some
// recipient taken, anything that ends the data would reach them: the
// connection is closed instead, which abandons the transaction.
#include <iterator>

#include "driver/connection_use.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "smtp/smtp_states.h"
#include "transport/output.h"
#include "transport/receive.h"
#include "transport/replies.h"

namespace qel {
namespace {

constexpr int32_t kDataGoAheadFirst = 300;
constexpr int32_t kDataGoAheadLast = 399;
constexpr char kEmptyMessageEnd[] = ".\r\n";

bool goAhead(const ChannelRecord* record) {
  return record->texts.replyCode >= kDataGoAheadFirst && record->texts.replyCode <= kDataGoAheadLast;
}

// Keeps the first refusal of the group for the failure's text.
void noteRefusal(ChannelRecord* record) {
  SmtpSend* send = record->smtp->send;
  if (send->groupRefused != 0) return;
  send->groupRefused = 1;
  copyText(send->groupRefusal, record->texts.replyText, kReplyRoom - 1);
}

// Puts the first refusal back as the reply the failure reports.
void restoreRefusal(ChannelRecord* record) {
  const char* refusal = record->smtp->send->groupRefusal;
  copyText(record->texts.replyText, refusal, kReplyRoom - 1);
  copyText(record->texts.lastReply, refusal, kLastReplyCap - 1);
  record->texts.replyCode = parseDecimal(refusal);
}

// The reply to the next command of the group. Refusals are read like any
// other reply (a refusal's further lines are dropped), since the replies to
// the commands behind it follow. kReplyRead with replyCode set,
// kStateContinue while nothing has come, or failState's result when the
// reply cannot be read (the connection ended, the time ran out): after a
// refusal, a server that closes (a 421) fails the send with that refusal.
int32_t awaitGroupReply(ChannelRecord* record, uint32_t now) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readSmtpReply(record);
  if (rc == kErrSmtpError) {
    skipRestOfReply(record);
    rc = 0;
  }
  if (rc < 0 && record->smtp->send->groupRefused != 0) {
    restoreRefusal(record);
    return failState(record, 0, kErrSmtpError);
  }
  if (rc < 0) return failState(record, 0, rc);
  // Each reply has a reply time-out of its own.
  deadlineOnly(record, now);
  return kReplyRead;
}

// 213: the reply to MAIL FROM.
int32_t readGroupMailReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitGroupReply(record, now);
  if (rc != kReplyRead) return rc;
  if (!positiveReply(record)) noteRefusal(record);
  startRecipientWalk(record);
  record->step.nextState = kStateGroupRcptReply;
  return kStateContinue;
}

// 214: the reply to the next RCPT TO, in list order.
int32_t readGroupRcptReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitGroupReply(record, now);
  if (rc != kReplyRead) return rc;
  // The item was checked before the group went out.
  cutRecipient(record);
  if (positiveReply(record)) {
    ++record->smtp->send->groupAccepted;
    copyText(record->smtp->lastRecipient, record->smtp->currentAddress, kLastRecipientCap);
  } else {
    noteRefusal(record);
  }
  restoreListItem(record);
  record->step.nextState = nextRecipient(record) ? kStateGroupRcptReply : kStateGroupDataReply;
  return kStateContinue;
}

// 215: the reply to DATA.
int32_t readGroupDataReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitGroupReply(record, now);
  if (rc != kReplyRead) return rc;
  if (!goAhead(record)) {
    noteRefusal(record);
    record->step.nextState = kStateGroupReset;
    return kStateContinue;
  }
  if (record->smtp->send->groupRefused == 0) return goAheadWithMessage(record);
  if (record->smtp->send->groupAccepted > 0) {
    restoreRefusal(record);
    return failState(record, 0, kErrSmtpError);
  }
  rc = sendAllBytes(record, kEmptyMessageEnd, textLength(kEmptyMessageEnd));
  return sentThen(record, rc, kStateGroupEmptyEnd, replyWait, now);
}

// 216: the answer to the empty message; whatever it is, RSET follows.
int32_t readEmptyEndReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitGroupReply(record, now);
  if (rc != kReplyRead) return rc;
  record->step.nextState = kStateGroupReset;
  return kStateContinue;
}

// 217: RSET ends the refused transaction.
int32_t sendGroupReset(ChannelRecord* record, uint32_t now) {
  return sentThen(record, sendFormatted(record, "RSET"), kStateGroupResetReply, replyWait, now);
}

// 218: the answer to RSET. The send fails with the first refusal; the
// connection stays unless the server refused RSET too, after which its
// state is unknown.
int32_t readGroupResetReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitGroupReply(record, now);
  if (rc != kReplyRead) return rc;
  bool reset = positiveReply(record);
  restoreRefusal(record);
  return reset ? refuseState(record, kErrSmtpError) : failState(record, 0, kErrSmtpError);
}

constexpr StateEntry kGroupStates[] = {
    {kStateGroupMailReply, readGroupMailReply}, {kStateGroupRcptReply, readGroupRcptReply},
    {kStateGroupDataReply, readGroupDataReply}, {kStateGroupEmptyEnd, readEmptyEndReply},
    {kStateGroupReset, sendGroupReset},         {kStateGroupResetReply, readGroupResetReply},
};
const StateRegistration registered(kGroupStates, std::size(kGroupStates));

}  // namespace

bool pipelinesEnvelope(const ChannelRecord* record) {
  return record->smtp->usePipelining != 0 && record->smtp->offersPipelining != 0;
}

int32_t sendEnvelopeGroup(ChannelRecord* record, const char* sender, const char* parameters, uint32_t now) {
  // Every recipient item is checked before anything goes out: a bad one
  // fails the send with the connection still in step.
  startRecipientWalk(record);
  do {
    int32_t rc = cutRecipient(record);
    if (rc < 0) return refuseState(record, rc);
    restoreListItem(record);
  } while (nextRecipient(record));
  if (startBatchedOutput(record->connection) < 0) return failState(record, 0, kErrNoMemory);
  int32_t rc = sendFormatted(record, "MAIL FROM:%s%s", sender, parameters);
  startRecipientWalk(record);
  while (rc == kStateContinue) {
    cutRecipient(record);
    rc = sendFormatted(record, "RCPT TO:%s", record->smtp->currentAddress);
    restoreListItem(record);
    if (!nextRecipient(record)) break;
  }
  if (rc == kStateContinue) rc = sendFormatted(record, "DATA");
  if (rc != kStateContinue) return rc;
  int32_t written = stopBatchedOutput(record->connection);
  if (written < 0) return failState(record, written, kErrSocketWrite);
  record->smtp->send->groupAccepted = 0;
  record->smtp->send->groupRefused = 0;
  return sentThen(record, kStateContinue, kStateGroupMailReply, replyWait, now);
}

}  // namespace qel
