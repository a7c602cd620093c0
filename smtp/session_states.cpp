// The SMTP session outside the message text: greeting and EHLO/HELO, the
// envelope (MAIL FROM, one RCPT TO per recipient, DATA), and the VRFY loop.
#include <iterator>

#include "codec/address.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "smtp/auth.h"
#include "smtp/message_plan.h"
#include "sasl/sasl.h"
#include "smtp/smtp_states.h"
#include "transport/output.h"
#include "transport/connection.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "driver/connection_use.h"

namespace qel {
namespace {

constexpr int32_t kFirstConnectState = 101;
// The greeting waits this long for the socket to take the EHLO/HELO line.
constexpr int32_t kHelloWritableWaitMs = 1000;
// Domain of the greeting when the From text holds no "@".
constexpr char kDefaultHelloDomain[] = "localhost";
// The server takes the message text only after a 3xx answer to DATA.
constexpr int32_t kReplyOkFirst = 200;
constexpr int32_t kReplyOkLast = 299;
constexpr int32_t kDataGoAheadFirst = 300;
constexpr int32_t kDataGoAheadLast = 399;
// Room for the extension parameters of MAIL FROM.
constexpr int32_t kMailParametersRoom = 64;

// Whether the greeting is EHLO: ESMTP on, STARTTLS to come, or a
// negotiated login to make.
bool greetsWithEhlo(const ChannelRecord* record) {
  // STARTTLS exists only in ESMTP: a channel that may use it greets with
  // EHLO, before and after the handshake.
  // So does a channel with a negotiated login to make: the AUTH offer is in
  // the EHLO reply.
  bool negotiates = record->login->negotiateLogin != 0 && wantsLogin(record);
  return record->smtp->useEsmtp != 0 || startTlsNeedsEhlo(record) || negotiates;
}

// 200: the version line, then the connect states.
int32_t startConnect(ChannelRecord* record, uint32_t) {
  logFormat(record, "QEL Win32 Version %d.%d.%d Build %d\r\n", (kVersionWord >> 8) & 0xF, (kVersionWord >> 4) & 0xF,
            kVersionWord & 0xF, kBuildNumber);
  record->step.afterConnectState = kStateGreeting;
  record->step.nextState = kFirstConnectState;
  return kStateContinue;
}

// 201: the server's greeting.
int32_t readGreeting(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  if (!positiveReply(record)) return failState(record, 0, kErrSmtpError);
  replyWait(record, now);
  record->step.nextState = kStateHello;
  return kStateContinue;
}

// 202: EHLO or HELO with the greeting name, or else the domain of the From
// address.
int32_t sendHello(ChannelRecord* record, uint32_t now) {
  resetByteCounts(record);
  const char* verb = greetsWithEhlo(record) ? "EHLO" : "HELO";
  char* line = record->texts.commandLine;
  if (record->smtp->helloName[0] != '\0') {
    plat::formatText(line, plat::kFormatLimit + 1, "%s %s", verb, record->smtp->helloName);
  } else {
    const char* at = findChar(record->smtp->fromAddress, '@');
    // Text after the address's closing bracket does not belong to the domain.
    plat::formatText(line, plat::kFormatLimit + 1, "%s %s", verb, at != nullptr ? at + 1 : kDefaultHelloDomain);
    char* close = findChar(line, '>');
    if (close != nullptr) *close = '\0';
  }
  if (holdsLineBreak(line)) return failState(record, 0, kErrBadAddressChar);
  connectionUsable(record->connection, kHelloWritableWaitMs);
  return sentThen(record, sendCommandLine(record, textLength(line)), kStateHelloReply, slowReplyWait, now);
}

// 203: the answer to EHLO/HELO; an offered mechanism leads into AUTH,
// otherwise the connect is complete.
int32_t readHelloReply(ChannelRecord* record, uint32_t) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  if (!positiveReply(record)) return failState(record, 0, kErrSmtpError);
  noteServerExtensions(record);
  record->smtp->offersPipelining = greetsWithEhlo(record) && ehloOffers(record->texts.replyText, "PIPELINING") ? 1 : 0;
  if (startTlsTakesOver(record, &rc)) return rc;
  if (record->login->negotiateLogin != 0) {
    int32_t failure = 0;
    record->step.nextState = negotiatedAuthState(record, &failure);
    return failure != 0 ? failure : kStateContinue;
  }
  record->step.nextState = record->smtp->useEsmtp != 0 ? chooseAuthState(record->texts.replyText) : 0;
  return kStateContinue;
}

// 204: MAIL FROM with the From address from its "<" on.
int32_t sendMailFrom(ChannelRecord* record, uint32_t now) {
  // A ready-made message has its own envelope sender, checked by its operation.
  const char* open = record->smtp->send->preparedSource != 0 ? record->smtp->send->envelopeSender : nullptr;
  if (open == nullptr) {
    if (record->smtp->fromAddress[0] == '\0') return failState(record, 0, kErrMissingFrom);
    open = findChar(record->smtp->fromAddress, '<');
    if (open == nullptr) return failState(record, 0, kErrMissingLt);
    if (holdsLineBreak(record->smtp->fromAddress)) return failState(record, 0, kErrBadAddressChar);
  }
  char parameters[kMailParametersRoom];
  mailFromParameters(record, parameters, kMailParametersRoom);
  if (pipelinesEnvelope(record)) return sendEnvelopeGroup(record, open, parameters, now);
  return sentThen(record, sendFormatted(record, "MAIL FROM:%s%s", open, parameters), kStateMailFromReply, replyWait,
                  now);
}

// 205: the answer to MAIL FROM; the recipient loop starts with the To list.
int32_t readMailFromReply(ChannelRecord* record, uint32_t) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  if (!positiveReply(record)) return failState(record, 0, kErrSmtpError);
  startRecipientWalk(record);
  record->step.nextState = kStateNextRecipient;
  return kStateContinue;
}

