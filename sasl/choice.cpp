// The negotiated login's choice: what the server offers, what the caller
// allows, and what the connection allows to go in a form that can be read
// back.
#include <cstring>

#include "frame/text.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"
#include "transport/stream.h"

namespace qel {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t'; }
bool endsLine(char c) { return c == '\0' || c == '\r' || c == '\n'; }

// Whether a login setting that an SMTP login has used stands in for a
// credential given to qelPop3Connect: the call left it empty, or gave the
// setting itself, which the call's field holds only up to kCredentialCap
// characters. Any other name or password given to the call is the one to
// log in with.
bool settingStandsFor(const char* setting, const char* given) {
  int32_t givenLength = textLength(given);
  if (givenLength == 0) return true;
  int32_t settingLength = textLength(setting);
  bool cut = givenLength == kCredentialCap && settingLength > givenLength;
  if (settingLength != givenLength && !cut) return false;
  return std::memcmp(setting, given, static_cast<size_t>(givenLength)) == 0;
}

// Login settings set for an SMTP login, now on a POP3 channel; settings
// set again since then are meant for the POP3 login.
bool leftFromSmtp(const ChannelRecord* record) {
  return record->protocol == kProtocolPop3 && record->login->loginSettingsUsedBySmtp != 0;
}

}  // namespace

void clearOffer(ChannelRecord* record) {
  record->login->mechanismsOffered = 0;
  record->login->offerText[0] = '\0';
  record->login->tlsOffered = 0;
}

void addOfferedMechanisms(ChannelRecord* record, const char* names, int32_t length) {
  int32_t i = 0;
  while (i < length && !endsLine(names[i])) {
    while (i < length && isSpace(names[i])) ++i;
    int32_t start = i;
    while (i < length && !isSpace(names[i]) && !endsLine(names[i])) ++i;
    if (i == start) continue;
    record->login->mechanismsOffered |= mechanismNamed(names + start, i - start);
    if (record->login->offerText[0] != '\0') appendText(record->login->offerText, " ", 1, kOfferTextCap);
    appendText(record->login->offerText, names + start, i - start, kOfferTextCap);
  }
}

const char* loginUser(const ChannelRecord* record) {
  const char* given = record->login->userName;
  if (leftFromSmtp(record) && !settingStandsFor(record->login->loginUser, given)) return given;
  return record->login->loginUser[0] != '\0' ? record->login->loginUser : given;
}

const char* loginPassword(const ChannelRecord* record) {
  const char* given = record->protocol == kProtocolPop3 ? record->login->pop3Password : record->login->password;
  if (leftFromSmtp(record) && !settingStandsFor(record->login->loginPassword, given)) return given;
  return record->login->loginPassword[0] != '\0' ? record->login->loginPassword : given;
}

bool wantsLogin(const ChannelRecord* record) { return loginUser(record)[0] != '\0' || bearerToken(record)[0] != '\0'; }

bool clearCredentialsAllowed(const ChannelRecord* record) {
  return streamEncrypted(record->connection) || record->login->loginClearText != 0;
}

uint32_t chooseMechanism(ChannelRecord* record) {
  uint32_t usable = record->login->mechanismsOffered;
  if (record->login->mechanismMask != 0) usable &= record->login->mechanismMask;
  // The token mechanisms only with a token; the others only without one,
  // since a caller that sets a token means it to be used.
  uint32_t tokenMechanisms = mechanismsWith(kUsesToken);
  if (bearerToken(record)[0] == '\0') {
    usable &= ~tokenMechanisms;
  } else {
    usable &= tokenMechanisms;
  }
  uint32_t allowed = clearCredentialsAllowed(record) ? usable : usable & ~mechanismsWith(kReadableSecret);
  uint32_t chosen = strongestMechanism(allowed);
  if (chosen != 0) return chosen;
  const char* why = record->login->mechanismsOffered == 0 ? "none this client speaks"
                    : usable != allowed            ? "PLAIN, LOGIN and tokens only over TLS"
                    : bearerToken(record)[0] != '\0' ? "a token needs OAUTHBEARER or XOAUTH2"
                                                     : "none of them allowed";
  noteNoMechanism(record, why);
  return 0;
}

void noteNoMechanism(ChannelRecord* record, const char* why) {
  char* reason = record->login->loginReason;
  copyText(reason, "(offered: ", kLoginReasonCap);
  const char* offer = record->login->offerText[0] != '\0' ? record->login->offerText : "no mechanism";
  appendText(reason, offer, kLoginReasonCap, kLoginReasonCap);
  appendText(reason, "; ", 2, kLoginReasonCap);
  appendText(reason, why, kLoginReasonCap, kLoginReasonCap);
  appendText(reason, ")", 1, kLoginReasonCap);
}

}  // namespace qel
