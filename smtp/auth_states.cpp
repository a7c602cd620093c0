// AUTH CRAM-MD5 (states 150 to 153) and AUTH LOGIN (160, 162 to 164), run at
// the end of the connect when the EHLO reply offers them. Challenges and
// prompts are only read as replies; the password never goes over the wire
// with CRAM-MD5 and goes base64-encoded with LOGIN.
#include "smtp/auth.h"

#include <iterator>

#include "codec/base64.h"
#include "codec/text_search.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "qel32.h"
#include "sasl/login_state.h"
#include "codec/md5.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

// The reply text of a challenge: "334 " and the base64 text.
constexpr int32_t kReplyCodeAndSpace = 4;
// Only a 2xx answer to the credentials means the connection is
// authenticated.
constexpr int32_t kAuthenticatedFirst = 200;
constexpr int32_t kAuthenticatedLast = 299;

// Sends length bytes of text base64-encoded as one unbroken line.
int32_t sendEncodedLine(ChannelRecord* record, const char* text, int32_t length) {
  char* line = record->texts.commandLine;
  int32_t encoded = length > 0 ? base64EncodeLine(reinterpret_cast<const uint8_t*>(text), line, length) : 0;
  line[encoded] = '\r';
  line[encoded + 1] = '\n';
  return sendAllBytes(record, line, encoded + 2);
}

// Sends a credential (user name or password) as LOGIN wants it.
int32_t sendCredential(ChannelRecord* record, const char* credential) {
  copyText(record->texts.scratchText, credential, kCredentialCap);
  return sendEncodedLine(record, record->texts.scratchText, textLength(record->texts.scratchText));
}

// The last reply of an exchange: the credentials were taken or not.
int32_t readFinalAuthReply(ChannelRecord* record, const char* success) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  if (record->texts.replyCode < kAuthenticatedFirst || record->texts.replyCode > kAuthenticatedLast) {
    return failState(record, 0, kErrSmtpError);
  }
  logText(record, success);
  record->step.nextState = 0;
  return kStateContinue;
}

// 151: the challenge, decoded into scratchText.
int32_t readChallenge(ChannelRecord* record, uint32_t) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  const char* reply = record->texts.replyText;
  int32_t length = textLength(reply);
  // A reply of up to kReplyRoom characters decodes to three quarters of
  // that at most.
  char decoded[kReplyRoom];
  int32_t count = length > kReplyCodeAndSpace
                      ? qelDecodeBuffer(reply + kReplyCodeAndSpace, decoded, length - kReplyCodeAndSpace)
                      : 0;
  // A challenge too long for scratchText is no challenge this client can
  // answer; it is refused rather than cut.
  if (count > kScratchTextCap) return failState(record, 0, kErrSmtpError);
  copyCount(record->texts.scratchText, decoded, count);
  logFormat(record, "Challenge '%s'\r\n", record->texts.scratchText);
  record->step.nextState = kStateCramResponse;
  return kStateContinue;
}

// 150: AUTH CRAM-MD5, and a first look for the challenge.
int32_t startCram(ChannelRecord* record, uint32_t now) {
  int32_t rc = sendFormatted(record, "%s", "AUTH CRAM-MD5");
  if (rc != kStateContinue) return rc;
  record->step.dueTime = tickAfter(now, 2 * settings.minimumWait);
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  record->step.nextState = kStateCramChallenge;
  return readChallenge(record, now);
}

// 152: the response to the challenge.
int32_t sendCramResponse(ChannelRecord* record, uint32_t now) {
  makeCramResponse(record);
  int32_t rc = sendEncodedLine(record, record->texts.scratchText, textLength(record->texts.scratchText));
  if (rc != kStateContinue) return rc;
  record->step.dueTime = tickAfter(now, settings.minimumWait + loginPauseMs());
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  record->step.nextState = kStateCramDone;
  return kStateContinue;
}

// 153
int32_t readCramResult(ChannelRecord* record, uint32_t) {
  return readFinalAuthReply(record, "AUTH CRAM-MD5 ok\r\n");
}

// 160: AUTH LOGIN.
int32_t startLogin(ChannelRecord* record, uint32_t now) {
  int32_t rc = sendFormatted(record, "%s", "AUTH LOGIN");
  if (rc != kStateContinue) return rc;
  slowReplyWait(record, now);
  record->step.nextState = kStateLoginUser;
  return kStateContinue;
}

// 162: after the first prompt, the user name.
int32_t sendLoginUser(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  rc = sendCredential(record, record->login->userName);
  if (rc != kStateContinue) return rc;
  replyWait(record, now);
  record->step.nextState = kStateLoginPassword;
  return kStateContinue;
}

// 163: after the second prompt, the password.
int32_t sendLoginPassword(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  rc = sendCredential(record, record->login->password);
  if (rc != kStateContinue) return rc;
  record->step.dueTime = tickAfter(now, settings.minimumWait + loginPauseMs());
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  record->step.nextState = kStateLoginDone;
  return kStateContinue;
}

// 164
int32_t readLoginResult(ChannelRecord* record, uint32_t) {
  return readFinalAuthReply(record, "AUTH LOGIN ok\r\n");
}

constexpr StateEntry kAuthStates[] = {
    {kStateCramStart, startCram},           {kStateCramChallenge, readChallenge},
    {kStateCramResponse, sendCramResponse}, {kStateCramDone, readCramResult},
    {kStateLoginStart, startLogin},         {kStateLoginUser, sendLoginUser},
    {kStateLoginPassword, sendLoginPassword}, {kStateLoginDone, readLoginResult},
};
const StateRegistration registered(kAuthStates, std::size(kAuthStates));

}  // namespace

int32_t chooseAuthState(const char* ehloReply) {
  if (findTextNoCase(ehloReply, "AUTH CRAM-MD5") != nullptr) return kStateCramStart;
  if (findTextNoCase(ehloReply, "AUTH LOGIN") != nullptr || findTextNoCase(ehloReply, "AUTH=LOGIN") != nullptr) {
    return kStateLoginStart;
  }
  return 0;
}

void makeCramResponse(ChannelRecord* record) {
  const char* challenge = record->texts.scratchText;
  int32_t length = 0;
  while (challenge[length] != '\0' && challenge[length] != '\r') ++length;
  uint8_t digest[kMd5DigestBytes];
  hmacMd5(challenge, static_cast<size_t>(length), record->login->password, static_cast<size_t>(textLength(record->login->password)),
          digest);
  char hex[kMd5HexChars + 1];
  hexDigest(digest, hex);
  plat::formatText(record->texts.scratchText, fieldSize(kScratchTextCap), "%s %s", record->login->userName, hex);
}

}  // namespace qel
