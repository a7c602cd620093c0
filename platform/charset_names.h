// Charset names as mail writes them, reduced to one form for table look-up
// by both charset backends: letters in lower case, "-", "_", "." and blanks
// dropped ("ISO_8859-5" and "iso-8859-5" are both "iso88595").
#pragma once

#include <cstdint>

namespace qel::plat {

constexpr int32_t kCharsetKeyRoom = 40;

// The look-up form of charset into key (kCharsetKeyRoom bytes). False when
// the name is empty, too long, or holds a character no charset name has (so
// that nothing but a plain name ever reaches the system's tables).
bool charsetKey(const char* charset, char* key);

// A code point as UTF-8 into out at used, when it fits before room - 1
// (a NUL stays possible). Returns the new used length.
int32_t putUtf8(uint32_t codePoint, char* out, int32_t used, int32_t room);

}  // namespace qel::plat
