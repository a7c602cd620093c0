// UID and sequence sets ("1:5,7,9:10"): read from what a server answers
// (COPYUID, APPENDUID, ESEARCH ALL) and written for a command.
#pragma once

#include <cstdint>

namespace qel {

// Walks the ranges of a set, in the order given. A range "a:b" comes as
// first = min(a, b), last = max(a, b); a single number as first == last.
struct ImapSetReader {
  const char* text;
  int32_t length;
  int32_t position = 0;
};

// The next range: 1, 0 at the end, or -1 when the set is malformed (0, "*",
// a number past 32 bits, an empty range, a stray character).
int32_t imapSetNext(ImapSetReader* reader, uint32_t* first, uint32_t* last);

// Writes numbers[0..count) as a set into destination (room bytes,
// NUL-terminated), runs of consecutive ascending numbers as ranges and a
// number equal to the one before left out. Writes as many numbers as fit:
// returns how many were taken (a caller sends the rest in another command),
// -1 for a 0 among them or a room too small for one.
int32_t imapWriteSet(const uint32_t* numbers, int32_t count, char* destination, int32_t room);

}  // namespace qel
