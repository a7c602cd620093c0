// PLAIN (RFC 4616): no authorisation identity, the user, the password, all
// in the first message.
#include "qel32.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

void plainFirst(ChannelRecord* record) {
  putSaslByte(record, '\0');
  putSaslText(record, loginUser(record));
  putSaslByte(record, '\0');
  putSaslText(record, loginPassword(record));
}

}  // namespace

extern const SaslMechanism kPlainMechanism = {QEL_AUTH_PLAIN, "PLAIN", kReadableSecret, plainFirst, nullptr, nullptr};

}  // namespace qel
