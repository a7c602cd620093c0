// SCRAM-SHA-256 (RFC 5802, RFC 7677) as a client without channel binding:
// the client-first-message, the proof for the server-first-message, and
// the check of the server's signature, which proves that the server knows
// the password as well.
#include <cstring>

#include "codec/base64.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "platform/digest.h"
#include "qel32.h"
#include "sasl/mechanism.h"
#include "sasl/sasl.h"

namespace qel {

const char* scramTestNonce = nullptr;

namespace {

constexpr int32_t kNonceBytes = 24;
constexpr char kGs2Header[] = "n,,";
// base64 of the GS2 header "n,,": the channel binding attribute.
constexpr char kChannelBinding[] = "c=biws";
// A server may ask for more rounds; beyond this the login would stall the
// caller for many seconds, so it is refused.
constexpr int32_t kMaxIterations = 1000000;
constexpr int32_t kAuthMessageRoom = 4096;
constexpr int32_t kSaltRoom = 256;
constexpr int32_t kEncodedKeyRoom = 48;  // base64 of 32 bytes, CR LF

// The value of attribute `name` ("r", "s", ...) in a comma-separated
// message: its start and length, or null.
const char* attribute(const char* message, int32_t length, char name, int32_t* valueLength) {
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    while (i < length && message[i] != ',') ++i;
    if (i - start >= 2 && message[start] == name && message[start + 1] == '=') {
      *valueLength = i - start - 2;
      return message + start + 2;
    }
    ++i;
  }
  return nullptr;
}

int32_t fail(ChannelRecord* record, const char* why) {
  copyText(record->login->loginReason, why, kLoginReasonCap);
  return kErrServerNotProven;
}

// The user name as a saslname: "," and "=" escaped (RFC 5802, 5.1).
void appendSaslName(char* out, const char* user, int32_t capacity) {
  for (const char* c = user; *c != '\0'; ++c) {
    if (*c == ',') {
      appendText(out, "=2C", 3, capacity);
    } else if (*c == '=') {
      appendText(out, "=3D", 3, capacity);
    } else {
      appendText(out, c, 1, capacity);
    }
  }
}

// Encodes count bytes into out (NUL-terminated); returns the length.
int32_t encode(const uint8_t* bytes, int32_t count, char* out) {
  int32_t length = base64EncodeLine(bytes, out, count);
  out[length] = '\0';
  return length;
}

bool hmac(const uint8_t* key, const void* text, size_t length, uint8_t out[kScramKeyBytes]) {
  return plat::hmacSha256(key, kScramKeyBytes, text, length, out);
}

// Compares without stopping at the first difference.
bool sameBytes(const uint8_t* a, const uint8_t* b, int32_t count) {
  uint8_t difference = 0;
  for (int32_t i = 0; i < count; ++i) difference |= static_cast<uint8_t>(a[i] ^ b[i]);
  return difference == 0;
}

void scramClientFirst(ChannelRecord* record) {
  char nonce[2 * kNonceBytes + 4];
  if (scramTestNonce != nullptr) {
    copyText(nonce, scramTestNonce, 2 * kNonceBytes);
  } else {
    uint8_t random[kNonceBytes];
    if (!plat::secureRandom(random, kNonceBytes)) plat::randomBytes(random, kNonceBytes);
    encode(random, kNonceBytes, nonce);
  }
  char* bare = record->login->saslBuffers->scramFirstBare;
  copyText(bare, "n=", kScramFirstCap);
  appendSaslName(bare, loginUser(record), kScramFirstCap);
  appendText(bare, ",r=", 3, kScramFirstCap);
  appendText(bare, nonce, kScramFirstCap, kScramFirstCap);
  copyText(record->login->saslBuffers->text, kGs2Header, kSaslTextCap);
  record->login->saslLength = appendText(record->login->saslBuffers->text, bare, kSaslTextCap, kSaslTextCap);
}

int32_t scramClientFinal(ChannelRecord* record, const char* serverFirst, int32_t length) {
  if (length > 0 && serverFirst[0] == 'm') return fail(record, "(the server asks for an extension)");
  int32_t nonceLength = 0;
  int32_t saltLength = 0;
  int32_t roundsLength = 0;
  const char* nonce = attribute(serverFirst, length, 'r', &nonceLength);
  const char* salt = attribute(serverFirst, length, 's', &saltLength);
  const char* rounds = attribute(serverFirst, length, 'i', &roundsLength);
  if (nonce == nullptr || salt == nullptr || rounds == nullptr || nonce != serverFirst + 2) {
    return fail(record, "(the server-first-message is malformed)");
  }
  // Our nonce is the part of the bare message behind ",r=".
  const char* ours = std::strstr(record->login->saslBuffers->scramFirstBare, ",r=") + 3;
  int32_t oursLength = textLength(ours);
  if (nonceLength <= oursLength || std::strncmp(nonce, ours, static_cast<size_t>(oursLength)) != 0) {
    return fail(record, "(the server nonce does not extend ours)");
  }
  int32_t iterations = 0;
  for (int32_t i = 0; i < roundsLength; ++i) {
    char c = rounds[i];
    if (c < '0' || c > '9' || iterations > kMaxIterations) return fail(record, "(bad iteration count)");
    iterations = iterations * 10 + (c - '0');
  }
  if (iterations < 1 || iterations > kMaxIterations) return fail(record, "(bad iteration count)");
  if (saltLength < 4 || saltLength > kSaltRoom) return fail(record, "(bad salt)");
  char saltBytes[kSaltRoom + 8];
  int32_t saltCount = base64DecodeRun(salt, saltBytes, saltLength);

  char authMessage[kAuthMessageRoom];
  char* final = record->login->saslBuffers->text;
  copyText(final, kChannelBinding, kSaslTextCap);
  appendText(final, ",r=", 3, kSaslTextCap);
  appendText(final, nonce, nonceLength, kSaslTextCap);
  int32_t bareLength = textLength(record->login->saslBuffers->scramFirstBare);
  int32_t finalLength = textLength(final);
  if (bareLength + length + finalLength + 2 >= kAuthMessageRoom) return fail(record, "(the server-first-message is too long)");
  copyText(authMessage, record->login->saslBuffers->scramFirstBare, bareLength);
  appendText(authMessage, ",", 1, kAuthMessageRoom);
  appendText(authMessage, serverFirst, length, kAuthMessageRoom);
  appendText(authMessage, ",", 1, kAuthMessageRoom);
  int32_t authLength = appendText(authMessage, final, finalLength, kAuthMessageRoom);

  const char* password = loginPassword(record);
  uint8_t salted[kScramKeyBytes];
  uint8_t clientKey[kScramKeyBytes];
  uint8_t storedKey[kScramKeyBytes];
  uint8_t clientSignature[kScramKeyBytes];
  uint8_t serverKey[kScramKeyBytes];
  bool ok = plat::pbkdf2Sha256(password, static_cast<size_t>(textLength(password)), saltBytes,
                               static_cast<size_t>(saltCount), static_cast<uint32_t>(iterations), salted,
                               kScramKeyBytes) &&
            hmac(salted, "Client Key", 10, clientKey) && plat::sha256(clientKey, kScramKeyBytes, storedKey) &&
            hmac(storedKey, authMessage, static_cast<size_t>(authLength), clientSignature) &&
            hmac(salted, "Server Key", 10, serverKey) &&
            hmac(serverKey, authMessage, static_cast<size_t>(authLength), record->login->saslBuffers->scramServerSignature);
  std::memset(salted, 0, sizeof salted);
  if (!ok) return fail(record, "(the digests are not available)");
  uint8_t proof[kScramKeyBytes];
  for (int32_t i = 0; i < kScramKeyBytes; ++i) proof[i] = static_cast<uint8_t>(clientKey[i] ^ clientSignature[i]);
  char encoded[kEncodedKeyRoom];
  encode(proof, kScramKeyBytes, encoded);
  appendText(final, ",p=", 3, kSaslTextCap);
  record->login->saslLength = appendText(final, encoded, kSaslTextCap, kSaslTextCap);
  return 0;
}

int32_t scramCheckServerFinal(ChannelRecord* record, const char* serverFinal, int32_t length) {
  int32_t signatureLength = 0;
  const char* signature = attribute(serverFinal, length, 'v', &signatureLength);
  if (signature == nullptr || signature != serverFinal + 2) {
    return fail(record, length > 2 && serverFinal[0] == 'e' ? "(the server reports an error)"
                                                             : "(the server-final-message is malformed)");
  }
  char decoded[kEncodedKeyRoom + 8];
  if (signatureLength > kEncodedKeyRoom) return fail(record, "(the server signature is wrong)");
  int32_t count = base64DecodeRun(signature, decoded, signatureLength);
  if (count != kScramKeyBytes ||
      !sameBytes(reinterpret_cast<const uint8_t*>(decoded), record->login->saslBuffers->scramServerSignature, kScramKeyBytes)) {
    return fail(record, "(the server signature is wrong)");
  }
  record->login->serverProven = 1;
  return 0;
}

// The server-first-message is answered with the proof, the
// server-final-message is checked.
int32_t scramAnswer(ChannelRecord* record, int32_t round, const char* challenge, int32_t length) {
  if (round == 1) return scramClientFinal(record, challenge, length);
  return scramCheckServerFinal(record, challenge, length);
}

// A yes without the server's signature proves nothing.
int32_t scramAccepted(ChannelRecord* record) {
  if (record->login->serverProven != 0) return 0;
  return fail(record, "(the server accepted without its signature)");
}

}  // namespace

extern const SaslMechanism kScramSha256Mechanism = {QEL_AUTH_SCRAM_SHA_256, "SCRAM-SHA-256", 0, scramClientFirst,
                                                    scramAnswer, scramAccepted};

}  // namespace qel
