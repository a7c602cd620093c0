// The SCRAM digests on Windows CNG (bcrypt.dll, part of every Windows since
// Vista): the DLL needs nothing beside the system's own libraries.
#include "platform/win32/windows_api.h"

#include <bcrypt.h>

#include "platform/digest.h"

namespace qel::plat {
namespace {

// CNG counts in ULONG: longer inputs are refused rather than cut.
bool fitsUlong(size_t length) { return length <= static_cast<size_t>(0xFFFFFFFFu); }

PUCHAR bytesOf(const void* data) {
  static UCHAR empty = 0;
  return data != nullptr ? static_cast<PUCHAR>(const_cast<void*>(data)) : &empty;
}

bool succeeded(NTSTATUS status) { return status >= 0; }

// SHA-256, keyed (HMAC) when key is not null.
bool digest(const void* key, size_t keyLength, const void* data, size_t length, uint8_t out[kSha256Bytes]) {
  if (!fitsUlong(keyLength) || !fitsUlong(length)) return false;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ULONG flags = key != nullptr ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0;
  if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, flags))) return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, key != nullptr ? bytesOf(key) : nullptr,
                                       static_cast<ULONG>(keyLength), 0));
  if (ok && length > 0) ok = succeeded(BCryptHashData(hash, bytesOf(data), static_cast<ULONG>(length), 0));
  if (ok) ok = succeeded(BCryptFinishHash(hash, out, kSha256Bytes, 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

}  // namespace

bool sha256(const void* data, size_t length, uint8_t out[kSha256Bytes]) {
  return digest(nullptr, 0, data, length, out);
}

bool hmacSha256(const void* key, size_t keyLength, const void* data, size_t length, uint8_t out[kSha256Bytes]) {
  // An empty key is still a key: CNG takes a pointer to zero bytes.
  return digest(bytesOf(key), keyLength, data, length, out);
}

bool pbkdf2Sha256(const void* password, size_t passwordLength, const void* salt, size_t saltLength,
                  uint32_t iterations, uint8_t* out, size_t outLength) {
  if (iterations == 0 || !fitsUlong(passwordLength) || !fitsUlong(saltLength) || !fitsUlong(outLength)) {
    return false;
  }
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                             BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return false;
  }
  bool ok = succeeded(BCryptDeriveKeyPBKDF2(algorithm, bytesOf(password), static_cast<ULONG>(passwordLength),
                                            bytesOf(salt), static_cast<ULONG>(saltLength), iterations, out,
                                            static_cast<ULONG>(outLength), 0));
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

bool secureRandom(uint8_t* out, size_t count) {
  if (!fitsUlong(count)) return false;
  return succeeded(BCryptGenRandom(nullptr, out, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace qel::plat
