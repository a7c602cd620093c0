// Modified UTF-7 folder names to and from UTF-8.
#include "codec/mutf7.h"

#include "codec/utf8.h"

namespace qel {
namespace {

constexpr char kShift = '&';
constexpr char kUnshift = '-';
constexpr uint32_t kFirstPrintable = 0x20;
constexpr uint32_t kLastPrintable = 0x7E;
constexpr uint32_t kHighSurrogate = 0xD800;
constexpr uint32_t kLowSurrogate = 0xDC00;
constexpr uint32_t kSurrogateEnd = 0xE000;
constexpr uint32_t kFirstSupplementary = 0x10000;
// The base64 alphabet with "," in place of "/".
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

bool printable(uint32_t c) { return c >= kFirstPrintable && c <= kLastPrintable; }

int32_t alphabetValue(char c) {
  for (int32_t i = 0; i < 64; ++i) {
    if (kAlphabet[i] == c) return i;
  }
  return -1;
}

// A bounded UTF-8 or UTF-7 writer that keeps room for the NUL.
struct Output {
  char* bytes;
  int32_t room;
  int32_t length = 0;
  bool full = false;
  void put(char c) {
    if (length + 1 >= room) {
      full = true;
      return;
    }
    bytes[length++] = c;
  }
  void putUtf8(uint32_t cp) {
    if (cp < 0x80) {
      put(static_cast<char>(cp));
    } else if (cp < 0x800) {
      put(static_cast<char>(0xC0 | (cp >> 6)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < kFirstSupplementary) {
      put(static_cast<char>(0xE0 | (cp >> 12)));
      put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      put(static_cast<char>(0xF0 | (cp >> 18)));
      put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  int32_t finish() {
    if (room > 0) bytes[full ? 0 : length] = '\0';
    return full ? kMutf7NoRoom : length;
  }
};

// Decodes the run of base64 characters source[0..n) (between "&" and "-")
// as UTF-16 into out. False when the run is malformed.
bool decodeRun(const char* source, int32_t n, Output* out) {
  uint32_t bits = 0;
  int32_t bitCount = 0;
  uint32_t high = 0;  // a high surrogate waiting for its low half
  for (int32_t i = 0; i < n; ++i) {
    int32_t value = alphabetValue(source[i]);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    bitCount += 6;
    if (bitCount < 16) continue;
    bitCount -= 16;
    uint32_t unit = (bits >> bitCount) & 0xFFFF;
    bits &= (1u << bitCount) - 1;
    if (high != 0) {
      if (unit < kLowSurrogate || unit >= kSurrogateEnd) return false;
      out->putUtf8(kFirstSupplementary + ((high - kHighSurrogate) << 10) + (unit - kLowSurrogate));
      high = 0;
    } else if (unit >= kHighSurrogate && unit < kLowSurrogate) {
      high = unit;
    } else if (unit >= kLowSurrogate && unit < kSurrogateEnd) {
      return false;
    } else if (unit == 0 || printable(unit)) {
      return false;  // U+0000, or a character that should stand for itself
    } else {
      out->putUtf8(unit);
    }
  }
  // Padding is fewer than 6 bits, all zero; no half of a pair is left.
  return high == 0 && bitCount < 6 && bits == 0;
}

// The code point of the valid UTF-8 sequence at text[*i], moving *i on.
uint32_t nextCodePoint(const char* text, int32_t* i) {
  uint8_t lead = static_cast<uint8_t>(text[*i]);
  int32_t length = utf8SequenceLength(lead);
  static const uint8_t kLeadMask[] = {0x7F, 0x1F, 0x0F, 0x07};
  uint32_t cp = lead & kLeadMask[length - 1];
  for (int32_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<uint8_t>(text[*i + k]) & 0x3F);
  *i += length;
  return cp;
}

// Gathers UTF-16 units and writes them as modified base64.
struct RunWriter {
  Output* out;
  bool open = false;
  uint32_t bits = 0;
  int32_t bitCount = 0;
  void unit(uint32_t u) {
    if (!open) out->put(kShift);
    open = true;
    bits = (bits << 16) | u;
    bitCount += 16;
    while (bitCount >= 6) {
      bitCount -= 6;
      out->put(kAlphabet[(bits >> bitCount) & 0x3F]);
    }
    bits &= (1u << bitCount) - 1;
  }
  void close() {
    if (!open) return;
    if (bitCount > 0) out->put(kAlphabet[(bits << (6 - bitCount)) & 0x3F]);
    out->put(kUnshift);
    open = false;
    bits = 0;
    bitCount = 0;
  }
};

}  // namespace

int32_t mutf7ToUtf8(const char* source, int32_t n, char* destination, int32_t room) {
  if (destination == nullptr || room <= 0) return kMutf7NoRoom;
  Output out{destination, room};
  bool afterRun = false;
  for (int32_t i = 0; source != nullptr && i < n;) {
    uint8_t c = static_cast<uint8_t>(source[i]);
    if (!printable(c)) return destination[0] = '\0', kMutf7Malformed;
    if (c != kShift) {
      out.put(static_cast<char>(c));
      afterRun = false;
      ++i;
      continue;
    }
    int32_t end = i + 1;
    while (end < n && source[end] != kUnshift) ++end;
    if (end >= n) return destination[0] = '\0', kMutf7Malformed;  // no closing "-"
    if (end == i + 1) {
      out.put(kShift);  // "&-"
      afterRun = false;
    } else {
      if (afterRun || !decodeRun(source + i + 1, end - i - 1, &out)) return destination[0] = '\0', kMutf7Malformed;
      afterRun = true;
    }
    i = end + 1;
  }
  return out.finish();
}

int32_t utf8ToMutf7(const char* source, int32_t n, char* destination, int32_t room) {
  if (destination == nullptr || room <= 0) return kMutf7NoRoom;
  if (source == nullptr || n < 0) n = 0;
  if (!isValidUtf8(source, n)) return destination[0] = '\0', kMutf7Malformed;
  Output out{destination, room};
  RunWriter run{&out};
  for (int32_t i = 0; i < n;) {
    uint32_t cp = nextCodePoint(source, &i);
    if (cp == 0) return destination[0] = '\0', kMutf7Malformed;
    if (printable(cp)) {
      run.close();
      out.put(static_cast<char>(cp));
      if (cp == static_cast<uint32_t>(kShift)) out.put(kUnshift);
    } else if (cp >= kFirstSupplementary) {
      cp -= kFirstSupplementary;
      run.unit(kHighSurrogate + (cp >> 10));
      run.unit(kLowSurrogate + (cp & 0x3FF));
    } else {
      run.unit(cp);
    }
  }
  run.close();
  return out.finish();
}

}  // namespace qel
