// The negotiated SMTP login (RFC 4954): after the EHLO reply, AUTH with the
// mechanism chosen from the whole offer (170), then one state (171) that
// answers each 334 challenge until the server says yes or no.
#include <iterator>

#include "codec/base64.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "qel32.h"
#include "smtp/sasl.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

constexpr int32_t kChallengeCode = 334;
constexpr int32_t kReplyCodeAndSpace = 4;  // "334 "
constexpr int32_t kAuthenticatedFirst = 200;
constexpr int32_t kAuthenticatedLast = 299;
constexpr int32_t kAuthCommandRoom = 40;

// Sends a SASL line; a failed send ends the connect with -52.
int32_t sendLine(ChannelRecord* record, const char* command, bool withMessage, uint32_t now) {
  int32_t rc = sendSaslLine(record, command, withMessage);
  if (rc < 0) return failState(record, rc, kErrSocketWrite);
  record->dueTime = tickAfter(now, settings.minimumWait + loginPauseMs());
  record->deadline = tickAfter(now, settings.replyTimeout);
  record->nextState = kStateSaslReply;
  return kStateContinue;
}

// 170: AUTH with the chosen mechanism, and its initial response when it has
// one (RFC 4954 allows it on the command line).
int32_t sendAuth(ChannelRecord* record, uint32_t now) {
  char command[kAuthCommandRoom];
  plat::formatText(command, kAuthCommandRoom, "AUTH %s", mechanismName(record->saslMechanism));
  bool initial = saslStart(record);
  return sendLine(record, command, initial, now);
}

// 171: a challenge is answered; 2xx ends the login; anything else fails it.
int32_t readSaslReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  int32_t code = record->replyCode;
  if (code >= kAuthenticatedFirst && code <= kAuthenticatedLast) {
    rc = saslFinished(record);
    if (rc < 0) return failState(record, 0, rc);
    record->nextState = 0;
    return kStateContinue;
  }
  if (code != kChallengeCode) return failState(record, 0, kErrSmtpError);
  const char* reply = record->replyText;
  int32_t length = 0;
  while (reply[length] != '\0' && reply[length] != '\r' && reply[length] != '\n') ++length;
  // A reply of up to kReplyRoom characters decodes to three quarters of
  // that at most.
  char challenge[kReplyRoom];
  int32_t count = length > kReplyCodeAndSpace
                      ? base64DecodeRun(reply + kReplyCodeAndSpace, challenge, length - kReplyCodeAndSpace)
                      : 0;
  rc = saslAnswer(record, challenge, count);
  if (rc < 0) return failState(record, 0, rc);
  return sendLine(record, "", true, now);
}

constexpr StateEntry kNegotiatedAuthStates[] = {
    {kStateSaslAuth, sendAuth},
    {kStateSaslReply, readSaslReply},
};
const StateRegistration registered(kNegotiatedAuthStates, std::size(kNegotiatedAuthStates));

}  // namespace

int32_t negotiatedAuthState(ChannelRecord* record, int32_t* failure) {
  *failure = 0;
  takeSmtpAuthOffer(record, record->replyText);
  if (!wantsLogin(record)) return 0;
  record->saslMechanism = chooseMechanism(record);
  if (record->saslMechanism != 0) return kStateSaslAuth;
  *failure = failState(record, 0, kErrNoCommonMechanism);
  return 0;
}

}  // namespace qel
