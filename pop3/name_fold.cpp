#include "pop3/name_fold.h"

#include "codec/utf8.h"
#include "frame/text.h"

namespace qel {
namespace {

// A run of code points whose capitals fold to small letters: by an offset
// when step is 1 ("A".."Z" -> "a".."z"), or pairwise when step is 2 (each
// capital at an even distance from first is followed by its small letter).
struct CaseRange {
  uint32_t first;
  uint32_t last;
  uint32_t step;
  uint32_t offset;
};

constexpr CaseRange kCaseRanges[] = {
    {0x0041, 0x005A, 1, 0x20},  // Basic Latin
    {0x00C0, 0x00D6, 1, 0x20},  // Latin-1: À..Ö
    {0x00D8, 0x00DE, 1, 0x20},  //          Ø..Þ
    {0x0100, 0x012F, 2, 1},     // Latin Extended-A, in pairs
    {0x0132, 0x0137, 2, 1},
    {0x0139, 0x0148, 2, 1},
    {0x014A, 0x0177, 2, 1},
    {0x0179, 0x017E, 2, 1},
    {0x0386, 0x0386, 1, 0x26},  // Greek: Ά
    {0x0388, 0x038A, 1, 0x25},  //        Έ..Ί
    {0x038C, 0x038C, 1, 0x40},  //        Ό
    {0x038E, 0x038F, 1, 0x3F},  //        Ύ, Ώ
    {0x0391, 0x03A1, 1, 0x20},  //        Α..Ρ
    {0x03A3, 0x03AB, 1, 0x20},  //        Σ..Ϋ
    {0x0400, 0x040F, 1, 0x50},  // Cyrillic: Ѐ..Џ
    {0x0410, 0x042F, 1, 0x20},  //           А..Я
    {0x0460, 0x0481, 2, 1},     //           historic letters, in pairs
    {0x048A, 0x04BF, 2, 1},
    {0x04C1, 0x04CE, 2, 1},
    {0x04D0, 0x052F, 2, 1},
    {0x0531, 0x0556, 1, 0x30},  // Armenian
    {0x1E00, 0x1E95, 2, 1},     // Latin Extended Additional, in pairs
    {0x1EA0, 0x1EFF, 2, 1},
    {0xFF21, 0xFF3A, 1, 0x20},  // full-width Latin
};

// Letters outside the ranges: the final sigma, "Ÿ", and the dotted and
// dotless i, which fold to "i" like "I".
struct CaseLetter {
  uint32_t from;
  uint32_t to;
};
constexpr CaseLetter kCaseLetters[] = {{0x03C2, 0x03C3}, {0x0178, 0x00FF}, {0x0130, 0x0069}, {0x0131, 0x0069}};

uint32_t foldCodePoint(uint32_t c) {
  for (const CaseRange& range : kCaseRanges) {
    if (c < range.first || c > range.last) continue;
    if (range.step == 1 || (c - range.first) % 2 == 0) return c + range.offset;
    return c;
  }
  for (const CaseLetter& letter : kCaseLetters) {
    if (c == letter.from) return letter.to;
  }
  return c;
}

// The code point of the UTF-8 sequence of n bytes at p, or -1 when it is
// not valid.
int64_t sequenceValue(const char* p, int32_t n) {
  if (n < 2 || !isValidUtf8(p, n)) return -1;
  static constexpr uint8_t kLeadBits[] = {0, 0, 0x1F, 0x0F, 0x07};
  constexpr uint8_t kContinuationBits = 0x3F;
  constexpr int kContinuationShift = 6;
  uint32_t value = static_cast<uint8_t>(p[0]) & kLeadBits[n];
  for (int32_t i = 1; i < n; ++i) {
    value = (value << kContinuationShift) | (static_cast<uint8_t>(p[i]) & kContinuationBits);
  }
  return value;
}

}  // namespace

uint32_t nextFoldedChar(const char* name, int32_t end, int32_t* at) {
  auto lead = static_cast<uint8_t>(name[*at]);
  int32_t n = utf8SequenceLength(lead);
  int64_t value = *at + n <= end ? sequenceValue(name + *at, n) : -1;
  if (value >= 0) {
    *at += n;
    return foldCodePoint(static_cast<uint32_t>(value));
  }
  // One byte: ASCII, or one that starts no valid sequence (an ANSI
  // name's), whose Latin-1 capitals fold like the code points of that value.
  *at += 1;
  return foldCodePoint(lead);
}

int32_t foldedLength(const char* name) {
  int32_t length = textLength(name);
  while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) --length;
  return length;
}

}  // namespace qel
