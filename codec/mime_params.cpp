#include "codec/mime_params.h"

#include <cstdio>
#include <cstring>

#include "codec/base64.h"
#include "codec/utf8.h"
#include "platform/charsets.h"

namespace qel {
namespace {

// Most sections of one RFC 2231 continued parameter, and the bytes of the
// raw value (before conversion) or of one encoded word that are decoded.
constexpr int32_t kMaxSections = 64;
constexpr int32_t kRawRoom = 2048;
constexpr int32_t kCharsetRoom = 40;
constexpr char kUnknownByte = '_';

// windows-1252 at 0x80..0x9F; 0 where it defines nothing (then as ISO-8859-1).
constexpr uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool sameNoCase(const char* a, int32_t n, const char* b) {
  int32_t i = 0;
  for (; i < n && b[i] != '\0'; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return i == n && b[i] == '\0';
}

int32_t hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

enum class Charset { utf8, ascii, latin1, cp1252, unknown };

Charset charsetOf(const char* name) {
  if (name == nullptr || name[0] == '\0') return Charset::ascii;
  if (isUtf8Charset(name)) return Charset::utf8;
  static const char* const kAscii[] = {"us-ascii", "ascii", "ansi_x3.4-1968"};
  static const char* const kLatin1[] = {"iso-8859-1", "iso8859-1", "latin1", "latin-1", "iso_8859-1", "l1"};
  static const char* const kCp1252[] = {"windows-1252", "cp1252"};
  int32_t n = static_cast<int32_t>(std::strlen(name));
  for (const char* a : kAscii) if (sameNoCase(name, n, a)) return Charset::ascii;
  for (const char* a : kLatin1) if (sameNoCase(name, n, a)) return Charset::latin1;
  for (const char* a : kCp1252) if (sameNoCase(name, n, a)) return Charset::cp1252;
  return Charset::unknown;
}

// Appends a code point as UTF-8 when it fits whole.
int32_t putCodePoint(uint32_t cp, char* out, int32_t used, int32_t room) {
  char bytes[3];
  int32_t n = 0;
  if (cp < 0x80) {
    bytes[n++] = static_cast<char>(cp);
  } else if (cp < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    bytes[n++] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
  }
  if (used + n > room - 1) return used;
  std::memcpy(out + used, bytes, static_cast<size_t>(n));
  return used + n;
}

// The length of a valid UTF-8 sequence at bytes (at most n long), 0 when it
// is not one.
int32_t validSequence(const char* bytes, int32_t n) {
  int32_t length = utf8SequenceLength(static_cast<uint8_t>(bytes[0]));
  if (static_cast<uint8_t>(bytes[0]) < 0x80) return 1;
  if (static_cast<uint8_t>(bytes[0]) < 0xC2 || length == 1 || length > n) return 0;
  return isValidUtf8(bytes, length) ? length : 0;
}

// One parameter of a field value, as written.
struct Param {
  const char* name;
  int32_t nameLength;
  const char* value;
  int32_t valueLength;
  bool quoted;
};

// The position of the next ";" at or after pos outside a quoted string.
int32_t nextSemicolon(const char* text, int32_t length, int32_t pos) {
  bool quoted = false;
  for (; pos < length; ++pos) {
    char c = text[pos];
    if (quoted && c == '\\') {
      ++pos;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ';') {
      return pos;
    }
  }
  return length;
}

int32_t skipBlanks(const char* text, int32_t length, int32_t pos) {
  while (pos < length && isBlank(text[pos])) ++pos;
  return pos;
}

// Reads the parameter behind the ";" at *pos and moves *pos to the next ";".
bool nextParam(const char* text, int32_t length, int32_t* pos, Param* param) {
  while (*pos < length) {
    int32_t at = skipBlanks(text, length, *pos + 1);
    int32_t nameStart = at;
    while (at < length && text[at] != '=' && text[at] != ';' && !isBlank(text[at])) ++at;
    param->name = text + nameStart;
    param->nameLength = at - nameStart;
    at = skipBlanks(text, length, at);
    if (at >= length || text[at] != '=' || param->nameLength == 0) {
      *pos = nextSemicolon(text, length, at);
      continue;
    }
    at = skipBlanks(text, length, at + 1);
    param->quoted = at < length && text[at] == '"';
    int32_t valueStart = param->quoted ? at + 1 : at;
    int32_t end = valueStart;
    if (param->quoted) {
      while (end < length && text[end] != '"') end += text[end] == '\\' && end + 1 < length ? 2 : 1;
      if (end > length) end = length;
    } else {
      while (end < length && text[end] != ';' && !isBlank(text[end])) ++end;
    }
    param->value = text + valueStart;
    param->valueLength = end - valueStart;
    *pos = nextSemicolon(text, length, end + (param->quoted && end < length ? 1 : 0));
    return true;
  }
  return false;
}

// Finds the parameter whose name is exactly wanted (any letter case).
bool findParam(const char* text, int32_t length, const char* wanted, Param* found) {
  int32_t pos = nextSemicolon(text, length, 0);
  Param param{};
  while (nextParam(text, length, &pos, &param)) {
    if (sameNoCase(param.name, param.nameLength, wanted)) {
      *found = param;
      return true;
    }
  }
  return false;
}

// Appends a value as written (a quoted one without its backslashes).
int32_t appendPlain(const Param& param, char* out, int32_t used, int32_t room) {
  for (int32_t i = 0; i < param.valueLength && used < room - 1; ++i) {
    if (param.quoted && param.value[i] == '\\' && i + 1 < param.valueLength) ++i;
    out[used++] = param.value[i];
  }
  return used;
}

// Appends a value with %XX escapes decoded.
int32_t appendPercent(const char* value, int32_t n, char* out, int32_t used, int32_t room) {
  for (int32_t i = 0; i < n && used < room - 1; ++i) {
    if (value[i] == '%' && i + 2 < n && hexDigit(value[i + 1]) >= 0 && hexDigit(value[i + 2]) >= 0) {
      out[used++] = static_cast<char>(hexDigit(value[i + 1]) * 16 + hexDigit(value[i + 2]));
      i += 2;
    } else {
      out[used++] = value[i];
    }
  }
  return used;
}

// The extended value of a first section, charset'language'text: the charset
// into charset, the text's start returned.
const char* splitExtended(const Param& param, char* charset, int32_t* textLength) {
  const char* value = param.value;
  int32_t n = param.valueLength;
  const char* first = static_cast<const char*>(std::memchr(value, '\'', static_cast<size_t>(n)));
  charset[0] = '\0';
  if (first == nullptr) {
    *textLength = n;
    return value;
  }
  int32_t charsetLength = static_cast<int32_t>(first - value);
  if (charsetLength >= kCharsetRoom) charsetLength = kCharsetRoom - 1;
  std::memcpy(charset, value, static_cast<size_t>(charsetLength));
  charset[charsetLength] = '\0';
  int32_t rest = n - static_cast<int32_t>(first - value) - 1;
  const char* second = static_cast<const char*>(std::memchr(first + 1, '\'', static_cast<size_t>(rest)));
  const char* text = second != nullptr ? second + 1 : first + 1;
  *textLength = n - static_cast<int32_t>(text - value);
  return text;
}

// RFC 2231 forms of the parameter; -1 when it has none.
int32_t findExtended(const char* text, int32_t length, const char* name, char* out, int32_t room) {
  char wanted[80];
  int32_t nameLength = static_cast<int32_t>(std::strlen(name));
  if (nameLength > 60) return -1;
  char charset[kCharsetRoom] = "";
  char raw[kRawRoom];
  int32_t used = 0;
  Param param{};
  std::snprintf(wanted, sizeof wanted, "%s*", name);
  if (findParam(text, length, wanted, &param)) {
    int32_t n = 0;
    const char* value = splitExtended(param, charset, &n);
    used = appendPercent(value, n, raw, 0, kRawRoom);
    int32_t written = appendAsUtf8(charset, raw, used, out, 0, room);
    out[written] = '\0';
    return written;
  }
  bool any = false;
  for (int32_t section = 0; section < kMaxSections; ++section) {
    // "name*N*" holds encoded text, "name*N" plain text.
    std::snprintf(wanted, sizeof wanted, "%s*%d*", name, static_cast<int>(section));
    if (findParam(text, length, wanted, &param)) {
      int32_t n = param.valueLength;
      const char* start = param.value;
      if (section == 0) start = splitExtended(param, charset, &n);
      used = appendPercent(start, n, raw, used, kRawRoom);
    } else {
      wanted[std::strlen(wanted) - 1] = '\0';
      if (!findParam(text, length, wanted, &param)) break;
      used = appendPlain(param, raw, used, kRawRoom);
    }
    any = true;
  }
  if (!any) return -1;
  int32_t written = appendAsUtf8(charset, raw, used, out, 0, room);
  out[written] = '\0';
  return written;
}

// Decodes the text of one encoded word into bytes; -1 when it is not one.
int32_t decodeWordText(char encoding, const char* text, int32_t n, char* bytes) {
  if (n >= kRawRoom) return -1;
  if (encoding == 'b' || encoding == 'B') {
    char padded[kRawRoom + 4];
    int32_t m = 0;
    for (int32_t i = 0; i < n; ++i) {
      if (isBase64Char(text[i])) padded[m++] = text[i];
    }
    while (m % 4 != 0) padded[m++] = '=';
    char decoded[kRawRoom + 8];
    int32_t length = base64DecodeRun(padded, decoded, m);
    std::memcpy(bytes, decoded, static_cast<size_t>(length));
    return length;
  }
  if (encoding != 'q' && encoding != 'Q') return -1;
  int32_t length = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (text[i] == '_') {
      bytes[length++] = ' ';
    } else if (text[i] == '=' && i + 2 < n && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
      bytes[length++] = static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      bytes[length++] = text[i];
    }
  }
  return length;
}

// An encoded word at text[0..n): =?charset?e?text?= with no blank inside.
// Its length, its charset and its decoded bytes; 0 when it is none.
int32_t readEncodedWord(const char* text, int32_t n, char* charset, char* bytes, int32_t* byteCount) {
  if (n < 8 || text[0] != '=' || text[1] != '?') return 0;
  int32_t at = 2;
  while (at < n && text[at] != '?' && !isBlank(text[at])) ++at;
  if (at >= n || text[at] != '?' || at - 2 >= kCharsetRoom || at == 2) return 0;
  int32_t charsetLength = at - 2;
  std::memcpy(charset, text + 2, static_cast<size_t>(charsetLength));
  charset[charsetLength] = '\0';
  char* language = std::strchr(charset, '*');  // RFC 2231 section 5
  if (language != nullptr) *language = '\0';
  if (at + 2 >= n || text[at + 2] != '?') return 0;
  char encoding = text[at + 1];
  int32_t start = at + 3;
  int32_t end = start;
  while (end + 1 < n && !(text[end] == '?' && text[end + 1] == '=') && !isBlank(text[end])) ++end;
  if (end + 1 >= n || text[end] != '?' || text[end + 1] != '=') return 0;
  *byteCount = decodeWordText(encoding, text + start, end - start, bytes);
  if (*byteCount < 0) return 0;
  return end + 2;
}

}  // namespace

const char* fieldValue(const char* field, int32_t length, const char* name, int32_t* valueLength) {
  int32_t nameLength = static_cast<int32_t>(std::strlen(name));
  if (length <= nameLength || !sameNoCase(field, nameLength, name)) return nullptr;
  int32_t at = nameLength;
  while (at < length && (field[at] == ' ' || field[at] == '\t')) ++at;
  if (at >= length || field[at] != ':') return nullptr;
  at = skipBlanks(field, length, at + 1);
  *valueLength = length - at;
  return field + at;
}

int32_t valueToken(const char* value, int32_t length, char* out, int32_t room) {
  int32_t at = skipBlanks(value, length, 0);
  int32_t used = 0;
  while (at < length && value[at] != ';' && !isBlank(value[at]) && value[at] != '(') {
    if (used < room - 1) out[used++] = lower(value[at]);
    ++at;
  }
  out[used] = '\0';
  return used;
}

int32_t findParameter(const char* value, int32_t length, const char* name, char* out, int32_t room) {
  if (room <= 0) return -1;
  out[0] = '\0';
  int32_t extended = findExtended(value, length, name, out, room);
  if (extended >= 0) return extended;
  Param param{};
  if (!findParam(value, length, name, &param)) return -1;
  char raw[kRawRoom];
  int32_t n = appendPlain(param, raw, 0, kRawRoom);
  return decodeEncodedWords(raw, n, out, room);
}

int32_t decodeEncodedWords(const char* text, int32_t n, char* out, int32_t room) {
  if (room <= 0) return 0;
  int32_t used = 0;
  char charset[kCharsetRoom];
  char bytes[kRawRoom];
  // Words of one charset in a row are converted as one text: senders split
  // a name between words inside a multibyte character, and a shift state of
  // ISO-2022-JP may run on into the next word.
  char heldCharset[kCharsetRoom] = "";
  char held[kRawRoom];
  int32_t heldCount = 0;
  for (int32_t i = 0; i < n;) {
    int32_t count = 0;
    int32_t word = text[i] == '=' ? readEncodedWord(text + i, n - i, charset, bytes, &count) : 0;
    bool sameRun = word > 0 && heldCount + count <= kRawRoom &&
                   sameNoCase(heldCharset, static_cast<int32_t>(std::strlen(heldCharset)), charset);
    if (heldCount > 0 && !sameRun) {
      used = appendAsUtf8(heldCharset, held, heldCount, out, used, room);
      heldCount = 0;
    }
    if (word == 0) {
      if (used < room - 1) out[used++] = text[i];
      ++i;
      continue;
    }
    std::memcpy(heldCharset, charset, sizeof heldCharset);
    std::memcpy(held + heldCount, bytes, static_cast<size_t>(count));
    heldCount += count;
    i += word;
    // Blanks between two encoded words are no part of the text.
    int32_t next = skipBlanks(text, n, i);
    if (next > i && next < n && readEncodedWord(text + next, n - next, charset, bytes, &count) > 0) i = next;
  }
  if (heldCount > 0) used = appendAsUtf8(heldCharset, held, heldCount, out, used, room);
  out[used] = '\0';
  return used;
}

int32_t appendAsUtf8(const char* charset, const char* bytes, int32_t n, char* out, int32_t used, int32_t room) {
  Charset kind = charsetOf(charset);
  if (kind == Charset::unknown && used < room) {
    int32_t converted = plat::charsetToUtf8(charset, bytes, n, out + used, room - used);
    if (converted >= 0) return used + converted;
  }
  for (int32_t i = 0; i < n;) {
    auto byte = static_cast<uint8_t>(bytes[i]);
    if (byte < 0x80) {
      used = putCodePoint(byte, out, used, room);
      ++i;
      continue;
    }
    if (kind == Charset::utf8) {
      int32_t length = validSequence(bytes + i, n - i);
      if (length > 0) {
        if (used + length <= room - 1) {
          std::memcpy(out + used, bytes + i, static_cast<size_t>(length));
          used += length;
        }
        i += length;
        continue;
      }
      used = putCodePoint(static_cast<uint8_t>(kUnknownByte), out, used, room);
    } else if (kind == Charset::latin1 || kind == Charset::cp1252) {
      used = putCodePoint(kind == Charset::cp1252 ? windows1252CodePoint(byte) : byte, out, used, room);
    } else {
      used = putCodePoint(static_cast<uint8_t>(kUnknownByte), out, used, room);
    }
    ++i;
  }
  if (room > 0) out[used] = '\0';
  return used;
}

uint32_t windows1252CodePoint(uint8_t byte) {
  bool high = byte >= 0x80 && byte < 0xA0 && kCp1252High[byte - 0x80] != 0;
  return high ? kCp1252High[byte - 0x80] : byte;
}

bool isSystemCharset(const char* charset) {
  return charsetOf(charset) == Charset::unknown && plat::charsetKnown(charset);
}

int32_t eightBitTextAsUtf8(const char* charset, const char* text, int32_t n, char* out, int32_t room) {
  if (room <= 0) return 0;
  Charset kind = charsetOf(charset);
  // Text that is not UTF-8, or that switches charsets with ESC (ISO-2022),
  // is read whole in a charset the system converts.
  bool escapes = std::memchr(text, 0x1B, static_cast<size_t>(n)) != nullptr;
  if (kind == Charset::unknown && (escapes || !isValidUtf8(text, n))) {
    int32_t converted = plat::charsetToUtf8(charset, text, n, out, room);
    if (converted >= 0) return converted;
  }
  bool latin1 = kind == Charset::latin1;
  int32_t used = 0;
  // Up to the first character that does not fit: the text is cut at its
  // end, never in the middle.
  for (int32_t i = 0; i < n;) {
    int32_t length = validSequence(text + i, n - i);
    if (length > 0) {
      if (used + length > room - 1) break;
      std::memcpy(out + used, text + i, static_cast<size_t>(length));
      used += length;
      i += length;
      continue;
    }
    auto byte = static_cast<uint8_t>(text[i++]);
    int32_t next = putCodePoint(latin1 ? byte : windows1252CodePoint(byte), out, used, room);
    if (next == used) break;
    used = next;
  }
  out[used] = '\0';
  return used;
}

}  // namespace qel
