// The SMTP operations: connect, send one message, verify names. Each checks
// its arguments, copies them into the channel record or its tracked blocks,
// and stages the first state of its sequence.
#include "smtp/operations.h"

#include "codec/address.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/memory.h"
#include "transport/readiness.h"
#include "frame/text.h"
#include "mime/decoder_state.h"
#include "qel32.h"
#include "sasl/login_state.h"
#include "smtp/message_plan.h"
#include "smtp/smtp_states.h"
#include "transport/connection.h"
#include "driver/connection_use.h"

namespace qel {
namespace {

// The message text of a send without one.
constexpr char kNoMessage[] = "";

bool isEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// Copies an optional argument into its block slot. Returns 0 with *copy set
// (null for an absent text), or -55.
int32_t copyOptional(ChannelRecord* record, int32_t slot, const char* text, char** copy) {
  *copy = nullptr;
  if (isEmpty(text)) return 0;
  *copy = allocAndCopy(record->channelNumber, slot, text);
  return *copy == nullptr ? kErrNoMemory : 0;
}

// Checks and copies an optional recipient list (CC or BCC).
int32_t copyRecipients(ChannelRecord* record, int32_t slot, const char* list, char** copy) {
  *copy = nullptr;
  if (isEmpty(list)) return 0;
  int32_t rc = checkAddressList(record, list, true);
  if (rc < 0) return rc;
  return copyOptional(record, slot, list, copy);
}

// The end of every operation: stop here for a caller that drives, or run
// the sequence.
int32_t startSequence(ChannelRecord* record, int32_t firstState) {
  stageSequence(record, firstState);
  if (record->step.autoCall == 0) return 0;
  return runDriver(record->channelNumber);
}

}  // namespace

int32_t checkAddressList(ChannelRecord* record, const char* text, bool firstItemOnly) {
  if (isEmpty(text)) return kErrEmptyAddress;
  const char* open = firstItemOnly ? findInItem(text, '<') : findChar(text, '<');
  if (open == nullptr) return failState(record, 0, kErrMissingLt);
  const char* close = firstItemOnly ? findInItem(text, '>') : findChar(text, '>');
  if (close == nullptr || close < open) return kErrMissingGt;
  return 0;
}

}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelSmtpConnect(int32_t chan, const char* server, const char* from,
                                                   const char* replyTo) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  // The session's and the login's blocks come first: an SMTP channel always
  // has both.
  if ((rc = openSmtpSession(record)) < 0 || (rc = openLoginState(record)) < 0) return rc;
  record->protocol = kProtocolSmtp;
  logText(record, "*** qelSmtpConnect\r\n");
  if (server == nullptr) return kErrNoServer;
  if (from == nullptr) return kErrFromNull;
  if (validServerName(server) == 0) return kErrBadServerName;
  // A cut text would name another host or another sender (a From cut inside
  // its address still passes the checks), so texts too long for their field
  // are refused before anything is stored.
  if (textLength(server) > kServerNameCap || textLength(from) > kAddressCap || textLength(replyTo) > kAddressCap) {
    return kErrTextTooLong;
  }
  if (isEmpty(replyTo)) {
    record->smtp->replyToAddress[0] = '\0';
  } else {
    copyText(record->smtp->replyToAddress, replyTo, kAddressCap);
  }
  copyText(record->serverName, server, kServerNameCap);
  rc = checkAddressList(record, from, false);
  if (rc < 0) return rc;
  // The From text goes into the greeting and into MAIL FROM.
  if (holdsLineBreak(from, kAddressCap)) return kErrBadAddressChar;
  copyText(record->smtp->fromAddress, from, kAddressCap);
  Connection* connection = useConnection(record);
  if (connection == nullptr) return kErrNoMemory;
  connection->remotePort = record->smtp->smtpPort;
  record->step.awaitWritable = 0;
  clearSavedCount(record);
  connection->ringRead = 0;
  connection->ringWrite = 0;
  return startSequence(record, kStateConnectStart);
}

