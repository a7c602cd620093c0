// Folding, RFC 2047 encoded words and RFC 2231 parameters of outgoing
// header fields.
#include "codec/header_words.h"

#include "codec/utf8.h"

namespace qel {
namespace {

constexpr char kCrLf[] = "\r\n";
constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Room of the buffers one encoded word or one parameter section is built in.
constexpr int32_t kWordRoom = 160;
// Where less than this is left on a line, the next encoded word starts a
// new one: a shorter word would carry hardly any text.
constexpr int32_t kShortestUsefulWord = 24;
// The widest section number of a continued parameter ("*99*=").
constexpr int32_t kSectionNumberRoom = 5;

int32_t lengthOf(const char* text) {
  int32_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

bool isWhite(char c) { return c == ' ' || c == '\t'; }
bool isLineEnd(char c) { return c == '\r' || c == '\n'; }
bool isAlnum(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Characters Q may carry as they are (RFC 2047 section 5): in a phrase only
// letters, digits and "!*+-/"; in unstructured text any printable ASCII but
// "=", "?" and "_".
bool qLiteral(uint8_t c, WordPlace place) {
  if (isAlnum(c)) return true;
  if (place == WordPlace::phrase) return c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
  return c > ' ' && c < 0x7F && c != '=' && c != '?' && c != '_';
}

int32_t qCost(uint8_t c, WordPlace place) { return c == ' ' || qLiteral(c, place) ? 1 : 3; }

int32_t base64Length(int32_t bytes) { return 4 * ((bytes + 2) / 3); }

// Bytes of the unit that starts at text[i]: a whole UTF-8 sequence, or one
// byte for other charsets.
int32_t unitLength(const char* text, int32_t i, int32_t n, bool utf8) {
  if (!utf8) return 1;
  int32_t u = utf8SequenceLength(static_cast<uint8_t>(text[i]));
  return u < n - i ? u : n - i;
}

int32_t writeQ(const uint8_t* bytes, int32_t n, WordPlace place, char* out) {
  int32_t k = 0;
  for (int32_t i = 0; i < n; ++i) {
    uint8_t c = bytes[i];
    if (c == ' ') {
      out[k++] = '_';
    } else if (qLiteral(c, place)) {
      out[k++] = static_cast<char>(c);
    } else {
      out[k++] = '=';
      out[k++] = kHex[c >> 4];
      out[k++] = kHex[c & 0xF];
    }
  }
  return k;
}

int32_t writeB(const uint8_t* bytes, int32_t n, char* out) {
  int32_t k = 0;
  for (int32_t i = 0; i < n; i += 3) {
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < n) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < n) group |= bytes[i + 2];
    out[k++] = kBase64Alphabet[(group >> 18) & 63];
    out[k++] = kBase64Alphabet[(group >> 12) & 63];
    out[k++] = i + 1 < n ? kBase64Alphabet[(group >> 6) & 63] : '=';
    out[k++] = i + 2 < n ? kBase64Alphabet[group & 63] : '=';
  }
  return k;
}

int32_t appendText(char* out, int32_t k, const char* text) {
  while (*text != '\0') out[k++] = *text++;
  return k;
}

// RFC 2231 attribute characters go as they are, all others as %XX.
bool attributeChar(uint8_t c) {
  if (isAlnum(c)) return true;
  for (const char* p = "!#$&+-.^_`|~"; *p != '\0'; ++p) {
    if (c == static_cast<uint8_t>(*p)) return true;
  }
  return false;
}

int32_t percentCost(uint8_t c) { return attributeChar(c) ? 1 : 3; }

int32_t writePercent(const uint8_t* bytes, int32_t n, char* out) {
  int32_t k = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (attributeChar(bytes[i])) {
      out[k++] = static_cast<char>(bytes[i]);
    } else {
      out[k++] = '%';
      out[k++] = kHex[bytes[i] >> 4];
      out[k++] = kHex[bytes[i] & 0xF];
    }
  }
  return k;
}

// Units from text[i] on whose percent form fits in room characters.
int32_t percentUnitsFitting(const char* text, int32_t i, int32_t n, bool utf8, int32_t room) {
  int32_t j = i;
  int32_t cost = 0;
  while (j < n) {
    int32_t u = unitLength(text, j, n, utf8);
    int32_t add = 0;
    for (int32_t m = 0; m < u; ++m) add += percentCost(static_cast<uint8_t>(text[j + m]));
    if (cost + add > room && j > i) break;
    cost += add;
    j += u;
  }
  return j;
}

// "*N*=" for section N of a continued parameter.
int32_t writeSectionNumber(char* out, int32_t number) {
  char digits[kSectionNumberRoom];
  int32_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0 && count < kSectionNumberRoom);
  int32_t k = 0;
  out[k++] = '*';
  while (count > 0) out[k++] = digits[--count];
  out[k++] = '*';
  out[k++] = '=';
  return k;
}

}  // namespace

