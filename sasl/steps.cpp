#include "sasl/steps.h"

#include "codec/base64.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/text.h"
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
  record->step.nextState = replyState;
  return kStateContinue;
}

// A challenge: the base64 text of the first line of replyText behind the
// continuation prefix is answered.
int32_t answerChallenge(ChannelRecord* record, const SaslProtocol& protocol, uint32_t now) {
  const char* reply = record->texts.replyText;
  int32_t prefixLength = textLength(protocol.continuationPrefix);
  int32_t length = 0;
  while (reply[length] != '\0' && reply[length] != '\r' && reply[length] != '\n') ++length;
  // A reply of up to kReplyRoom characters decodes to three quarters of
  // that at most.
  char challenge[kReplyRoom];
  int32_t count = length > prefixLength ? base64DecodeRun(reply + prefixLength, challenge, length - prefixLength) : 0;
  int32_t rc = saslAnswer(record, challenge, count);
  if (rc < 0) return failState(record, 0, rc);
  return sendSaslStep(record, "", true, protocol.replyState, now);
}

}  // namespace

int32_t sendSaslAuth(ChannelRecord* record, const SaslProtocol& protocol, uint32_t now) {
  if (takeSaslBuffers(record) < 0) return failState(record, 0, kErrNoMemory);
  bool initial = saslStart(record);
  if (!protocol.initialOnCommandLine) {
    // The first message is made again for the empty challenge.
    record->login->saslRound = 0;
    initial = false;
  }
  char command[kAuthCommandRoom];
  plat::formatText(command, kAuthCommandRoom, "%s %s", protocol.command, mechanismName(record->login->saslMechanism));
  return sendSaslStep(record, command, initial, protocol.replyState, now);
}

int32_t takeSaslReply(ChannelRecord* record, const SaslProtocol& protocol, uint32_t now) {
  if (protocol.accepted(record)) {
    int32_t rc = saslFinished(record);
    if (rc < 0) return failState(record, 0, rc);
    record->step.nextState = 0;
    return kStateContinue;
  }
  if (!protocol.challenged(record)) return failState(record, 0, protocol.refusedCode);
  return answerChallenge(record, protocol, now);
}

}  // namespace qel