// Cuts the item at listCursor off the list being walked (RCPT, VRFY): ends
// it at the first recipient separator at or after from (outside quotes and
// brackets) and moves listCursor behind it. False, and nothing cut, when the item holds a line break.
bool cutListItem(ChannelRecord* record, char* from) {
  char* item = record->smtp->send->listCursor;
  char* separator = findListSeparator(from);
  if (holdsLineBreak(item, separator != nullptr ? static_cast<int32_t>(separator - item) : -1)) return false;
  record->smtp->send->separatorAt = separator;
  if (separator != nullptr) {
    *separator = '\0';
    record->smtp->send->listCursor = separator + 1;
  } else {
    record->smtp->send->listCursor = from + textLength(from);
  }
  return true;
}

}  // namespace

bool positiveReply(const ChannelRecord* record) {
  return record->texts.replyCode >= kReplyOkFirst && record->texts.replyCode <= kReplyOkLast;
}

void restoreListItem(ChannelRecord* record) {
  if (record->smtp->send->separatorAt != nullptr) *record->smtp->send->separatorAt = settings.recipientSeparator;
  record->smtp->send->separatorAt = nullptr;
}

void startRecipientWalk(ChannelRecord* record) {
  record->smtp->send->listCursor = record->smtp->send->toList;
  record->smtp->send->ccDone = record->smtp->send->ccList == nullptr ? 1 : 0;
  record->smtp->send->bccDone = record->smtp->send->bccList == nullptr ? 1 : 0;
}

// The separator is looked for from the item's "<" on: a display name may
// hold it.
int32_t cutRecipient(ChannelRecord* record) {
  char* open = findInItem(record->smtp->send->listCursor, '<');
  if (open == nullptr) return kErrEmptyAddress;
  // The whole item goes into the To or CC header line as well.
  if (!cutListItem(record, open)) return kErrBadAddressChar;
  record->smtp->currentAddress = open;
  return 0;
}

bool nextRecipient(ChannelRecord* record) {
  SmtpSend* send = record->smtp->send;
  if (send->listCursor[0] != '\0') return true;
  if (send->ccDone == 0) {
    send->listCursor = send->ccList;
    send->ccDone = 1;
  } else if (send->bccDone == 0) {
    send->listCursor = send->bccList;
    send->bccDone = 1;
  } else {
    return false;
  }
  return true;
}

int32_t goAheadWithMessage(ChannelRecord* record) {
  // The message goes out in large writes from here to its final ".".
  if (startBatchedOutput(record->connection) < 0) return failState(record, 0, kErrNoMemory);
  if (record->smtp->send->preparedSource != 0) {
    record->step.nextState = kStatePreparedOpen;
  } else {
    record->step.nextState = record->smtp->bodyType == 2 || record->smtp->standardHeader != 0 ? kStateMessageId : kStateMailer;
  }
  return kStateContinue;
}