bool HeaderFolder::put(const char* bytes, int32_t n) {
  if (ok_ && n > 0) ok_ = sink_->put(bytes, n);
  return ok_;
}

bool HeaderFolder::field(const char* name) {
  if (name == nullptr) return ok_;
  int32_t length = lengthOf(name);
  put(name, length);
  put(":", 1);
  column_ = length + 1;
  lineHasToken_ = false;
  return ok_;
}

bool HeaderFolder::token(const char* space, int32_t spaceLength, const char* word, int32_t wordLength,
                         bool foldSpace) {
  bool foldable = spaceLength > 0 || foldSpace;
  if (foldable && lineHasToken_ && column_ + spaceLength + wordLength > limit_) {
    put(kCrLf, 2);
    column_ = 0;
    if (spaceLength == 0) {
      put(" ", 1);
      column_ = 1;
    }
  }
  put(space, spaceLength);
  put(word, wordLength);
  column_ += spaceLength + wordLength;
  if (wordLength > 0) lineHasToken_ = true;
  return ok_;
}

bool HeaderFolder::lineBreak(const char* bytes, int32_t n) {
  put(bytes, n);
  column_ = 0;
  lineHasToken_ = false;
  return ok_;
}

bool HeaderFolder::end() { return put(kCrLf, 2); }

bool putPlainText(HeaderFolder* folder, const char* text, int32_t n, bool firstSpace, char listSeparator,
                  bool firstFoldable) {
  bool foldFirst = firstFoldable && !firstSpace;
  bool spaceDue = firstSpace;
  if (spaceDue && n > 0 && isWhite(text[0])) {
    folder->token(" ", 1, "", 0);
    spaceDue = false;
  }
  int32_t i = 0;
  while (i < n) {
    if (isLineEnd(text[i])) {
      int32_t j = i;
      while (j < n && isLineEnd(text[j])) ++j;
      if (!folder->lineBreak(text + i, j - i)) return false;
      i = j;
      continue;
    }
    int32_t spaceStart = i;
    while (i < n && isWhite(text[i])) ++i;
    int32_t wordStart = i;
    while (i < n && !isWhite(text[i]) && !isLineEnd(text[i])) ++i;
    const char* space = text + spaceStart;
    int32_t spaceLength = wordStart - spaceStart;
    if (spaceDue) {
      space = " ";
      spaceLength = 1;
      spaceDue = false;
    }
    bool foldHere = foldFirst && spaceLength == 0;
    foldFirst = false;
    if (listSeparator == '\0' || 1 + i - wordStart <= folder->limit()) {
      if (!folder->token(space, spaceLength, text + wordStart, i - wordStart, foldHere)) return false;
      continue;
    }
    // No white space within reach: the pieces after each separator may
    // go on the next line.
    int32_t piece = wordStart;
    for (int32_t k = wordStart; k < i; ++k) {
      if (text[k] != listSeparator && k + 1 != i) continue;
      bool first = piece == wordStart;
      if (!folder->token(first ? space : nullptr, first ? spaceLength : 0, text + piece, k + 1 - piece, !first)) {
        return false;
      }
      piece = k + 1;
    }
  }
  return true;
}

bool holdsEncodedWordMark(const char* text, int32_t n) {
  for (int32_t i = 0; i + 1 < n; ++i) {
    if (text[i] == '=' && text[i + 1] == '?') return true;
  }
  return false;
}

