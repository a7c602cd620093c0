// LOGIN: the user and then the password, each the answer to a prompt.
#include "qel32.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

constexpr int32_t kPasswordRound = 1;

int32_t loginAnswer(ChannelRecord* record, int32_t round, const char*, int32_t) {
  if (round < kPasswordRound) {
    putSaslText(record, loginUser(record));
  } else if (round == kPasswordRound) {
    putSaslText(record, loginPassword(record));
  }
  return 0;
}

}  // namespace

extern const SaslMechanism kLoginMechanism = {QEL_AUTH_LOGIN, "LOGIN", kReadableSecret, nullptr, loginAnswer, nullptr};

}  // namespace qel
