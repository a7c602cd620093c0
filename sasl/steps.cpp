#include "sasl/steps.h"

#include "codec/base64.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "platform/platform.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

constexpr int32_t kAuthCommandRoom = 40;

// Sends a SASL line; a failed send fails the step with -52.
int32_t sendSaslStep(ChannelRecord* record, const char* command, bool withMessage, int32_t replyState, uint32_t now) {
  int32_t rc = sendSaslLine(record, command, withMessage);
  if (rc < 0) return failState(record, rc, kErrSocketWrite);
  loginReplyWait(record, now);
  record->nextState = replyState;
  return kStateContinue;
}

}  // namespace

int32_t sendSaslAuth(ChannelRecord* record, bool initialOnLine, int32_t replyState, uint32_t now) {
  bool initial = saslStart(record);
  if (!initialOnLine) {
    // The first message is made again for the empty challenge.
    record->saslRound = 0;
    initial = false;
  }
  char command[kAuthCommandRoom];
  plat::formatText(command, kAuthCommandRoom, "AUTH %s", mechanismName(record->saslMechanism));
  return sendSaslStep(record, command, initial, replyState, now);
}

int32_t answerSaslChallenge(ChannelRecord* record, int32_t prefixLength, int32_t replyState, uint32_t now) {
  const char* reply = record->replyText;
  int32_t length = 0;
  while (reply[length] != '\0' && reply[length] != '\r' && reply[length] != '\n') ++length;
  // A reply of up to kReplyRoom characters decodes to three quarters of
  // that at most.
  char challenge[kReplyRoom];
  int32_t count = length > prefixLength ? base64DecodeRun(reply + prefixLength, challenge, length - prefixLength) : 0;
  int32_t rc = saslAnswer(record, challenge, count);
  if (rc < 0) return failState(record, 0, rc);
  return sendSaslStep(record, "", true, replyState, now);
}

int32_t finishSaslLogin(ChannelRecord* record) {
  int32_t rc = saslFinished(record);
  if (rc < 0) return failState(record, 0, rc);
  record->nextState = 0;
  return kStateContinue;
}

}  // namespace qel