bool fitsAsPlainText(const char* text, int32_t n, int32_t limit) {
  int32_t word = 0;
  // Room for the field name before the first word ("Reply-To: ").
  constexpr int32_t kNameRoom = 10;
  for (int32_t i = 0; i < n; ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (c == ' ' || c == '\t') {
      word = 0;
      continue;
    }
    if (c < ' ' || c >= 0x7F) return false;
    if (++word > limit - kNameRoom) return false;
  }
  return true;
}

bool putEncodedWords(HeaderFolder* folder, const char* charset, const char* text, int32_t n, WordPlace place,
                     bool glueFirst) {
  const bool utf8 = isUtf8Charset(charset);
  int32_t qTotal = 0;
  for (int32_t i = 0; i < n; ++i) qTotal += qCost(static_cast<uint8_t>(text[i]), place);
  const bool useB = base64Length(n) < qTotal;
  char prefix[kWordRoom / 2];
  int32_t prefixLength = appendText(prefix, 0, "=?");
  prefixLength = appendText(prefix, prefixLength, charset);
  prefixLength = appendText(prefix, prefixLength, useB ? "?B?" : "?Q?");
  prefix[prefixLength] = '\0';
  if (folder->limit() > kEncodedLineColumn) folder->setLimit(kEncodedLineColumn);
  const int32_t overhead = prefixLength + 2;
  int32_t i = 0;
  while (i < n) {
    const bool glued = glueFirst && i == 0;
    int32_t room = folder->limit() - folder->column() - (glued ? 0 : 1);
    if (room < overhead + kShortestUsefulWord && !glued) room = kLongestEncodedWord;
    if (room > kLongestEncodedWord) room = kLongestEncodedWord;
    int32_t payloadRoom = room - overhead;
    int32_t j = i;
    int32_t cost = 0;
    while (j < n) {
      int32_t u = unitLength(text, j, n, utf8);
      int32_t next = cost;
      if (useB) {
        next = base64Length(j + u - i);
      } else {
        for (int32_t m = 0; m < u; ++m) next += qCost(static_cast<uint8_t>(text[j + m]), place);
      }
      if (next > payloadRoom && j > i) break;
      cost = next;
      j += u;
    }
    char word[kWordRoom];
    int32_t k = appendText(word, 0, prefix);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(text + i);
    k += useB ? writeB(bytes, j - i, word + k) : writeQ(bytes, j - i, place, word + k);
    k = appendText(word, k, "?=");
    if (!folder->token(glued ? nullptr : " ", glued ? 0 : 1, word, k)) return false;
    i = j;
  }
  return true;
}

bool putExtendedParameter(HeaderFolder* folder, const char* name, const char* charset, const char* value,
                          int32_t n) {
  const bool utf8 = isUtf8Charset(charset);
  const int32_t nameLength = lengthOf(name);
  const int32_t charsetLength = lengthOf(charset);
  int32_t encoded = 0;
  for (int32_t i = 0; i < n; ++i) encoded += percentCost(static_cast<uint8_t>(value[i]));
  char section[kWordRoom];
  // "name*=charset''value" on the line as it stands.
  int32_t whole = nameLength + 2 + charsetLength + 2 + encoded;
  // On this line or, folded, on the next.
  if (1 + whole + 1 <= folder->limit()) {
    if (!folder->token(nullptr, 0, ";", 1)) return false;
    int32_t k = appendText(section, 0, name);
    k = appendText(section, k, "*=");
    k = appendText(section, k, charset);
    k = appendText(section, k, "''");
    k += writePercent(reinterpret_cast<const uint8_t*>(value), n, section + k);
    return folder->token(" ", 1, section, k);
  }
  // Continued: "name*0*=charset''...", "name*1*=...", one per line.
  int32_t i = 0;
  for (int32_t number = 0; i < n; ++number) {
    int32_t k = appendText(section, 0, name);
    k += writeSectionNumber(section + k, number);
    if (number == 0) {
      k = appendText(section, k, charset);
      k = appendText(section, k, "''");
    }
    int32_t room = folder->limit() - 1 - k - 1;
    int32_t j = percentUnitsFitting(value, i, n, utf8, room);
    k += writePercent(reinterpret_cast<const uint8_t*>(value + i), j - i, section + k);
    if (!folder->token(nullptr, 0, ";", 1)) return false;
    if (!folder->token(" ", 1, section, k)) return false;
    i = j;
  }
  return true;
}

}  // namespace qel
