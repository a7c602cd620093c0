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

}  // namespace qel
