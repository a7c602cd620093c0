#include "codec/text_search.h"

#include "frame/text.h"
#include "qel32.h"

namespace qel {
namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool equalsNoCase(const char* a, const char* b, int32_t count) {
  if (a == nullptr || b == nullptr || count == 0) return false;
  for (int32_t i = 0; i < count; ++i) {
    if (a[i] == '\0' && b[i] == '\0') return true;
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  }
  return true;
}

const char* findTextNoCase(const char* text, const char* search) {
  if (text == nullptr || search == nullptr) return nullptr;
  int32_t textChars = textLength(text);
  int32_t searchChars = textLength(search);
  if (searchChars > textChars) return nullptr;
  // Every match covers the whole search text, so callers may step over its
  // full length to reach what follows it.
  for (int32_t start = 0; start <= textChars - searchChars; ++start) {
    if (equalsNoCase(text + start, search, searchChars)) return text + start;
  }
  return nullptr;
}

char* findTextNoCase(char* text, const char* search) {
  return const_cast<char*>(findTextNoCase(static_cast<const char*>(text), search));
}

int32_t copyLine(const char* source, char* buffer, int32_t size) {
  if (source == nullptr || buffer == nullptr || size <= 1) return 0;
  int32_t room = size - 1;
  for (int32_t i = 0; i < room; ++i) {
    char c = source[i];
    buffer[i] = c;
    if (c == '\0') return i;
    if (c == '\n') {
      buffer[i + 1] = '\0';
      return i + 1;
    }
  }
  // A last line of exactly size - 1 characters still fits with its NUL.
  buffer[room] = '\0';
  return source[room] == '\0' ? room : 0;
}

}  // namespace qel

using namespace qel;

// Copies the text from the first case-blind match of search to its line end.
extern "C" QEL_API int32_t QEL_CALL qelExtractText(const char* text, const char* search, char* buffer,
                                                    int32_t size) {
  if (text == nullptr || search == nullptr || buffer == nullptr) return 0;
  const char* position = findTextNoCase(text, search);
  if (position == nullptr) return 0;
  return copyLine(position, buffer, size);
}

// Copies line lineNumber (counted from 1) of text.
extern "C" QEL_API int32_t QEL_CALL qelExtractLine(const char* text, int32_t lineNumber, char* buffer,
                                                    int32_t size) {
  if (text == nullptr || buffer == nullptr) return 0;
  const char* line = text;
  for (int32_t skip = 1; skip < lineNumber; ++skip) {
    const char* lineFeed = findChar(line, '\n');
    if (lineFeed == nullptr) return 0;
    line = lineFeed + 1;
  }
  return copyLine(line, buffer, size);
}
