// A look at text bytes before they are sent: whether they are valid UTF-8
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF) and
// how many of them lie outside ASCII. Fed piece by piece, so a body file
// can be checked without holding it whole.
#pragma once

#include <cstdint>

namespace qel {

struct TextCensus {
  uint32_t bytes = 0;
  uint32_t highBytes = 0;  // bytes of 0x80 and above
  uint32_t lineFeeds = 0;
  uint32_t longestLine = 0;  // bytes between line feeds, CRs included
  uint32_t lineLength = 0;
  bool valid = true;       // false once a byte broke UTF-8
  // A sequence cut by the end of a piece: continuation bytes still due,
  // the code point so far and the smallest value its length allows.
  int32_t pending = 0;
  uint32_t codePoint = 0;
  uint32_t smallest = 0;
};

// Counts n bytes into the census and checks them as UTF-8.
void censusAdd(TextCensus* census, const char* bytes, int32_t n);

// Whether everything counted so far is complete, valid UTF-8.
bool censusValidUtf8(const TextCensus& census);

// Whether the first n bytes (up to the NUL when n is negative) are valid
// UTF-8.
bool isValidUtf8(const char* text, int32_t n = -1);

// Whether the first n bytes (up to the NUL when n is negative) hold a byte
// of 0x80 or above.
bool holdsHighBytes(const char* text, int32_t n = -1);

// Bytes of the UTF-8 sequence that starts with lead (1 for ASCII and for a
// byte that cannot start a sequence).
int32_t utf8SequenceLength(uint8_t lead);

// Whether a charset name means UTF-8 ("utf-8" or "utf8", any letter case).
bool isUtf8Charset(const char* name);

}  // namespace qel
