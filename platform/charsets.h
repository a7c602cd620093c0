// Text in the charsets mail names, made UTF-8 by the system's own tables:
// iconv on POSIX systems, the code pages of MultiByteToWideChar in
// QEL32.dll. The library reads UTF-8, US-ASCII, ISO-8859-1 and windows-1252
// itself (codec/mime_params.h); every other charset comes here.
#pragma once

#include <cstdint>

namespace qel::plat {

// Longest charset name looked up; a longer one is no charset this layer
// knows.
constexpr int32_t kCharsetNameCap = 39;

// Converts n bytes of text in charset (a MIME charset name, any letter
// case) to UTF-8 in out: at most room - 1 bytes and a NUL, whole characters
// only, the rest of a text that does not fit left out. A byte sequence that
// is no character of the charset becomes "_". Returns the length written,
// or -1 (out untouched) when the system cannot convert the charset.
int32_t charsetToUtf8(const char* charset, const char* bytes, int32_t n, char* out, int32_t room);

// Whether charset names one that charsetToUtf8 converts.
bool charsetKnown(const char* charset);

}  // namespace qel::plat
