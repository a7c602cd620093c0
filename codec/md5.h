// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104): the digests of AUTH CRAM-MD5 and
// of the POP3 APOP login.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

constexpr int32_t kMd5DigestBytes = 16;
constexpr int32_t kMd5HexChars = 2 * kMd5DigestBytes;  // hexDigest's text, NUL not counted

// Writes the 16-byte MD5 digest of length bytes of data into out. A null
// data pointer counts as an empty message; nothing is written for a null out.
void md5Digest(const void* data, size_t length, uint8_t out[16]);

// Writes the 16-byte HMAC-MD5 of text under key into out; a key longer than
// 64 bytes is first replaced by its MD5 digest. Null text or key pointers
// count as empty; nothing is written for a null out.
void hmacMd5(const void* text, size_t textLength, const void* key, size_t keyLength, uint8_t out[16]);

// Writes the digest as 32 lower-case hexadecimal digits, high half of each
// byte first, and a NUL: out needs 33 bytes. Nothing written for a null
// pointer.
void hexDigest(const uint8_t digest[16], char out[33]);

}  // namespace qel
