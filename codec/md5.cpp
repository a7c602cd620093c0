#include "codec/md5.h"

#include <cstring>

namespace qel {
namespace {

constexpr size_t kBlockBytes = 64;
constexpr size_t kLengthFieldBytes = 8;  // message length in bits, little-endian
constexpr uint8_t kInnerPad = 0x36;
constexpr uint8_t kOuterPad = 0x5C;

// Per-step left rotations, four per round (RFC 1321, section 3.4).
constexpr uint32_t kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// The additive constants T[i] = floor(2^32 * abs(sin(i + 1))).
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// Running state of one digest, fed in pieces so that HMAC can hash the pad
// block and the text without joining them in memory.
struct Md5Context {
  uint32_t state[4];
  uint64_t totalBytes;
  uint8_t block[kBlockBytes];
  size_t blockFill;
};

uint32_t rotateLeft(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

uint32_t loadLittleEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void transform(uint32_t state[4], const uint8_t* block) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = loadLittleEndian(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    int round = i / 16;
    uint32_t f;
    int word;
    switch (round) {
      case 0: f = (b & c) | (~b & d); word = i; break;
      case 1: f = (d & b) | (~d & c); word = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d; word = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d); word = (7 * i) % 16; break;
    }
    uint32_t rotated = rotateLeft(a + f + kSine[i] + m[word], kShifts[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = b + rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void md5Start(Md5Context& context) {
  std::memcpy(context.state, kInitialState, sizeof context.state);
  context.totalBytes = 0;
  context.blockFill = 0;
}

void md5Add(Md5Context& context, const uint8_t* data, size_t length) {
  if (data == nullptr) return;
  context.totalBytes += length;
  while (length > 0) {
    size_t take = kBlockBytes - context.blockFill;
    if (take > length) take = length;
    std::memcpy(context.block + context.blockFill, data, take);
    context.blockFill += take;
    data += take;
    length -= take;
    if (context.blockFill == kBlockBytes) {
      transform(context.state, context.block);
      context.blockFill = 0;
    }
  }
}

void md5Finish(Md5Context& context, uint8_t out[16]) {
  uint64_t bits = context.totalBytes * 8;
  // Padding: one 1 bit, zeros up to 56 bytes into a block, then the length.
  static const uint8_t kPadding[kBlockBytes] = {0x80};
  size_t fill = context.blockFill;
  size_t padBytes = fill < kBlockBytes - kLengthFieldBytes ? kBlockBytes - kLengthFieldBytes - fill
                                                           : 2 * kBlockBytes - kLengthFieldBytes - fill;
  uint8_t lengthField[kLengthFieldBytes];
  for (size_t i = 0; i < kLengthFieldBytes; ++i) lengthField[i] = static_cast<uint8_t>(bits >> (8 * i));
  uint64_t total = context.totalBytes;
  md5Add(context, kPadding, padBytes);
  md5Add(context, lengthField, kLengthFieldBytes);
  context.totalBytes = total;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(context.state[i] >> (8 * j));
  }
}

}  // namespace

void md5Digest(const void* data, size_t length, uint8_t out[16]) {
  if (out == nullptr) return;
  Md5Context context;
  md5Start(context);
  md5Add(context, static_cast<const uint8_t*>(data), length);
  md5Finish(context, out);
}

void hmacMd5(const void* text, size_t textLength, const void* key, size_t keyLength, uint8_t out[16]) {
  if (out == nullptr) return;
  // The key, zero-filled to one block; a key longer than a block is first
  // replaced by its digest (RFC 2104, section 2).
  uint8_t keyBlock[kBlockBytes] = {};
  if (key != nullptr && keyLength > kBlockBytes) {
    md5Digest(key, keyLength, keyBlock);
  } else if (key != nullptr && keyLength > 0) {
    std::memcpy(keyBlock, key, keyLength);
  }
  uint8_t pad[kBlockBytes];
  for (size_t i = 0; i < kBlockBytes; ++i) pad[i] = static_cast<uint8_t>(keyBlock[i] ^ kInnerPad);
  uint8_t inner[kMd5DigestBytes];
  Md5Context context;
  md5Start(context);
  md5Add(context, pad, kBlockBytes);
  md5Add(context, static_cast<const uint8_t*>(text), textLength);
  md5Finish(context, inner);

  for (size_t i = 0; i < kBlockBytes; ++i) pad[i] = static_cast<uint8_t>(keyBlock[i] ^ kOuterPad);
  md5Start(context);
  md5Add(context, pad, kBlockBytes);
  md5Add(context, inner, sizeof inner);
  md5Finish(context, out);
}

void hexDigest(const uint8_t digest[16], char out[33]) {
  if (digest == nullptr || out == nullptr) return;
  static const char kHexDigits[] = "0123456789abcdef";
  for (int32_t i = 0; i < kMd5DigestBytes; ++i) {
    out[2 * i] = kHexDigits[digest[i] >> 4];
    out[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  out[kMd5HexChars] = '\0';
}

}  // namespace qel