extern "C" QEL_API int32_t QEL_CALL qelSendEmail(int32_t chan, const char* to, const char* cc, const char* bcc,
                                                 const char* subject, const char* message,
                                                 const char* attachments) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  if (record->protocol != kProtocolSmtp) return kErrSmtpOnly;
  logText(record, "*** qelSendEmail\r\n");
  if (connectionUsable(record->connection, 0) == 0) {
    // A connection that shows an error condition (the server reset it) is
    // over: its socket is closed now, not left open until the next connect.
    // One that is only not writable yet stays.
    if (socketIsOpen(record->connection) && readinessTest(record->connection, plat::Readiness::error)) {
      closeSocketLogged(record->connection, record->log);
    }
    return kErrNotConnected;
  }
  if ((rc = openSmtpSend(record)) < 0) return rc;
  resetByteCounts(record);
  record->smtp->send->contentIdCount = 0;
  record->smtp->send->toList = nullptr;
  record->smtp->send->nextAttach = nullptr;
  record->smtp->send->separatorAt = nullptr;
  record->smtp->send->preparedSource = 0;
  // A file left open by a send that failed half-way is of no further use.
  closeSendFile(record);
  if (isEmpty(to)) return kErrNoRecipient;
  rc = checkAddressList(record, to, true);
  if (rc < 0) return rc;
  // The envelope commands carry these texts as they are (the From text may
  // have been changed since the connect): a line break in one is refused
  // before anything is sent.
  if (holdsLineBreak(record->smtp->fromAddress) || holdsLineBreak(to) || holdsLineBreak(cc) || holdsLineBreak(bcc)) {
    return kErrBadAddressChar;
  }
  if ((rc = copyOptional(record, kSlotTo, to, &record->smtp->send->toList)) < 0) return rc;
  if ((rc = copyRecipients(record, kSlotCc, cc, &record->smtp->send->ccList)) < 0) return rc;
  if ((rc = copyRecipients(record, kSlotBcc, bcc, &record->smtp->send->bccList)) < 0) return rc;
  if ((rc = copyOptional(record, kSlotSubject, subject, &record->smtp->send->subjectText)) < 0) return rc;
  char* messageCopy = nullptr;
  if ((rc = copyOptional(record, kSlotMessage, message, &messageCopy)) < 0) return rc;
  record->smtp->send->messageText = messageCopy != nullptr ? messageCopy : kNoMessage;
  if ((rc = copyOptional(record, kSlotAttachments, attachments, &record->smtp->send->attachList)) < 0) return rc;
  if ((rc = planMessage(record)) < 0) return rc;
  if ((rc = checkHeaderLines(record)) < 0) {
    logText(record, "Refused: a header line would pass 998 characters\r\n");
    return rc;
  }
  record->step.awaitWritable = 1;
  stageSequence(record, kStateMailFrom);
  if (record->step.autoCall == 0) return 0;
  logText(record, "*** Sending...\r\n");
  return runDriver(chan);
}

extern "C" QEL_API int32_t QEL_CALL qelVerifyUser(int32_t chan, const char* names) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  if (record->protocol != kProtocolSmtp) return kErrSmtpOnly;
  logText(record, "*** qelVerifyUser\r\n");
  if (isEmpty(names)) return kErrNoRecipient;
  // Each name goes into a VRFY command as it is.
  if (holdsLineBreak(names)) return kErrBadAddressChar;
  if ((rc = openSmtpSend(record)) < 0) return rc;
  // The name list takes the To list's block.
  record->smtp->send->toList = nullptr;
  record->smtp->send->listCursor = allocAndCopy(record->channelNumber, kSlotTo, names);
  if (record->smtp->send->listCursor == nullptr) return kErrNoMemory;
  record->smtp->verifyResult = 0;
  rc = startSequence(record, kStateVerifyNext);
  if (rc == 0 && record->step.autoCall != 0) return record->smtp->verifyResult;
  return rc;
}
