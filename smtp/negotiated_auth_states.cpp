// The negotiated SMTP login (RFC 4954): the offer of the EHLO reply, AUTH
// with the mechanism chosen from the whole offer (170), then one state (171)
// that answers each 334 challenge until the server says yes or no.
#include <iterator>

#include "codec/text_search.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "sasl/sasl.h"
#include "sasl/steps.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

constexpr int32_t kChallengeCode = 334;
constexpr int32_t kAuthenticatedFirst = 200;
constexpr int32_t kAuthenticatedLast = 299;
constexpr char kAuthKeyword[] = "AUTH";
constexpr int32_t kAuthKeywordLength = 4;
constexpr int32_t kKeywordColumn = 4;  // after "250-" or "250 "

bool isSpace(char c) { return c == ' ' || c == '\t'; }

bool authenticated(const ChannelRecord* record) {
  return record->texts.replyCode >= kAuthenticatedFirst && record->texts.replyCode <= kAuthenticatedLast;
}
bool challenged(const ChannelRecord* record) { return record->texts.replyCode == kChallengeCode; }

// SMTP AUTH: the initial response may go on the command line (RFC 4954), a
// challenge is a 334 reply, 2xx is the yes, and anything else a refusal.
constexpr SaslProtocol kSmtpSasl = {"AUTH", "334 ", true, kStateSaslReply, authenticated, challenged, kErrSmtpError};

// 170: AUTH with the chosen mechanism, and its initial response when it has
// one.
int32_t sendAuth(ChannelRecord* record, uint32_t now) { return sendSaslAuth(record, kSmtpSasl, now); }

// 171: a challenge is answered; 2xx ends the login; anything else fails it.
int32_t readSaslReply(ChannelRecord* record, uint32_t now) {
  int32_t rc = awaitReply(record);
  if (rc != kReplyRead) return rc;
  return takeSaslReply(record, kSmtpSasl, now);
}

constexpr StateEntry kNegotiatedAuthStates[] = {
    {kStateSaslAuth, sendAuth},
    {kStateSaslReply, readSaslReply},
};
const StateRegistration registered(kNegotiatedAuthStates, std::size(kNegotiatedAuthStates));

}  // namespace

void takeSmtpAuthOffer(ChannelRecord* record, const char* ehloReply) {
  clearOffer(record);
  // Kept for the caller that failed to log in: over TLS the offer may be
  // larger.
  record->login->tlsOffered = ehloOffers(ehloReply, "STARTTLS") ? 1 : 0;
  for (const char* line = ehloReply; line != nullptr && *line != '\0';) {
    const char* end = findChar(line, '\n');
    int32_t length = end != nullptr ? static_cast<int32_t>(end - line) : textLength(line);
    const char* keyword = line + kKeywordColumn;
    // "AUTH mechanisms" (RFC 4954) and the older "AUTH=mechanisms".
    if (length > kKeywordColumn + kAuthKeywordLength && equalsNoCase(keyword, kAuthKeyword, kAuthKeywordLength)) {
      char after = keyword[kAuthKeywordLength];
      if (isSpace(after) || after == '=') {
        int32_t start = kKeywordColumn + kAuthKeywordLength + 1;
        addOfferedMechanisms(record, line + start, length - start);
      }
    }
    line = end != nullptr ? end + 1 : nullptr;
  }
}

int32_t negotiatedAuthState(ChannelRecord* record, int32_t* failure) {
  *failure = 0;
  takeSmtpAuthOffer(record, record->texts.replyText);
  if (!wantsLogin(record)) return 0;
  // A later qelPop3Connect of another user must not log in with them.
  record->login->loginSettingsUsedBySmtp = 1;
  record->login->saslMechanism = chooseMechanism(record);
  if (record->login->saslMechanism != 0) return kStateSaslAuth;
  *failure = failState(record, 0, kErrNoCommonMechanism);
  return 0;
}

}  // namespace qel
