// The negotiated POP3 login: CAPA (RFC 2449) after the greeting and again
// after STLS (324, 325), then AUTH (RFC 5034) with the mechanism chosen
// from the SASL line (326, 327), else APOP or USER and PASS as before.
#include <iterator>

#include "codec/text_search.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "pop3/session.h"
#include "pop3/pop3_states.h"
#include "sasl/sasl.h"
#include "sasl/steps.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "transport/tls_channel.h"
#include "driver/connection_use.h"
#include "transport/stream.h"

namespace qel {
namespace {

constexpr char kSaslKeyword[] = "SASL ";
constexpr int32_t kSaslKeywordLength = 5;
constexpr char kUserKeyword[] = "USER";
constexpr int32_t kUserKeywordLength = 4;
constexpr char kStlsKeyword[] = "STLS";
constexpr int32_t kStlsKeywordLength = 4;

// "+OK" ends the login; any other "+" reply ("+ ", "+" alone) is a
// challenge. "-ERR" never gets here: the reply reader fails it.
bool loggedIn(const ChannelRecord* record) {
  char second = record->texts.replyText[1];
  return second != ' ' && second != '\r' && second != '\n' && second != '\0';
}
bool challenged(const ChannelRecord*) { return true; }

// POP3 AUTH (RFC 5034): the initial response follows the server's empty
// challenge "+ ".
constexpr SaslProtocol kPop3Sasl = {"AUTH", "+ ", false, kStateAuthReply, loggedIn, challenged, kErrPop3Error};

// Whether the CAPA line of length characters is the keyword alone.
bool isKeywordLine(const char* line, int32_t length, const char* keyword, int32_t keywordLength) {
  if (length < keywordLength || !equalsNoCase(line, keyword, keywordLength)) return false;
  return length == keywordLength || line[keywordLength] == '\r' || line[keywordLength] == '\n' ||
         line[keywordLength] == ' ';
}

// One capability line: the SASL mechanisms, and whether USER and STLS are
// there.
void takeCapability(ChannelRecord* record, const char* line, int32_t length) {
  if (length > kSaslKeywordLength && equalsNoCase(line, kSaslKeyword, kSaslKeywordLength)) {
    addOfferedMechanisms(record, line + kSaslKeywordLength, length - kSaslKeywordLength);
  } else if (isKeywordLine(line, length, kUserKeyword, kUserKeywordLength)) {
    record->login->offersUserPass = 1;
  } else if (isKeywordLine(line, length, kStlsKeyword, kStlsKeywordLength)) {
    record->login->tlsOffered = 1;
  }
}

// The login that follows CAPA: AUTH with a usable mechanism, else APOP
// when asked for, else USER and PASS where they may go; -120 otherwise.
int32_t chooseLogin(ChannelRecord* record) {
  record->login->saslMechanism = chooseMechanism(record);
  if (record->login->saslMechanism != 0) {
    record->step.nextState = kStateAuth;
  } else if (record->pop3->useApop != 0) {
    record->step.nextState = kStateApop;
  } else if (clearCredentialsAllowed(record)) {
    record->step.nextState = kStateUser;
  } else {
    noteNoMechanism(record, "PLAIN, LOGIN, tokens and USER/PASS only over TLS");
    return failState(record, 0, kErrNoCommonMechanism);
  }
  return kStateContinue;
}

// After the CAPA answer: STLS first when TLS is wanted and not yet on
// (CAPA is asked again after the handshake), else the login.
int32_t afterCapabilities(ChannelRecord* record) {
  if (usesStartTls(record->tls) && !streamEncrypted(record->connection) && !tlsWasDeclined(record->connection)) {
    record->step.afterHandshakeState = kStateCapa;
    record->step.nextState = kStateStls;
    return kStateContinue;
  }
  return chooseLogin(record);
}

// 324: CAPA; what the server said before is forgotten.
int32_t sendCapa(ChannelRecord* record, uint32_t now) {
  clearOffer(record);
  record->login->offersUserPass = 0;
  startAnswer(record);
  return sentThen(record, sendCommand(record, "CAPA"), kStateCapaLine, replyWait, now);
}

// 325: one line of the CAPA answer. A server without CAPA answers "-ERR":
// it offers nothing beyond RFC 1939.
int32_t readCapaLine(ChannelRecord* record, uint32_t) {
  int32_t length = 0;
  bool lineEnded = false;
  // Only a piece that begins a line can name a capability.
  bool lineStart = record->pop3->answerPosition == kAnswerLineStart;
  switch (readAnswerPiece(record, settings.pop3ReadWait, &length, &lineEnded)) {
    case AnswerPiece::nothing:
      return kStateContinue;
    case AnswerPiece::closed:
      return failState(record, 0, kErrSocketClosed);
    case AnswerPiece::errorStatus:
      if (!lineEnded) return kStateContinue;
      return afterCapabilities(record);
    case AnswerPiece::end:
      return afterCapabilities(record);
    case AnswerPiece::okStatus:
      break;
    case AnswerPiece::data:
      if (lineStart) takeCapability(record, record->texts.replyText, length);
      break;
  }
  // The answer is a short list: it all comes within the reply time-out of
  // CAPA, so a server that streams lines without end cannot hold the login.
  return kStateContinue;
}

// 326: AUTH with the chosen mechanism; its first message, if any, follows
// the server's empty challenge.
int32_t sendAuth(ChannelRecord* record, uint32_t now) { return sendSaslAuth(record, kPop3Sasl, now); }

// 327: "+ challenge" is answered, "+OK" ends the login, "-ERR" fails it.
int32_t readAuthReply(ChannelRecord* record, uint32_t now) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readPop3Reply(record);
  if (rc < 0) return failState(record, 0, rc);
  return takeSaslReply(record, kPop3Sasl, now);
}

constexpr StateEntry kCapaStates[] = {
    {kStateCapa, sendCapa},
    {kStateCapaLine, readCapaLine},
    {kStateAuth, sendAuth},
    {kStateAuthReply, readAuthReply},
};
const StateRegistration registered(kCapaStates, std::size(kCapaStates));

}  // namespace
}  // namespace qel
