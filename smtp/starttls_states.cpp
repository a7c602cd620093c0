// SMTP STARTTLS (RFC 3207): after the EHLO reply, STARTTLS (211), its
// go-ahead (212), the handshake (107), then a fresh EHLO (202): what the
// server said before TLS is forgotten, the AUTH offer included.
#include <iterator>

#include "codec/text_search.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "smtp/smtp_states.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "transport/tls_channel.h"
#include "driver/connection_use.h"
#include "transport/stream.h"

namespace qel {
namespace {

constexpr char kStartTlsKeyword[] = "STARTTLS";
constexpr int32_t kKeywordColumn = 4;  // after "250-" or "250 "
constexpr int32_t kGoAhead = 220;

// 211: STARTTLS.
int32_t sendStartTls(ChannelRecord* record, uint32_t now) {
  return sentThen(record, sendFormatted(record, "STARTTLS"), kStateStartTlsReply, replyWait, now);
}

// 212: the go-ahead starts the handshake; a refusal leaves the connection
// in clear, which only the optional mode accepts (with a fresh EHLO, since
// the reply text of the first one is gone).
int32_t readStartTlsReply(ChannelRecord* record, uint32_t now) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readSmtpReply(record);
  if (rc < 0 && rc != kErrSmtpError) return failState(record, 0, rc);
  if (record->texts.replyCode != kGoAhead) return tlsRefusedByReply(record, kStateHello);
  return startTlsHandshake(record, now, kStateHello, settings.replyTimeout);
}

constexpr StateEntry kStartTlsStates[] = {
    {kStateStartTls, sendStartTls},
    {kStateStartTlsReply, readStartTlsReply},
};
const StateRegistration registered(kStartTlsStates, std::size(kStartTlsStates));

}  // namespace

bool ehloOffers(const char* reply, const char* keyword) {
  int32_t keywordLength = textLength(keyword);
  for (const char* line = reply; line != nullptr && *line != '\0';) {
    const char* end = findChar(line, '\n');
    int32_t length = end != nullptr ? static_cast<int32_t>(end - line) : textLength(line);
    if (length >= kKeywordColumn + keywordLength && equalsNoCase(line + kKeywordColumn, keyword, keywordLength)) {
      char after = line[kKeywordColumn + keywordLength];
      if (after == '\r' || after == '\n' || after == ' ' || after == '\0') return true;
    }
    line = end != nullptr ? end + 1 : nullptr;
  }
  return false;
}

bool startTlsNeedsEhlo(const ChannelRecord* record) {
  return usesStartTls(record->tls) && !tlsWasDeclined(record->connection);
}

bool startTlsTakesOver(ChannelRecord* record, int32_t* result) {
  if (!usesStartTls(record->tls) || streamEncrypted(record->connection) || tlsWasDeclined(record->connection)) {
    return false;
  }
  if (ehloOffers(record->texts.replyText, kStartTlsKeyword)) {
    record->step.nextState = kStateStartTls;
    *result = kStateContinue;
    return true;
  }
  // Not offered: in the optional mode the EHLO reply just read still holds
  // the AUTH offer, so the caller goes on with it.
  int32_t rc = continueWithoutTls(record, "STARTTLS not in the EHLO reply", 0);
  if (rc == kStateContinue) return false;
  *result = rc;
  return true;
}

}  // namespace qel
