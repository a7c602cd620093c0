// Folder names in modified UTF-7 (RFC 3501, section 5.1.3), the form IMAP
// servers use for names outside ASCII unless UTF-8 was enabled, to and from
// the UTF-8 the library hands its callers. Both directions are strict: a
// name that is not in the canonical form is refused, never guessed at, so a
// name read from a server and written back is the same bytes.
#pragma once

#include <cstdint>

namespace qel {

// Results besides a length.
constexpr int32_t kMutf7Malformed = -1;  // not a valid name in the source form
constexpr int32_t kMutf7NoRoom = -2;     // the destination is too small

// Decodes n bytes of modified UTF-7 into destination (room bytes, the
// result NUL-terminated). Refused: bytes outside printable ASCII, a "&"
// run without its closing "-", characters outside the modified base64
// alphabet, leftover bits that are not zero or make a whole character,
// a lone surrogate, U+0000, a printable ASCII character in a run, an empty
// run other than "&-" (which is "&") and two runs with nothing between
// them. Returns the length written, or kMutf7Malformed / kMutf7NoRoom.
int32_t mutf7ToUtf8(const char* source, int32_t n, char* destination, int32_t room);

// Encodes n bytes of UTF-8 as modified UTF-7 into destination (room bytes,
// the result NUL-terminated). Refused: bytes that are not valid UTF-8, and
// U+0000. Returns the length written, or kMutf7Malformed / kMutf7NoRoom.
int32_t utf8ToMutf7(const char* source, int32_t n, char* destination, int32_t room);

}  // namespace qel
