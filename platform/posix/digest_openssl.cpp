// The SCRAM digests on OpenSSL's libcrypto (linked for TLS already).
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>

#include "platform/digest.h"

namespace qel::plat {
namespace {

// libcrypto counts in int: longer inputs are refused rather than cut.
bool fitsInt(size_t length) { return length <= static_cast<size_t>(INT_MAX); }

const unsigned char* bytesOf(const void* data) {
  static const unsigned char kEmpty = 0;
  return data != nullptr ? static_cast<const unsigned char*>(data) : &kEmpty;
}

}  // namespace

bool sha256(const void* data, size_t length, uint8_t out[kSha256Bytes]) {
  unsigned int written = 0;
  return EVP_Digest(bytesOf(data), length, out, &written, EVP_sha256(), nullptr) == 1 &&
         written == static_cast<unsigned int>(kSha256Bytes);
}

bool hmacSha256(const void* key, size_t keyLength, const void* data, size_t length, uint8_t out[kSha256Bytes]) {
  if (!fitsInt(keyLength)) return false;
  unsigned int written = 0;
  return HMAC(EVP_sha256(), bytesOf(key), static_cast<int>(keyLength), bytesOf(data), length, out, &written) !=
             nullptr &&
         written == static_cast<unsigned int>(kSha256Bytes);
}

bool pbkdf2Sha256(const void* password, size_t passwordLength, const void* salt, size_t saltLength,
                  uint32_t iterations, uint8_t* out, size_t outLength) {
  if (iterations == 0 || iterations > static_cast<uint32_t>(INT_MAX) || !fitsInt(passwordLength) ||
      !fitsInt(saltLength) || !fitsInt(outLength)) {
    return false;
  }
  return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(bytesOf(password)), static_cast<int>(passwordLength),
                           bytesOf(salt), static_cast<int>(saltLength), static_cast<int>(iterations), EVP_sha256(),
                           static_cast<int>(outLength), out) == 1;
}

bool secureRandom(uint8_t* out, size_t count) {
  return fitsInt(count) && RAND_bytes(out, static_cast<int>(count)) == 1;
}

}  // namespace qel::plat
