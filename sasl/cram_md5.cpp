// CRAM-MD5 (RFC 2195): the user, a space, HMAC-MD5 of the challenge under
// the password in lower-case hex. The password never goes over the wire.
#include "codec/md5.h"
#include "frame/text.h"
#include "qel32.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

int32_t cramAnswer(ChannelRecord* record, int32_t round, const char* challenge, int32_t length) {
  if (round != 0) return 0;
  const char* password = loginPassword(record);
  uint8_t digest[kMd5DigestBytes];
  hmacMd5(challenge, static_cast<size_t>(length), password, static_cast<size_t>(textLength(password)), digest);
  char hex[kMd5HexChars + 1];
  hexDigest(digest, hex);
  putSaslText(record, loginUser(record));
  putSaslByte(record, ' ');
  putSaslText(record, hex);
  return 0;
}

}  // namespace

extern const SaslMechanism kCramMd5Mechanism = {QEL_AUTH_CRAM_MD5, "CRAM-MD5", 0, nullptr, cramAnswer, nullptr};

}  // namespace qel
