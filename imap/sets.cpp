// UID and sequence sets.
#include "imap/sets.h"

#include <cstdio>
#include <cstring>

namespace qel {
namespace {

// A number of the set at the reader's position; false when none is there.
bool readNumber(ImapSetReader* reader, uint32_t* value) {
  uint64_t result = 0;
  int32_t start = reader->position;
  while (reader->position < reader->length) {
    char c = reader->text[reader->position];
    if (c < '0' || c > '9') break;
    result = result * 10 + static_cast<uint32_t>(c - '0');
    if (result > UINT32_MAX) return false;
    ++reader->position;
  }
  *value = static_cast<uint32_t>(result);
  return reader->position > start && result > 0;
}

// Appends text to destination if it fits with the NUL; false otherwise.
bool append(char* destination, int32_t room, int32_t* used, const char* text) {
  int32_t n = static_cast<int32_t>(std::strlen(text));
  if (*used + n >= room) return false;
  std::memcpy(destination + *used, text, static_cast<size_t>(n) + 1);
  *used += n;
  return true;
}

}  // namespace

int32_t imapSetNext(ImapSetReader* reader, uint32_t* first, uint32_t* last) {
  if (reader->text == nullptr || reader->position >= reader->length) return 0;
  if (reader->position > 0 && reader->text[reader->position++] != ',') return -1;
  uint32_t a = 0;
  uint32_t b = 0;
  if (!readNumber(reader, &a)) return -1;
  b = a;
  if (reader->position < reader->length && reader->text[reader->position] == ':') {
    ++reader->position;
    if (!readNumber(reader, &b)) return -1;
  }
  if (reader->position < reader->length && reader->text[reader->position] != ',') return -1;
  *first = a < b ? a : b;
  *last = a < b ? b : a;
  return 1;
}

int32_t imapWriteSet(const uint32_t* numbers, int32_t count, char* destination, int32_t room) {
  if (room <= 0) return -1;
  destination[0] = '\0';
  for (int32_t i = 0; i < count; ++i) {
    if (numbers[i] == 0) return -1;
  }
  int32_t used = 0;
  int32_t taken = 0;
  while (taken < count) {
    // The run that starts here, duplicates folded in.
    int32_t end = taken + 1;
    uint32_t last = numbers[taken];
    while (end < count && (numbers[end] == last || numbers[end] == last + 1) && last != UINT32_MAX) {
      last = numbers[end++];
    }
    while (end < count && numbers[end] == last) ++end;
    char range[24];
    if (last == numbers[taken]) {
      std::snprintf(range, sizeof range, "%s%u", used > 0 ? "," : "", numbers[taken]);
    } else {
      std::snprintf(range, sizeof range, "%s%u:%u", used > 0 ? "," : "", numbers[taken], last);
    }
    if (!append(destination, room, &used, range)) break;
    taken = end;
  }
  return taken == 0 && count > 0 ? -1 : taken;
}

}  // namespace qel
