// Quoted strings and literals for commands.
#include "imap/arguments.h"

#include <cstdio>

#include "codec/utf8.h"

namespace qel {

ImapArgumentForm imapArgumentForm(const char* text, int32_t n, bool utf8Quoted) {
  bool literal = false;
  bool high = false;
  for (int32_t i = 0; i < n; ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (c == 0) return ImapArgumentForm::refused;
    literal = literal || c == '\r' || c == '\n';
    high = high || c >= 0x80;
  }
  if (high && !(utf8Quoted && isValidUtf8(text, n))) literal = true;
  return literal ? ImapArgumentForm::literal : ImapArgumentForm::quoted;
}

int32_t imapWriteQuoted(const char* text, int32_t n, char* destination, int32_t room) {
  int32_t used = 0;
  auto put = [&](char c) {
    if (used + 1 >= room) return false;
    destination[used++] = c;
    return true;
  };
  bool ok = room > 0 && put('"');
  for (int32_t i = 0; ok && i < n; ++i) {
    char c = text[i];
    if (c == '\0' || c == '\r' || c == '\n') ok = false;
    if (ok && (c == '"' || c == '\\')) ok = put('\\');
    ok = ok && put(c);
  }
  ok = ok && put('"');
  if (room > 0) destination[ok ? used : 0] = '\0';
  return ok ? used : -1;
}

int32_t imapWriteLiteralHead(uint32_t n, bool nonSynchronizing, char* destination, int32_t room) {
  if (room <= 0) return -1;
  int32_t length = std::snprintf(destination, static_cast<size_t>(room), "{%u%s}\r\n", n, nonSynchronizing ? "+" : "");
  if (length < 0 || length >= room) {
    destination[0] = '\0';
    return -1;
  }
  return length;
}

}  // namespace qel
