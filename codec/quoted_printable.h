// Quoted-printable decoding (RFC 2045, section 6.7) of incoming text lines,
// with the library's deviations: only upper-case hexadecimal digits count,
// "=" before a double quote or "?" stays as it is, an underscore stays an
// underscore, and only "=" CR (or "=" and a bare LF) is a soft line break.
#pragma once

#include <cstdint>

namespace qel {

// Value of "0".."9" and "A".."F"; every other character, "a".."f" included,
// gives 0.
int32_t hexValue(char c);

// First of the first n characters of text that equals c, stopping at a NUL;
// null when there is none, for a null text or for n <= 0.
const char* findCharN(const char* text, char c, int32_t n);

// Decodes one NUL-terminated line into destination, which needs
// strlen(source) + 1 bytes; the result is NUL-terminated and never longer
// than the source. "=" CR or "=" LF ends the text there (soft line break). An "=" with
// fewer than two characters before the end of the text is kept as it is.
// Returns the number of bytes written before the NUL; 0 and nothing written
// for a null pointer.
int32_t qpDecode(const char* source, char* destination);

// The two forms of quoted-printable decoding of message content.
enum class QpForm : uint8_t {
  // qpDecode's rules, on text that may hold NUL bytes: NUL bytes pass as
  // they came and end any escape before them; "=" CR or "=" LF is a soft
  // line break that drops the rest of the text up to the next NUL byte.
  library,
  // RFC 2045, section 6.7: digits of either case; an "=" that begins no
  // escape stays as it is (kQpBadEscape); "=" as the last character of the
  // text (a line without its line end) is a soft line break (kQpSoftBreak).
  strict,
};

// What qpDecodeStream reports.
constexpr uint32_t kQpSoftBreak = 1u << 0;
constexpr uint32_t kQpBadEscape = 1u << 1;
constexpr uint32_t kQpWriteFailed = 1u << 2;

// Takes decoded bytes; false when it could not.
using QpSink = bool (*)(void* context, const char* bytes, int32_t n);

// The characters of an escape cut by the end of a piece ("=" and at most
// one more) wait in carry (count in *carryCount, room for 2) until the
// piece that follows.
constexpr int32_t kQpCarryRoom = 2;

// Decodes a piece of quoted-printable text (n bytes) behind what the carry
// holds, handing the bytes to sink in runs. With more set, more of the same
// text follows: an escape cut by the end of the piece waits in the carry;
// else it is decoded as far as it goes. Returns kQp* flags.
uint32_t qpDecodeStream(char* carry, int32_t* carryCount, const char* text, int32_t n, bool more, QpForm form,
                        QpSink sink, void* context);

}  // namespace qel
