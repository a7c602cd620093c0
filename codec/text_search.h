// Case-blind search and line copying: the substring search of the SMTP and
// POP3 sides and of the incoming decoder, and the line extraction helpers
// offered to applications.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

// Compares count positions of a and b, "a".."z" equal to "A".."Z"; true at
// once when both end at the same position. False for count 0 or a null
// pointer; a negative count gives true without comparing anything.
bool equalsNoCase(const char* a, const char* b, int32_t count);

// The length of a string literal, without its NUL.
template <std::size_t N>
constexpr int32_t literalLength(const char (&)[N]) {
  return static_cast<int32_t>(N - 1);
}

// Whether text begins with the string literal prefix, case-blind; the
// length compared is the literal's own.
template <std::size_t N>
bool beginsWithNoCase(const char* text, const char (&prefix)[N]) {
  return equalsNoCase(text, prefix, static_cast<int32_t>(N - 1));
}

// First position of text where the whole of search matches, case-blind; null
// when none, for an empty search or for a null pointer.
const char* findTextNoCase(const char* text, const char* search);
char* findTextNoCase(char* text, const char* search);

// Copies one line of source (up to and including its LF) into buffer, which
// holds size bytes, and NUL-terminates it. Returns the characters copied (LF
// included), or the characters before a NUL that ends the source; 0 when
// the line does not fit in size - 1 characters (the buffer then holds its
// first size - 1 characters and a NUL), for size <= 1 or a null pointer
// (nothing written).
int32_t copyLine(const char* source, char* buffer, int32_t size);

}  // namespace qel
