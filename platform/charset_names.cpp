#include "platform/charset_names.h"

#include "platform/charsets.h"

namespace qel::plat {

bool charsetKey(const char* charset, char* key) {
  if (charset == nullptr) return false;
  int32_t used = 0;
  int32_t i = 0;
  for (; charset[i] != '\0'; ++i) {
    if (i >= kCharsetNameCap) return false;
    char c = charset[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '-' || c == '_' || c == '.' || c == ' ') continue;
    bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' || c == '+';
    if (!plain) return false;
    key[used++] = c;
  }
  key[used] = '\0';
  return used > 0;
}

int32_t putUtf8(uint32_t codePoint, char* out, int32_t used, int32_t room) {
  char bytes[4];
  int32_t n = 0;
  if (codePoint < 0x80) {
    bytes[n++] = static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | (codePoint >> 6));
    bytes[n++] = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    bytes[n++] = static_cast<char>(0xE0 | (codePoint >> 12));
    bytes[n++] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    bytes[n++] = static_cast<char>(0xF0 | (codePoint >> 18));
    bytes[n++] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (codePoint & 0x3F));
  }
  if (used + n > room - 1) return used;
  for (int32_t i = 0; i < n; ++i) out[used + i] = bytes[i];
  return used + n;
}

}  // namespace qel::plat
