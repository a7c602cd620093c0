#include "mime/name_fold.h"

#include "codec/mime_params.h"
#include "codec/utf8.h"
#include "frame/text.h"

namespace qel {
namespace {

// A run of code points first, first + step, ... last (step 1 or 2) that
// fold by one offset: each letter to the smallest code point that a chain
// of case mappings joins it with ("a" to "A", "ǎ" to "Ǎ", "ſ" to "S").
struct CaseRun {
  uint32_t first;
  uint32_t last;
  uint32_t step;
  int32_t offset;
};

constexpr CaseRun kCaseRuns[] = {
#include "mime/case_folds.inc"
};

uint32_t foldCodePoint(uint32_t c) {
  // The last run that starts at or before c.
  const CaseRun* low = kCaseRuns;
  const CaseRun* high = kCaseRuns + sizeof kCaseRuns / sizeof kCaseRuns[0];
  while (high - low > 1) {
    const CaseRun* middle = low + (high - low) / 2;
    if (middle->first <= c) {
      low = middle;
    } else {
      high = middle;
    }
  }
  if (c < low->first || c > low->last || (c - low->first) % low->step != 0) return c;
  return static_cast<uint32_t>(static_cast<int32_t>(c) + low->offset);
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
  // name's), folded as the windows-1252 character it stands for.
  *at += 1;
  return foldCodePoint(windows1252CodePoint(lead));
}

int32_t foldedLength(const char* name) {
  int32_t length = textLength(name);
  while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) --length;
  return length;
}

}  // namespace qel
