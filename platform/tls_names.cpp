// Server names as TLS checks them (see tls_names.h).
#include "platform/tls_names.h"

#include <cstdio>
#include <cstring>

namespace qel::plat {

namespace {

constexpr unsigned kMaxOctet = 255;
constexpr int kDottedParts = 4;

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameText(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (lowered(a[i]) != lowered(b[i])) return false;
  }
  return true;
}

}  // namespace

bool plainDottedAddress(const char* name, char* out, size_t room) {
  unsigned parts[kDottedParts] = {};
  int part = 0;
  bool digit = false;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '.') {
      if (!digit || ++part >= kDottedParts) return false;
      digit = false;
    } else if (*p >= '0' && *p <= '9') {
      parts[part] = parts[part] * 10 + static_cast<unsigned>(*p - '0');
      if (parts[part] > kMaxOctet) return false;
      digit = true;
    } else {
      return false;
    }
  }
  if (part != kDottedParts - 1 || !digit) return false;
  std::snprintf(out, room, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
  return true;
}

bool hostNameMatches(const char* pattern, size_t patternLength, const char* name) {
  size_t nameLength = std::strlen(name);
  if (patternLength == 0 || nameLength == 0) return false;
  if (std::memchr(pattern, '\0', patternLength) != nullptr) return false;
  if (patternLength >= 2 && pattern[0] == '*' && pattern[1] == '.') {
    // The wildcard stands for the name's whole first label; the rest must
    // have a dot in it, so that "*.test" never covers every name of a
    // top-level domain.
    const char* rest = std::strchr(name, '.');
    if (rest == nullptr || rest == name) return false;
    size_t restLength = nameLength - static_cast<size_t>(rest - name);
    const char* patternRest = pattern + 1;
    size_t patternRestLength = patternLength - 1;
    if (std::memchr(patternRest + 1, '.', patternRestLength - 1) == nullptr) return false;
    return restLength == patternRestLength && sameText(rest, patternRest, restLength);
  }
  if (std::memchr(pattern, '*', patternLength) != nullptr) return false;
  return nameLength == patternLength && sameText(pattern, name, nameLength);
}

}  // namespace qel::plat
