// The negotiated SMTP login (RFC 4954): after the EHLO reply, AUTH with the
// mechanism chosen from the whole offer (170), then one state (171) that
// answers each 334 challenge until the server says yes or no.
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "smtp/sasl.h"
#include "smtp/sasl_steps.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

constexpr int32_t kChallengeCode = 334;
constexpr int32_t kReplyCodeAndSpace = 4;  // "334 "
constexpr int32_t kAuthenticatedFirst = 200;
constexpr int32_t kAuthenticatedLast = 299;

// 170: AUTH with the chosen mechanism, and its initial response when it has
// one (RFC 4954 allows it on the command line).
int32_t sendAuth(ChannelRecord* record, uint32_t now) { return sendSaslAuth(record, true, kStateSaslReply, now); }

// 171: a challenge is answered; 2xx ends the login; anything else fails it.
int32_t readSaslReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  int32_t code = record->replyCode;
  if (code >= kAuthenticatedFirst && code <= kAuthenticatedLast) return finishSaslLogin(record);
  if (code != kChallengeCode) return failState(record, 0, kErrSmtpError);
  return answerSaslChallenge(record, kReplyCodeAndSpace, kStateSaslReply, now);
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
