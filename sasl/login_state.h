// The login of a channel: what the caller set for it (the negotiated
// login's switches and long credentials, the 64-character credentials of
// the original logins), what the server offered, and the running SASL
// exchange. The record holds only a pointer to it: the block is made at the
// first login setting or when a connection starts, serves the channel from
// then on, and is wiped and freed at release.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

struct SaslBuffers;

// Capacities (characters) of the login's texts.
constexpr int32_t kCredentialCap = 64;
constexpr int32_t kLoginUserCap = 255;
constexpr int32_t kLoginPasswordCap = 255;
constexpr int32_t kBearerTokenCap = 4096;
constexpr int32_t kLoginReasonCap = 200;
constexpr int32_t kOfferTextCap = 120;
// A SASL response before encoding: XOAUTH2's "user=...^Aauth=Bearer ...^A^A"
// with the longest user name and token is the largest.
constexpr int32_t kSaslTextCap = 4608;
// SCRAM's client-first-message-bare: the user name with every character
// escaped, and the nonce.
constexpr int32_t kScramFirstCap = 3 * kLoginUserCap + 64;
constexpr int32_t kScramKeyBytes = 32;

struct LoginState {
  // The credentials of SMTP AUTH LOGIN/CRAM-MD5 (settings USER and
  // PASSWORD) and of the POP3 login (given to qelPop3Connect).
  char userName[fieldSize(kCredentialCap)];
  char password[fieldSize(kCredentialCap)];
  char pop3Password[fieldSize(kCredentialCap)];

  // Negotiated login (settings 120): the switch, the allowed mechanisms
  // (QEL_AUTH_* bits, 0 for all), whether credentials may go in clear, the
  // long credentials, what the server offered, and the running SASL
  // exchange (sasl/sasl.h).
  uint8_t negotiateLogin;
  uint8_t loginClearText;
  uint32_t mechanismMask;
  char loginUser[fieldSize(kLoginUserCap)];
  char loginPassword[fieldSize(kLoginPasswordCap)];
  uint8_t loginSettingsUsedBySmtp;  // an SMTP login took them since they were set
  // The token setting, taken when one is set (null: none; sasl/sasl.h's
  // bearerToken reads it).
  char* bearerToken;
  uint32_t mechanismsOffered;
  char offerText[fieldSize(kOfferTextCap)];  // every name offered, known or not
  uint8_t offersUserPass;  // POP3: CAPA listed USER
  uint8_t tlsOffered;      // the offer named STARTTLS (EHLO) or STLS (CAPA)
  uint32_t saslMechanism;
  int32_t saslRound;
  uint8_t serverProven;
  // The messages of a running exchange (sasl/sasl.h), taken when an
  // exchange starts and given back when it ends; null between exchanges.
  SaslBuffers* saslBuffers;
  int32_t saslLength;
  char loginReason[fieldSize(kLoginReasonCap)];
};

// The login of a channel, made zeroed when there is none yet. Returns 0, or
// -55 (kErrNoMemory) when it cannot be made.
int32_t openLoginState(ChannelRecord* record);

// The login of a channel for reading: a block of defaults when none was
// made.
const LoginState& loginOf(const ChannelRecord* record);

}  // namespace qel
