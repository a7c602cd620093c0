#include "codec/base64.h"

#include <climits>
#include <cstring>

#include "qel32.h"

namespace qel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr int32_t kGroupBytes = 3;
constexpr int32_t kGroupChars = 4;
constexpr int32_t kLineEndChars = 2;  // CR LF
// A run's zero fill reaches this many bytes past its last complete group.
constexpr int32_t kRunSlack = 4;
// The longest input whose encoded form still has a length that fits an
// int32 result: whole lines of 78 characters, each holding 57 bytes.
constexpr int32_t kMaxEncodeLength = (INT32_MAX / (kBase64LineChars + kLineEndChars)) * kBase64LineBytes;

// Characters of one line of encoded text: up to the first CR or LF among
// the first n, or all n when there is none. A NUL is no line end: it is an
// invalid character like any other, and the whole length is searched, so a
// line never runs on past a line end behind a NUL (and never decodes into
// more room than its own characters ask for).
int32_t lineLength(const char* source, int32_t n) {
  const auto* cr = static_cast<const char*>(std::memchr(source, '\r', static_cast<size_t>(n)));
  int32_t k = cr != nullptr ? static_cast<int32_t>(cr - source) : n;
  // A bare LF ends a line too: decoding it as data would shift every group
  // after it and corrupt the rest of the text.
  const auto* lf = static_cast<const char*>(std::memchr(source, '\n', static_cast<size_t>(k)));
  return lf != nullptr ? static_cast<int32_t>(lf - source) : k;
}

// Value of every byte in the alphabet, -1 for the others; built at compile
// time so that decoding looks each character up once.
struct DecodeTable {
  int8_t value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
};
constexpr DecodeTable kDecodeTable;

// The bits each character adds to a group of four at each of its places,
// and kNotInGroup for characters outside the alphabet: a group decodes with
// four lookups, and one test tells whether all four characters were good.
constexpr uint32_t kNotInGroup = 1u << 24;
struct GroupTable {
  uint32_t bits[4][256];
  constexpr GroupTable() : bits() {
    for (int place = 0; place < 4; ++place) {
      for (int c = 0; c < 256; ++c) bits[place][c] = kNotInGroup;
      for (int i = 0; i < 64; ++i) {
        bits[place][static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint32_t>(i) << (6 * (3 - place));
      }
    }
  }
};
constexpr GroupTable kGroupTable;

// The two characters of every 12-bit value: encoding looks up half a group
// at a time.
struct PairTable {
  char chars[4096][2];
  constexpr PairTable() : chars() {
    for (int i = 0; i < 4096; ++i) {
      chars[i][0] = kAlphabet[i >> 6];
      chars[i][1] = kAlphabet[i & 0x3F];
    }
  }
};
constexpr PairTable kPairTable;

}  // namespace

bool isBase64Char(char c) { return kDecodeTable.value[static_cast<unsigned char>(c)] >= 0 || c == kPad; }

void base64EncodeGroup(uint8_t b0, uint8_t b1, uint8_t b2, char* out) {
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
  out[2] = kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)];
  out[3] = kAlphabet[b2 & 0x3F];
}

int32_t base64EncodeLine(const uint8_t* source, char* destination, int32_t n) {
  if (source == nullptr || destination == nullptr || n <= 0) return 0;
  int32_t written = 0;
  int32_t i = 0;
  // Whole groups through the pair table: two lookups of 12 bits each.
  for (; i + kGroupBytes <= n; i += kGroupBytes) {
    uint32_t bits =
        (static_cast<uint32_t>(source[i]) << 16) | (static_cast<uint32_t>(source[i + 1]) << 8) | source[i + 2];
    // Each pair is moved as one 2-byte unit: single-character stores into
    // destination could alias the table and make every load wait for the
    // store before it.
    uint16_t high;
    uint16_t low;
    std::memcpy(&high, kPairTable.chars[bits >> 12], sizeof high);
    std::memcpy(&low, kPairTable.chars[bits & 0xFFF], sizeof low);
    std::memcpy(destination + written, &high, sizeof high);
    std::memcpy(destination + written + 2, &low, sizeof low);
    written += kGroupChars;
  }
  // A short last group: its missing bytes count as zero, and the characters
  // that carry only those zero bits become "=".
  int32_t left = n - i;
  if (left > 0) {
    uint8_t b1 = left == 2 ? source[i + 1] : 0;
    base64EncodeGroup(source[i], b1, 0, destination + written);
    destination[written + 3] = kPad;
    if (left == 1) destination[written + 2] = kPad;
    written += kGroupChars;
  }
  destination[written] = '\r';
  destination[written + 1] = '\n';
  return written;
}

int32_t base64EncodeLines(const uint8_t* source, char* destination, int32_t n) {
  if (source == nullptr || destination == nullptr) return 0;
  int32_t total = 0;
  while (n > 0) {
    int32_t count = n < kBase64LineBytes ? n : kBase64LineBytes;
    total += base64EncodeLine(source, destination + total, count) + kLineEndChars;
    source += count;
    n -= count;
  }
  return total;
}

int32_t base64Value(char c) {
  int32_t value = kDecodeTable.value[static_cast<unsigned char>(c)];
  return value < 0 ? 0 : value;
}