namespace {

// 206: cuts the next recipient out of the list being walked.
int32_t takeRecipient(ChannelRecord* record, uint32_t now) {
  int32_t rc = cutRecipient(record);
  if (rc < 0) return failState(record, 0, rc);
  record->step.awaitWritable = 1;
  deadlineOnly(record, now);
  record->step.nextState = kStateRcptTo;
  return kStateContinue;
}

// 207: RCPT TO for the recipient just cut out.
int32_t sendRcptTo(ChannelRecord* record, uint32_t now) {
  return sentThen(record, sendFormatted(record, "RCPT TO:%s", record->smtp->currentAddress), kStateRcptToReply,
                  deadlineOnly, now);
}

// 208: the answer to RCPT TO; on to the next item, the CC list, the BCC
// list, or DATA.
int32_t readRcptToReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  // A recipient the server did not take (a temporary 4xx refusal too) would
  // silently miss the message: the send ends before DATA, so that nobody
  // has it yet and the caller can send again to all.
  bool accepted = positiveReply(record);
  if (accepted) copyText(record->smtp->lastRecipient, record->smtp->currentAddress, kLastRecipientCap);
  // The list is whole again for the header lines.
  restoreListItem(record);
  if (!accepted) return failState(record, 0, kErrSmtpError);
  record->step.nextState = kStateNextRecipient;
  if (!nextRecipient(record)) {
    record->step.dueTime = tickAfter(now, settings.minimumWait);
    record->step.nextState = kStateData;
  }
  return kStateContinue;
}

// 209: DATA.
int32_t sendData(ChannelRecord* record, uint32_t now) {
  return sentThen(record, sendFormatted(record, "DATA"), kStateDataReply, replyWait, now);
}

// 210: the go-ahead for the message text. Any other answer means the
// server would read the message as commands, so the send ends there.
int32_t readDataReply(ChannelRecord* record, uint32_t) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  if (record->texts.replyCode < kDataGoAheadFirst || record->texts.replyCode > kDataGoAheadLast) {
    return failState(record, 0, kErrSmtpError);
  }
  return goAheadWithMessage(record);
}

// 270: cuts the next name out of the VRFY list; done when none is left.
int32_t takeVerifyName(ChannelRecord* record, uint32_t now) {
  char* name = record->smtp->send->listCursor;
  record->smtp->currentAddress = name;
  if (name == nullptr || name[0] == '\0') {
    record->step.nextState = 0;
    return kStateContinue;
  }
  if (!cutListItem(record, name)) return failState(record, 0, kErrBadAddressChar);
  record->step.awaitWritable = 1;
  deadlineOnly(record, now);
  record->step.nextState = kStateVerifySend;
  return kStateContinue;
}

// 271: VRFY with the name as given.
int32_t sendVerify(ChannelRecord* record, uint32_t now) {
  return sentThen(record, sendFormatted(record, "VRFY %s", record->smtp->currentAddress), kStateVerifyReply, replyWait, now);
}

}  // namespace

void skipRestOfReply(ChannelRecord* record) {
  const char* last = record->texts.lastReply;
  if (textLength(last) <= 3 || last[3] != '-') return;
  char line[kReplyRoom];
  bool lineStart = true;
  bool continuation = true;
  // The lines are dropped: they all come within one reply time-out, or the
  // rest is left, however fast it keeps coming.
  uint32_t end = tickAfter(plat::tickCount(), settings.replyTimeout);
  for (;;) {
    if (!waitForData(record->connection, waitUntil(end))) return;
    int32_t length = readLineUntil(record->connection, line, kReplyRoom, 0, end);
    if (length <= 0) return;
    if (lineStart) continuation = length > 3 && line[3] == '-';
    lineStart = line[length - 1] == '\n';
    if (lineStart && !continuation) return;
    if (waitUntil(end) == 0) return;
  }
}

namespace {

// 272: the answer to VRFY. Only 250 counts as verified; a refusal does not
// end the loop.
int32_t readVerifyReply(ChannelRecord* record, uint32_t) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readSmtpReply(record);
  record->smtp->verifyResult = rc >= 0 && record->texts.replyCode == kReplyVerified ? 1 : 0;
  if (rc == kErrSmtpError) skipRestOfReply(record);
  restoreListItem(record);
  record->step.nextState = kStateVerifyNext;
  return kStateContinue;
}

constexpr StateEntry kSessionStates[] = {
    {kStateConnectStart, startConnect},     {kStateGreeting, readGreeting},
    {kStateHello, sendHello},               {kStateHelloReply, readHelloReply},
    {kStateMailFrom, sendMailFrom},         {kStateMailFromReply, readMailFromReply},
    {kStateNextRecipient, takeRecipient},   {kStateRcptTo, sendRcptTo},
    {kStateRcptToReply, readRcptToReply},   {kStateData, sendData},
    {kStateDataReply, readDataReply},       {kStateVerifyNext, takeVerifyName},
    {kStateVerifySend, sendVerify},         {kStateVerifyReply, readVerifyReply},
};
const StateRegistration registered(kSessionStates, std::size(kSessionStates));

}  // namespace
}  // namespace qel
