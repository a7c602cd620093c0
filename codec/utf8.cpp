// UTF-8 checks and byte counts of outgoing text.
#include "codec/utf8.h"

namespace qel {
namespace {

constexpr uint32_t kHighBit = 0x80;
constexpr uint32_t kLargestCodePoint = 0x10FFFF;
constexpr uint32_t kSurrogateFirst = 0xD800;
constexpr uint32_t kSurrogateLast = 0xDFFF;

struct LeadForm {
  uint8_t mask;
  uint8_t value;
  int32_t continuations;
  uint32_t smallest;
};
// Lead bytes of two, three and four byte sequences.
constexpr LeadForm kLeadForms[] = {
    {0xE0, 0xC0, 1, 0x80},
    {0xF0, 0xE0, 2, 0x800},
    {0xF8, 0xF0, 3, 0x10000},
};

bool isContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// One byte through the checker.
void checkByte(TextCensus* census, uint8_t b) {
  if (census->pending > 0) {
    if (!isContinuation(b)) {
      census->valid = false;
      census->pending = 0;
      return;
    }
    census->codePoint = (census->codePoint << 6) | (b & 0x3F);
    if (--census->pending == 0) {
      uint32_t cp = census->codePoint;
      if (cp < census->smallest || cp > kLargestCodePoint || (cp >= kSurrogateFirst && cp <= kSurrogateLast)) {
        census->valid = false;
      }
    }
    return;
  }
  if (b < kHighBit) return;
  for (const LeadForm& form : kLeadForms) {
    if ((b & form.mask) == form.value) {
      census->pending = form.continuations;
      census->codePoint = b & static_cast<uint8_t>(~form.mask);
      census->smallest = form.smallest;
      return;
    }
  }
  census->valid = false;
}

int32_t lengthOf(const char* text, int32_t n) {
  if (n >= 0) return n;
  int32_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

}  // namespace

void censusAdd(TextCensus* census, const char* bytes, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    ++census->bytes;
    if (b >= kHighBit) ++census->highBytes;
    if (b == '\n') {
      ++census->lineFeeds;
      census->lineLength = 0;
    } else if (++census->lineLength > census->longestLine) {
      census->longestLine = census->lineLength;
    }
    checkByte(census, b);
  }
}

bool censusValidUtf8(const TextCensus& census) { return census.valid && census.pending == 0; }

bool isValidUtf8(const char* text, int32_t n) {
  if (text == nullptr) return true;
  TextCensus census;
  censusAdd(&census, text, lengthOf(text, n));
  return censusValidUtf8(census);
}

bool holdsHighBytes(const char* text, int32_t n) {
  if (text == nullptr) return false;
  int32_t length = lengthOf(text, n);
  for (int32_t i = 0; i < length; ++i) {
    if (static_cast<uint8_t>(text[i]) >= kHighBit) return true;
  }
  return false;
}

int32_t utf8SequenceLength(uint8_t lead) {
  for (const LeadForm& form : kLeadForms) {
    if ((lead & form.mask) == form.value) return form.continuations + 1;
  }
  return 1;
}

bool isUtf8Charset(const char* name) {
  if (name == nullptr) return false;
  const char* expected[] = {"utf-8", "utf8"};
  for (const char* want : expected) {
    int32_t i = 0;
    while (want[i] != '\0' && (name[i] | 0x20) == want[i]) ++i;
    if (want[i] == '\0' && name[i] == '\0') return true;
  }
  return false;
}

}  // namespace qel
