// Strings in the commands a client sends (RFC 3501 astring, quoted and
// literal): user names, passwords, folder names, search text.
#pragma once

#include <cstdint>

namespace qel {

enum class ImapArgumentForm : uint8_t {
  quoted,   // "..." with each quote and backslash escaped
  literal,  // {n} CR LF and the bytes, after the server's go-ahead
  refused,  // a NUL byte: no string form carries it
};

// How n bytes go into a command: quoted unless they hold CR, LF or a byte
// of 0x80 and above (which may go quoted when utf8Quoted, UTF-8 having been
// enabled, and the bytes are valid UTF-8); refused when they hold NUL.
ImapArgumentForm imapArgumentForm(const char* text, int32_t n, bool utf8Quoted);

// Writes n bytes as a quoted string into destination (room bytes,
// NUL-terminated). Returns its length; -1 when the bytes hold CR, LF or
// NUL, or room is too small.
int32_t imapWriteQuoted(const char* text, int32_t n, char* destination, int32_t room);

// Writes the announcement of a literal of n bytes, "{n}" CR LF, or "{n+}"
// CR LF (no go-ahead awaited) when nonSynchronizing. Returns its length;
// -1 when room is too small.
int32_t imapWriteLiteralHead(uint32_t n, bool nonSynchronizing, char* destination, int32_t room);

}  // namespace qel
