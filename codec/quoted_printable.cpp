#include "codec/quoted_printable.h"

namespace qel {

int32_t hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

const char* findCharN(const char* text, char c, int32_t n) {
  if (text == nullptr) return nullptr;
  for (int32_t i = 0; i < n && text[i] != '\0'; ++i) {
    if (text[i] == c) return text + i;
  }
  return nullptr;
}

int32_t qpDecode(const char* source, char* destination) {
  if (source == nullptr || destination == nullptr) return 0;
  int32_t count = 0;
  const char* p = source;
  while (*p != '\0') {
    if (*p != '=') {
      destination[count++] = *p++;
      continue;
    }
    char first = p[1];
    // Soft line break: the next line continues this one. A bare LF ends a
    // line as CR LF does.
    if (first == '\r' || first == '\n') break;
    // "=" before a quote or "?" is the edge of an encoded word, not an escape;
    // an "=" too close to the end has no two digits to decode. Either way the
    // "=" is kept and the characters after it are taken as they come, so
    // nothing is read past the NUL.
    if (first == '"' || first == '?' || first == '\0' || p[2] == '\0') {
      destination[count++] = *p++;
      continue;
    }
    destination[count++] = static_cast<char>(16 * hexValue(first) + hexValue(p[2]));
    p += 3;
  }
  destination[count] = '\0';
  return count;
}

}  // namespace qel
