// The steps of the negotiated login that every protocol takes alike: AUTH
// with the chosen mechanism, the answer to each challenge, and the server's
// yes. A protocol reads each reply its own way and describes the rest in a
// SaslProtocol. Each step returns kStateContinue, or failState's result.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// What a protocol tells the exchange about itself.
struct SaslProtocol {
  // The command that starts the exchange: "AUTH <mechanism>".
  const char* command;
  // What a challenge begins with ("334 ", "+ "); the base64 text follows.
  const char* continuationPrefix;
  // Whether the initial response may go on the command line (SMTP, RFC
  // 4954); otherwise it follows the server's empty challenge.
  bool initialOnCommandLine;
  // The protocol's state that reads each reply of the exchange.
  int32_t replyState;
  // Whether the reply in replyText is the server's yes.
  bool (*accepted)(const ChannelRecord* record);
  // Whether the reply in replyText is a challenge; anything that is neither
  // fails the login with refusedCode.
  bool (*challenged)(const ChannelRecord* record);
  int32_t refusedCode;
};

// "<command> <mechanism>" for record->login->saslMechanism, with the initial
// response on the same line when the protocol allows it. Then the reply is
// read at the protocol's reply state, after the login pause.
int32_t sendSaslAuth(ChannelRecord* record, const SaslProtocol& protocol, uint32_t now);

// A reply of the exchange, read into replyText: a yes ends the login (a
// SCRAM server must have proved itself), a challenge is answered and the
// next reply awaited, anything else fails the login.
int32_t takeSaslReply(ChannelRecord* record, const SaslProtocol& protocol, uint32_t now);

}  // namespace qel
