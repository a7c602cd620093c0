// Charsets through the code pages of MultiByteToWideChar: a table from the
// charset names mail uses to the code page numbers Windows gives them.
#include "platform/charsets.h"

#include <cstring>

#include "platform/charset_names.h"
#include "platform/win32/windows_api.h"

namespace qel::plat {
namespace {

struct CodePageName {
  const char* key;  // charsetKey form
  UINT codePage;
};

// Shift_JIS, GB2312 and EUC-KR as Windows reads them: through the code
// pages that extend them, as mail programs do.
constexpr CodePageName kCodePages[] = {
    {"usascii", 20127},      {"ascii", 20127},       {"koi8r", 20866},        {"koi8u", 21866},
    {"ibm866", 866},         {"cp866", 866},         {"ibm850", 850},         {"cp850", 850},
    {"shiftjis", 932},       {"sjis", 932},          {"xsjis", 932},          {"mskanji", 932},
    {"windows31j", 932},     {"cp932", 932},         {"eucjp", 20932},        {"xeucjp", 20932},
    {"gb2312", 936},         {"gbk", 936},
    {"xgbk", 936},           {"cp936", 936},         {"euccn", 936},          {"xeuccn", 936},
    {"gb18030", 54936},      {"big5", 950},          {"xbig5", 950},          {"cnbig5", 950},
    {"cp950", 950},          {"big5hkscs", 950},     {"euckr", 949},          {"ksc56011987", 949},
    {"ksc5601", 949},        {"cp949", 949},         {"uhc", 949},            {"iso2022kr", 50225},
    {"tis620", 874},         {"windows874", 874},    {"cp874", 874},          {"iso885911", 874},
    {"iso885913", 28603},    {"iso885915", 28605},   {"iso885916", 28606},    {"xmaccyrillic", 10007},
    {"macintosh", 10000},    {"xmacroman", 10000},   {"utf7", 65000},         {"unicode11utf7", 65000},
};

// Most bytes converted at once: more than any name holds.
constexpr int32_t kWideRoom = 4096;

// ISO-2022-JP (RFC 1468) is read as the Shift_JIS it maps onto one to one:
// code page 50220 needs a conversion DLL that not every system has.
constexpr UINT kShiftJis = 932;
constexpr const char* kIso2022JpKeys[] = {"iso2022jp", "csiso2022jp"};
// Where a system lacks GB18030's code page, its one- and two-byte
// characters (GBK's) still convert.
constexpr UINT kGb18030 = 54936;
constexpr UINT kGbk = 936;

enum class JisMode { ascii, kanji, katakana };

// The two bytes of a JIS X 0208 character as Shift_JIS.
void jisToShiftJis(uint8_t j1, uint8_t j2, char* out) {
  uint8_t s1 = static_cast<uint8_t>(((j1 - 0x21) >> 1) + 0x81);
  if (s1 > 0x9F) s1 = static_cast<uint8_t>(s1 + 0x40);
  uint8_t s2;
  if ((j1 & 1) != 0) {
    s2 = static_cast<uint8_t>(j2 + 0x1F);
    if (s2 >= 0x7F) ++s2;
  } else {
    s2 = static_cast<uint8_t>(j2 + 0x7E);
  }
  out[0] = static_cast<char>(s1);
  out[1] = static_cast<char>(s2);
}

bool isJisByte(char c) { return c >= 0x21 && c <= 0x7E; }

// ISO-2022-JP text as Shift_JIS into out (never longer than the text): the
// escape sequences switch between ASCII (or JIS-Roman), JIS X 0208 and
// half-width katakana; other bytes go as they are.
int32_t iso2022JpAsShiftJis(const char* text, int32_t n, char* out) {
  JisMode mode = JisMode::ascii;
  int32_t used = 0;
  for (int32_t i = 0; i < n;) {
    if (text[i] == 0x1B && i + 2 < n) {
      char a = text[i + 1];
      char b = text[i + 2];
      bool known = true;
      if (a == '(' && (b == 'B' || b == 'J')) {
        mode = JisMode::ascii;
      } else if (a == '(' && b == 'I') {
        mode = JisMode::katakana;
      } else if (a == '$' && (b == '@' || b == 'B')) {
        mode = JisMode::kanji;
      } else {
        known = false;
      }
      if (known) {
        i += 3;
        continue;
      }
    }
    if (mode == JisMode::kanji && i + 1 < n && isJisByte(text[i]) && isJisByte(text[i + 1])) {
      jisToShiftJis(static_cast<uint8_t>(text[i]), static_cast<uint8_t>(text[i + 1]), out + used);
      used += 2;
      i += 2;
      continue;
    }
    if (mode == JisMode::katakana && text[i] >= 0x21 && text[i] <= 0x5F) {
      out[used++] = static_cast<char>(static_cast<uint8_t>(text[i]) + 0x80);
      ++i;
      continue;
    }
    out[used++] = text[i++];
  }
  return used;
}

bool isIso2022Jp(const char* key) {
  for (const char* name : kIso2022JpKeys) {
    if (std::strcmp(key, name) == 0) return true;
  }
  return false;
}

bool digitsOnly(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// The code page of charset, 0 when there is none.
UINT codePageOf(const char* charset) {
  char key[kCharsetKeyRoom];
  if (!charsetKey(charset, key)) return 0;
  if (isIso2022Jp(key)) return kShiftJis;
  for (const CodePageName& entry : kCodePages) {
    if (std::strcmp(key, entry.key) == 0) return entry.codePage;
  }
  // windows-125N, cp125N and ISO-8859-N (N of one digit) by their numbers.
  const char* number = nullptr;
  if (std::strncmp(key, "windows125", 10) == 0) number = key + 10;
  if (std::strncmp(key, "cp125", 5) == 0) number = key + 5;
  if (number != nullptr && digitsOnly(number) && number[1] == '\0') return 1250 + static_cast<UINT>(number[0] - '0');
  if (std::strncmp(key, "iso8859", 7) == 0 && digitsOnly(key + 7) && key[8] == '\0' && key[7] != '0') {
    return 28590 + static_cast<UINT>(key[7] - '0');
  }
  return 0;
}

// The code point at wide[*at] (a surrogate pair read whole), *at moved on.
uint32_t nextCodePoint(const wchar_t* wide, int32_t count, int32_t* at) {
  uint32_t unit = static_cast<uint16_t>(wide[(*at)++]);
  if (unit >= 0xD800 && unit <= 0xDBFF && *at < count) {
    uint32_t low = static_cast<uint16_t>(wide[*at]);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      ++*at;
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  // A lone surrogate, and the character Windows puts for a byte that is no
  // character of the code page, are no characters.
  if ((unit >= 0xD800 && unit <= 0xDFFF) || unit == 0xFFFD) return '_';
  return unit;
}

}  // namespace

int32_t charsetToUtf8(const char* charset, const char* bytes, int32_t n, char* out, int32_t room) {
  UINT codePage = codePageOf(charset);
  if (codePage == kGb18030 && !IsValidCodePage(codePage)) codePage = kGbk;
  if (codePage == 0 || room <= 0 || n < 0 || !IsValidCodePage(codePage)) return -1;
  if (n > kWideRoom) n = kWideRoom;
  char key[kCharsetKeyRoom];
  char shiftJis[kWideRoom];
  if (charsetKey(charset, key) && isIso2022Jp(key)) {
    n = iso2022JpAsShiftJis(bytes, n, shiftJis);
    bytes = shiftJis;
  }
  wchar_t wide[kWideRoom];
  int count = n > 0 ? MultiByteToWideChar(codePage, 0, bytes, n, wide, kWideRoom) : 0;
  if (n > 0 && count <= 0 && codePage == kGb18030) {
    codePage = kGbk;
    count = MultiByteToWideChar(codePage, 0, bytes, n, wide, kWideRoom);
  }
  // A code page the system lists but cannot convert with.
  if (n > 0 && count <= 0) return -1;
  int32_t used = 0;
  for (int32_t at = 0; at < count;) {
    int32_t next = putUtf8(nextCodePoint(wide, count, &at), out, used, room);
    if (next == used) break;
    used = next;
  }
  out[used] = '\0';
  return used;
}

bool charsetKnown(const char* charset) {
  UINT codePage = codePageOf(charset);
  if (codePage == kGb18030 && !IsValidCodePage(codePage)) codePage = kGbk;
  return codePage != 0 && IsValidCodePage(codePage);
}

}  // namespace qel::plat
