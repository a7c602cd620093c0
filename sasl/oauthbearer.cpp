// OAUTHBEARER (RFC 7628): the GS2 header with the user, then host, port and
// token, each behind ^A, and ^A ^A at the end, in the first message.
#include "frame/log.h"
#include "platform/platform.h"
#include "qel32.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"
#include "transport/connection_state.h"

namespace qel {
namespace {

constexpr char kSeparator = '\x01';
constexpr int32_t kPortTextRoom = 16;

void oauthBearerFirst(ChannelRecord* record) {
  putSaslText(record, "n,a=");
  for (const char* c = loginUser(record); *c != '\0'; ++c) {
    if (*c == ',') {
      putSaslText(record, "=2C");
    } else if (*c == '=') {
      putSaslText(record, "=3D");
    } else {
      putSaslByte(record, *c);
    }
  }
  putSaslByte(record, ',');
  putSaslByte(record, kSeparator);
  putSaslText(record, "host=");
  putSaslText(record, record->serverName);
  putSaslByte(record, kSeparator);
  char port[kPortTextRoom];
  uint16_t remotePort = record->connection != nullptr ? record->connection->remotePort : 0;
  plat::formatText(port, kPortTextRoom, "port=%u", static_cast<unsigned>(remotePort));
  putSaslText(record, port);
  putSaslByte(record, kSeparator);
  putSaslText(record, "auth=Bearer ");
  putSaslText(record, bearerToken(record));
  putSaslByte(record, kSeparator);
  putSaslByte(record, kSeparator);
}

// A challenge is the server's error (a JSON text); the answer ^A lets it
// end the exchange with its refusal.
int32_t oauthBearerAnswer(ChannelRecord* record, int32_t, const char* challenge, int32_t length) {
  logFormat(record, "OAUTHBEARER refused: %.*s\r\n", length, challenge);
  putSaslByte(record, kSeparator);
  return 0;
}

}  // namespace

extern const SaslMechanism kOauthBearerMechanism = {QEL_AUTH_OAUTHBEARER, "OAUTHBEARER", kReadableSecret | kUsesToken,
                                                    oauthBearerFirst, oauthBearerAnswer, nullptr};

}  // namespace qel