void base64DecodeGroup(const char* group, uint8_t* out) {
  uint32_t x0 = static_cast<uint32_t>(base64Value(group[0]));
  uint32_t x1 = static_cast<uint32_t>(base64Value(group[1]));
  uint32_t x2 = static_cast<uint32_t>(base64Value(group[2]));
  uint32_t x3 = static_cast<uint32_t>(base64Value(group[3]));
  out[0] = static_cast<uint8_t>((x0 << 2) | (x1 >> 4));
  out[1] = static_cast<uint8_t>(((x1 & 0x0F) << 4) | (x2 >> 2));
  out[2] = static_cast<uint8_t>(((x2 & 0x03) << 6) | x3);
}

int32_t base64DecodeGroups(const char* text, int32_t n, char* out, int32_t maxGroups) {
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  int32_t limit = n / kGroupChars < maxGroups ? n / kGroupChars : maxGroups;
  int32_t g = 0;
  for (; g < limit; ++g) {
    uint32_t bits = kGroupTable.bits[0][in[0]] | kGroupTable.bits[1][in[1]] | kGroupTable.bits[2][in[2]] |
                    kGroupTable.bits[3][in[3]];
    if (bits >= kNotInGroup) break;
    out[0] = static_cast<char>(bits >> 16);
    out[1] = static_cast<char>(bits >> 8);
    out[2] = static_cast<char>(bits);
    in += kGroupChars;
    out += kGroupBytes;
  }
  return g;
}

int32_t base64DecodeRun(const char* source, char* destination, int32_t n) {
  if (source == nullptr || destination == nullptr || n <= 2) return 0;
  int32_t groups = n / kGroupChars;
  // Callers decoding a file name use the zero byte behind the data as its NUL.
  int32_t fill = kGroupBytes * groups + kRunSlack;
  for (int32_t i = 0; i < fill; ++i) destination[i] = '\0';
  uint8_t* out = reinterpret_cast<uint8_t*>(destination);
  for (int32_t g = 0; g < groups; ++g) {
    base64DecodeGroup(source + g * kGroupChars, out + g * kGroupBytes);
  }
  if (groups == 0) return 0;
  int32_t count = kGroupBytes * groups;
  const char* last = source + groups * kGroupChars - 1;
  if (last[0] == kPad) {
    --count;
    if (last[-1] == kPad) --count;
  }
  return count;
}

namespace {

constexpr int32_t kStreamChunk = 4096;

bool isBlank(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

}  // namespace

uint32_t base64DecodeStream(DecodeCarry* carry, const char* text, int32_t n, Base64Form form, Base64Sink sink,
                            void* context) {
  char out[kStreamChunk + kGroupBytes];
  int32_t used = 0;
  uint32_t flags = 0;
  char* group = carry->bytes;
  if (carry->count < 0 || carry->count >= kGroupChars) carry->count = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (carry->count == 0) {
      // Whole groups in a row, the bulk of every line, at once.
      int32_t groups = base64DecodeGroups(text + i, n - i, out + used, (kStreamChunk + kGroupBytes - used) / kGroupBytes);
      i += kGroupChars * groups;
      used += kGroupBytes * groups;
      if (used >= kStreamChunk) {
        sink(context, out, used);
        used = 0;
      }
      if (i >= n) break;
    }
    char c = text[i];
    int32_t bytes = 0;
    if (form == Base64Form::lenient) {
      if (!isBase64Char(c)) continue;
      group[carry->count++] = c;
      if (carry->count < kGroupChars) continue;
      bytes = group[3] != kPad ? 3 : group[2] != kPad ? 2 : 1;
    } else if (c == kPad) {
      if (carry->count < 2) continue;
      bytes = carry->count - 1;
      while (carry->count < kGroupChars) group[carry->count++] = 'A';
    } else if (kDecodeTable.value[static_cast<unsigned char>(c)] >= 0) {
      group[carry->count++] = c;
      if (carry->count < kGroupChars) continue;
      bytes = kGroupBytes;
    } else {
      if (!isBlank(c)) flags |= kBase64Noise;
      continue;
    }
    carry->count = 0;
    uint8_t decoded[kGroupBytes];
    base64DecodeGroup(group, decoded);
    std::memcpy(out + used, decoded, static_cast<size_t>(bytes));
    used += bytes;
    if (used >= kStreamChunk) {
      sink(context, out, used);
      used = 0;
    }
  }
  if (used > 0) sink(context, out, used);
  return flags;
}

}  // namespace qel

using namespace qel;

// Encodes a buffer as base64 lines of 76 characters, each ended by CR LF.
extern "C" QEL_API int32_t QEL_CALL qelEncodeBuffer(const char* source, char* destination, int32_t length) {
  if (source == nullptr || destination == nullptr || length <= 0) return 0;
  if (length > kMaxEncodeLength) return 0;
  return base64EncodeLines(reinterpret_cast<const uint8_t*>(source), destination, length);
}

// Decodes base64 text line by line; line ends between lines are skipped.
extern "C" QEL_API int32_t QEL_CALL qelDecodeBuffer(const char* source, char* destination, int32_t length) {
  if (source == nullptr || destination == nullptr || length <= 0) return 0;
  int32_t total = 0;
  while (length > 0) {
    int32_t k = lineLength(source, length);
    int32_t d = base64DecodeRun(source, destination + total, k);
    source += k;
    length -= k;
    total += d;
    // Only characters inside the given length are looked at.
    while (length > 0 && (*source == '\r' || *source == '\n')) {
      ++source;
      --length;
    }
  }
  return total;
}
