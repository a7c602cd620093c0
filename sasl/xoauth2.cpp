// XOAUTH2: "user=" name ^A "auth=Bearer " token ^A ^A in the first message.
#include "frame/log.h"
#include "qel32.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

constexpr char kSeparator = '\x01';

void xoauth2First(ChannelRecord* record) {
  putSaslText(record, "user=");
  putSaslText(record, loginUser(record));
  putSaslByte(record, kSeparator);
  putSaslText(record, "auth=Bearer ");
  putSaslText(record, bearerToken(record));
  putSaslByte(record, kSeparator);
  putSaslByte(record, kSeparator);
}

// A challenge is the server's error (a JSON text); the empty answer lets it
// end the exchange with its refusal.
int32_t xoauth2Answer(ChannelRecord* record, int32_t, const char* challenge, int32_t length) {
  logFormat(record, "XOAUTH2 refused: %.*s\r\n", length, challenge);
  return 0;
}

}  // namespace

extern const SaslMechanism kXoauth2Mechanism = {QEL_AUTH_XOAUTH2, "XOAUTH2", kReadableSecret | kUsesToken,
                                                xoauth2First, xoauth2Answer, nullptr};

}  // namespace qel
