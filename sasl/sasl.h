// SASL for the negotiated login, shared by every protocol that logs in with
// it (SMTP AUTH, RFC 4954; POP3 AUTH, RFC 5034): the mechanisms a server
// offers, the credentials, the choice among the mechanisms, and the
// exchange of messages. The mechanisms themselves (SCRAM-SHA-256, CRAM-MD5,
// PLAIN, LOGIN, OAUTHBEARER, XOAUTH2) are in files of their own behind
// mechanism.h; the protocols only carry the base64 lines (steps.h).
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "sasl/login_state.h"

namespace qel {

// The messages of one exchange: the response being built (saslLength
// bytes), and SCRAM's first message and the server signature it expects.
struct SaslBuffers {
  char text[fieldSize(kSaslTextCap)];
  char scramFirstBare[fieldSize(kScramFirstCap)];
  uint8_t scramServerSignature[kScramKeyBytes];
};

// Takes the exchange's buffers when the channel has none: 0, or -55 when
// the memory cannot be had. They are given back (wiped) when the login
// ends, fails, or the channel closes or is released.
int32_t takeSaslBuffers(ChannelRecord* record);
void dropSaslBuffers(ChannelRecord* record);

// The token setting, "" when none is set.
const char* bearerToken(const ChannelRecord* record);
// Stores the token setting (QEL_STRING_BEARER_TOKEN; "" forgets it): the
// characters stored, or -55. The login block must have been made.
int32_t storeBearerToken(ChannelRecord* record, const char* text);
// Wipes and gives back the token.
void dropBearerToken(ChannelRecord* record);

// The name of one mechanism's QEL_AUTH_* bit ("SCRAM-SHA-256"), "" for
// none.
const char* mechanismName(uint32_t mechanism);

// Forgets what a server offered.
void clearOffer(ChannelRecord* record);

// Adds the mechanisms of a list of names separated by spaces (length
// characters, up to a line end) to mechanismsOffered (case-blind; names
// this library does not speak only to offerText).
void addOfferedMechanisms(ChannelRecord* record, const char* names, int32_t length);

// The credentials of the negotiated login: the long settings when set,
// else the channel's 64-character ones (the POP3 password on a POP3
// channel). On a POP3 channel a user or password given to qelPop3Connect
// wins over a setting that an SMTP login has used and that was not set
// again since, unless the call's is empty or the setting itself.
const char* loginUser(const ChannelRecord* record);
const char* loginPassword(const ChannelRecord* record);

// Whether there is anything to log in with: a user name, or a token.
bool wantsLogin(const ChannelRecord* record);

// Whether a credential may go over this connection in a form that can be
// read back: over TLS, or when the caller allowed clear text.
bool clearCredentialsAllowed(const ChannelRecord* record);

// The mechanism to use among record->login->mechanismsOffered: the strongest one
// the mask and the connection allow, 0 for none. With none, loginReason
// says what was offered and why nothing fits.
uint32_t chooseMechanism(ChannelRecord* record);

// Sets loginReason to "(offered: <names>; <why>)".
void noteNoMechanism(ChannelRecord* record, const char* why);

// Starts the exchange of record->login->saslMechanism. True when the mechanism
// has an initial response, which is then in the buffers' text (saslLength
// bytes). The buffers must have been taken.
bool saslStart(ChannelRecord* record);

// Answers a challenge of length decoded bytes: the response goes into
// the buffers' text. 0, or -121 when a SCRAM server message is wrong (loginReason
// says how).
int32_t saslAnswer(ChannelRecord* record, const char* challenge, int32_t length);

// The server has said yes: 0, or -121 when it did so without proving that
// it knows the password (SCRAM).
int32_t saslFinished(ChannelRecord* record);

// Sends command (may be "") and, when withMessage, the buffers' text base64-encoded
// behind it, as one line ending in CR LF; the log shows "[response hidden]"
// in place of the message. The bytes sent, or a negated socket error
// (-10060 when the socket stopped taking data).
int32_t sendSaslLine(ChannelRecord* record, const char* command, bool withMessage);

// A fixed client nonce for the SCRAM tests (null: a fresh random one).
extern const char* scramTestNonce;

}  // namespace qel
