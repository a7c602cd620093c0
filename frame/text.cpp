#include "frame/text.h"

#include <cstring>

#include "platform/platform.h"

namespace qel {

int32_t textLength(const char* text) {
  if (text == nullptr) return 0;
  return static_cast<int32_t>(std::strlen(text));
}

int32_t copyText(char* destination, const char* source, int32_t n) {
  if (destination == nullptr || source == nullptr) return 0;
  int32_t copied = 0;
  while (copied < n && source[copied] != '\0') {
    destination[copied] = source[copied];
    ++copied;
  }
  destination[copied] = '\0';
  return copied;
}

int32_t appendText(char* destination, const char* source, int32_t n, int32_t capacity) {
  if (destination == nullptr) return 0;
  int32_t length = textLength(destination);
  if (source == nullptr) return length;
  int32_t room = capacity - length;
  if (room < 0) room = 0;
  if (n > room) n = room;
  return length + copyText(destination + length, source, n);
}

void copyCount(char* destination, const char* source, int32_t n) {
  if (destination == nullptr || source == nullptr || n < 0) return;
  for (int32_t i = 0; i < n; ++i) destination[i] = source[i];
  destination[n] = '\0';
}

char* findChar(char* text, char c) {
  return const_cast<char*>(findChar(static_cast<const char*>(text), c));
}

const char* findChar(const char* text, char c) {
  if (text == nullptr) return nullptr;
  for (; *text != '\0'; ++text) {
    if (*text == c) return text;
  }
  return nullptr;
}

uint32_t parseHex(const char* text, int32_t n) {
  uint32_t value = 0;
  for (int32_t i = 0; i < n && text != nullptr; ++i) {
    char c = text[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
    value = value * 16 + digit;
    if (c == '\0') break;  // never read past the end of the text
  }
  return value;
}

int32_t parseDecimal(const char* text) {
  if (text == nullptr) return 0;
  uint32_t value = 0;
  for (int i = 0; i < 10 && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(value);
}

int32_t validServerName(const char* text) {
  if (text == nullptr) return 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    unsigned char c = *p;
    if (c == '<' || c == '>' || c == '@') return 0;
    bool printable = c >= 0x20 && c <= 0x7E;
    if (!printable && c < 0xC0) return 0;
  }
  return 1;
}

bool holdsLineBreak(const char* text, int32_t length) {
  if (text == nullptr) return false;
  for (int32_t i = 0; (length < 0 || i < length) && text[i] != '\0'; ++i) {
    if (text[i] == '\r' || text[i] == '\n') return true;
  }
  return false;
}

const char* fileNamePart(const char* path) {
  if (path == nullptr || path[0] == '\0') return path;
  const char* name = path;
  for (const char* p = path + 1; *p != '\0'; ++p) {
    if (plat::isPathSeparator(*p)) name = p + 1;
  }
  return name;
}

}  // namespace qel

namespace qel {

int32_t formatDottedAddress(uint32_t address, char* buffer, int32_t room) {
  if (buffer == nullptr || room < 17) return 0;
  return plat::formatText(buffer, room, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                          (address >> 8) & 0xFFu, address & 0xFFu);
}

}  // namespace qel
