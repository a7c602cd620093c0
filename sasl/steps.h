// The steps of the negotiated login that SMTP AUTH (RFC 4954) and POP3 AUTH
// (RFC 5034) take alike: AUTH with the chosen mechanism, the answer to each
// challenge, and the server's yes. The protocols only read the replies.
// Each returns kStateContinue, or failState's result.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// "AUTH <mechanism>" for record->saslMechanism. With initialOnLine the
// initial response, when the mechanism has one, goes on the same line;
// otherwise it follows the server's empty challenge. Then the reply is read
// at replyState, after the login pause.
int32_t sendSaslAuth(ChannelRecord* record, bool initialOnLine, int32_t replyState, uint32_t now);

// A challenge: the base64 text of the first line of replyText behind its
// prefixLength characters ("334 ", "+ ") is answered; the answer goes out
// and the reply is read at replyState again.
int32_t answerSaslChallenge(ChannelRecord* record, int32_t prefixLength, int32_t replyState, uint32_t now);

// The server said yes: a SCRAM server must have proved itself; the
// sequence ends.
int32_t finishSaslLogin(ChannelRecord* record);

}  // namespace qel
