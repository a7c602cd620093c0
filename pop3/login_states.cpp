// POP3 greeting and login: states 300 to 306 (RFC 1939: APOP, or USER and
// PASS).
#include <cstring>
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "pop3/session.h"
#include "pop3/pop3_states.h"
#include "sasl/sasl.h"
#include "codec/md5.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "transport/send.h"
#include "transport/tls_channel.h"
#include "driver/connection_use.h"
#include "transport/stream.h"

namespace qel {
namespace {

constexpr int32_t kApopPasswordChars = 64;
constexpr uint32_t kVersionMajorShift = 8;
constexpr uint32_t kVersionMinorShift = 4;
constexpr uint32_t kVersionPartMask = 0xF;

// How long one step waits for a login reply: a poll interval, but no longer
// than the reply's deadline. The wait ends as soon as data arrives.
int32_t replyPollWait(const ChannelRecord* record, uint32_t now) {
  uint32_t left = UINT32_MAX;
  if (record->step.deadline != 0) left = tickBefore(now, record->step.deadline) ? record->step.deadline - now : 0;
  uint32_t pause = pollPause(left);
  return pause > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(pause);
}

// Takes the APOP timestamp "<...>" from the greeting into scratchText, or
// leaves scratchText empty when the greeting holds none, or one too long to
// keep.
void takeApopTimestamp(ChannelRecord* record) {
  record->texts.scratchText[0] = '\0';
  const char* open = findChar(record->texts.replyText, '<');
  if (open == nullptr) return;
  const char* close = findChar(open, '>');
  if (close == nullptr) return;
  int32_t length = static_cast<int32_t>(close - open) + 1;
  if (length > kScratchTextCap) return;
  copyText(record->texts.scratchText, open, length);
}

// 300: the version line for the log, then the connect sequence.
int32_t startPop3Connect(ChannelRecord* record, uint32_t) {
  uint32_t version = static_cast<uint32_t>(kVersionWord);
  logFormat(record, "QEL Win32 Version %d.%d.%d Build %d\r\n",
            static_cast<int32_t>(version >> kVersionMajorShift),
            static_cast<int32_t>((version >> kVersionMinorShift) & kVersionPartMask),
            static_cast<int32_t>(version & kVersionPartMask), kBuildNumber);
  record->step.afterConnectState = kStateGreeting;
  record->step.nextState = kStateConnect;
  return kStateContinue;
}

// 301: the greeting; it may carry the APOP timestamp.
int32_t readGreeting(ChannelRecord* record, uint32_t now) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readPop3Reply(record);
  if (rc < 0) return failState(record, 0, rc);
  takeApopTimestamp(record);
  replyWait(record, now);
  // The negotiated login asks CAPA first; STLS and the login follow it.
  if (record->login->negotiateLogin != 0) {
    record->step.nextState = kStateCapa;
    return kStateContinue;
  }
  record->step.nextState = record->pop3->useApop != 0 ? kStateApop : kStateUser;
  // STLS goes first, the login follows the handshake.
  if (usesStartTls(record->tls) && !streamEncrypted(record->connection)) {
    record->step.afterHandshakeState = record->step.nextState;
    record->step.nextState = kStateStls;
  }
  return kStateContinue;
}

// 302: APOP name digest, the digest being MD5 of the timestamp followed by
// the password. Nothing is sent when the timestamp is missing or leaves no
// room for the password.
int32_t sendApop(ChannelRecord* record, uint32_t now) {
  int32_t stampLength = textLength(record->texts.scratchText);
  int32_t passwordLength = textLength(record->login->pop3Password);
  if (passwordLength > kApopPasswordChars) passwordLength = kApopPasswordChars;
  if (stampLength == 0 || stampLength + passwordLength > kScratchTextCap) {
    return failState(record, 0, kErrNoApopTimestamp);
  }
  appendText(record->texts.scratchText, record->login->pop3Password, passwordLength, kScratchTextCap);
  uint8_t digest[kMd5DigestBytes];
  md5Digest(record->texts.scratchText, static_cast<size_t>(textLength(record->texts.scratchText)), digest);
  char hex[kMd5HexChars + 1];
  hexDigest(digest, hex);
  plat::formatText(record->texts.scratchText, fieldSize(kScratchTextCap), "%s %s", record->login->userName, hex);
  return sentThen(record, sendCommand(record, "APOP %s", record->texts.scratchText), kStateLoginReply, loginReplyWait, now);
}

// 303: USER name.
int32_t sendUser(ChannelRecord* record, uint32_t now) {
  const char* user = record->login->negotiateLogin != 0 ? loginUser(record) : record->login->userName;
  return sentThen(record, sendCommand(record, "USER %s", user), kStateUserReply, replyWait, now);
}

// The answer to a login command: kAnswerRead once "+OK" is in; until it
// comes, kStateContinue after waiting for it as long as a poll interval;
// failState's result for anything else.
constexpr int32_t kAnswerRead = 0;
int32_t awaitLoginAnswer(ChannelRecord* record, uint32_t now) {
  if (!waitForData(record->connection, replyPollWait(record, now))) return kStateContinue;
  int32_t rc = readPop3Reply(record);
  return rc < 0 ? failState(record, 0, rc) : kAnswerRead;
}

// 304: the answer to USER.
int32_t readUserReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitLoginAnswer(record, now);
  if (rc != kAnswerRead) return rc;
  record->step.awaitWritable = 1;
  record->step.nextState = kStatePass;
  return kStateContinue;
}

// Under the negotiated login the password never reaches the log.
int32_t sendHiddenPass(ChannelRecord* record) {
  int32_t length =
      plat::formatText(record->texts.commandLine, fieldSize(kCommandLineCap) - 2, "PASS %s\r\n", loginPassword(record));
  int32_t rc = sendHiddenBytes(record->connection, record->texts.commandLine, length, "PASS [hidden]\r\n");
  std::memset(record->texts.commandLine, 0, static_cast<size_t>(length));
  return rc < 0 ? failState(record, rc, kErrSocketWrite) : kStateContinue;
}

// 305: PASS password.
int32_t sendPass(ChannelRecord* record, uint32_t now) {
  int32_t rc = record->login->negotiateLogin != 0 ? sendHiddenPass(record) : sendCommand(record, "PASS %s", record->login->pop3Password);
  return sentThen(record, rc, kStateLoginReply, loginReplyWait, now);
}

// 306: the answer to APOP or PASS: logged in.
int32_t readLoginReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitLoginAnswer(record, now);
  if (rc != kAnswerRead) return rc;
  record->step.nextState = 0;
  return kStateContinue;
}

constexpr StateEntry kLoginStates[] = {
    {kStateVersion, startPop3Connect}, {kStateGreeting, readGreeting}, {kStateApop, sendApop},
    {kStateUser, sendUser},            {kStateUserReply, readUserReply}, {kStatePass, sendPass},
    {kStateLoginReply, readLoginReply},
};
const StateRegistration registered(kLoginStates, std::size(kLoginStates));

}  // namespace
}  // namespace qel
