// Charsets through iconv. A handful of names that mail uses and glibc does
// not know, or knows as a narrower table than mail programs read them with,
// are named for it here.
#include "platform/charsets.h"

#include <errno.h>
#include <iconv.h>

#include <cstring>

#include "platform/charset_names.h"

namespace qel::plat {
namespace {

struct Alias {
  const char* key;  // charsetKey form
  const char* systemName;
};

// Shift_JIS as Windows and mail programs read it (0x5C a backslash, the
// vendor rows included); GB2312 and EUC-KR mail often holds characters of
// the tables that extend them.
constexpr Alias kAliases[] = {
    {"shiftjis", "CP932"},    {"sjis", "CP932"},   {"xsjis", "CP932"},  {"mskanji", "CP932"},
    {"windows31j", "CP932"},  {"gb2312", "GBK"},   {"xgbk", "GBK"},     {"euccn", "GBK"},
    {"xeuccn", "GBK"},        {"cp936", "GBK"},    {"euckr", "CP949"},  {"ksc56011987", "CP949"},
    {"ksc5601", "CP949"},     {"xwindows949", "CP949"}, {"uhc", "CP949"}, {"xmaccyrillic", "MAC-CYRILLIC"},
};

iconv_t openFor(const char* charset) {
  char key[kCharsetKeyRoom];
  if (!charsetKey(charset, key)) return reinterpret_cast<iconv_t>(-1);
  for (const Alias& alias : kAliases) {
    if (std::strcmp(key, alias.key) == 0) return iconv_open("UTF-8", alias.systemName);
  }
  iconv_t cd = iconv_open("UTF-8", charset);
  // "x-" names the unregistered form of a charset glibc may know plainly.
  if (cd == reinterpret_cast<iconv_t>(-1) && (charset[0] == 'x' || charset[0] == 'X') && charset[1] == '-') {
    cd = iconv_open("UTF-8", charset + 2);
  }
  return cd;
}

}  // namespace

int32_t charsetToUtf8(const char* charset, const char* bytes, int32_t n, char* out, int32_t room) {
  if (room <= 0 || n < 0) return -1;
  iconv_t cd = openFor(charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  char* in = const_cast<char*>(bytes);
  size_t inLeft = static_cast<size_t>(n);
  char* at = out;
  size_t outLeft = static_cast<size_t>(room - 1);
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<size_t>(-1)) break;
    // E2BIG: the room is full, and iconv stopped behind a whole character.
    if (errno == E2BIG || outLeft == 0) break;
    // EILSEQ, EINVAL: no character of the charset here.
    *at++ = '_';
    --outLeft;
    ++in;
    --inLeft;
  }
  iconv_close(cd);
  *at = '\0';
  return static_cast<int32_t>(at - out);
}

bool charsetKnown(const char* charset) {
  iconv_t cd = openFor(charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

}  // namespace qel::plat
