// Bounded text routines used on every fixed text field of the library.
#pragma once

#include <cstdint>

namespace qel {

// Every text field has room for its capacity, the terminator the copy rule
// writes after at most capacity characters, and one spare byte.
constexpr int32_t kTextSlack = 2;
constexpr int32_t fieldSize(int32_t capacity) { return capacity + kTextSlack; }

// Number of characters before the NUL; 0 for a null pointer.
int32_t textLength(const char* text);

// The library's copy rule: copies characters of source until its NUL or
// until n have been copied, then writes a NUL (at most n + 1 bytes).
// Returns the number copied; 0 and nothing written when a pointer is null.
int32_t copyText(char* destination, const char* source, int32_t n);

// Appends source behind destination's text so that the whole stays within
// capacity characters (plus NUL); also copies at most n characters.
// Returns the new length.
int32_t appendText(char* destination, const char* source, int32_t n, int32_t capacity);

// Copies exactly n bytes, NULs included, then writes a NUL.
void copyCount(char* destination, const char* source, int32_t n);

// First occurrence of c before the NUL, or null.
char* findChar(char* text, char c);
const char* findChar(const char* text, char c);

// Value of the first n characters as hexadecimal digits; other characters
// count as 0.
uint32_t parseHex(const char* text, int32_t n);

// Value of the decimal digits at the start of text (at most 10 of them);
// 0 when it does not begin with a digit.
int32_t parseDecimal(const char* text);

// 1 when the server name holds none of "<", ">", "@" and only bytes
// 0x20..0x7E or 0xC0..0xFF; else 0.
int32_t validServerName(const char* text);

// Whether the first length characters of text (up to its NUL when length is
// negative) hold a CR or an LF: a caller's text with one must never reach a
// command line, where it would start a command of its own.
bool holdsLineBreak(const char* text, int32_t length = -1);

// The part of a path after its last directory separator or drive colon. The
// first character is not examined, so "\x" stays whole.
const char* fileNamePart(const char* path);

}  // namespace qel

namespace qel {

// Writes an IPv4 address (host byte order) as dotted decimal, most
// significant byte first. Writes nothing and returns 0 when room is below
// 17; otherwise returns the length.
int32_t formatDottedAddress(uint32_t address, char* buffer, int32_t room);

}  // namespace qel
