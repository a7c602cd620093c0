#include "codec/address.h"

#include "frame/errors.h"
#include "frame/settings.h"
#include "qel32.h"

namespace qel {
namespace {

// Punctuation allowed between the brackets besides letters, digits and "@".
constexpr char kAddressPunctuation[] = ".-_/$&'";

bool isAddressChar(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@') return true;
  for (const char* p = kAddressPunctuation; *p != '\0'; ++p) {
    if (c == *p) return true;
  }
  return false;
}

}  // namespace

const char* findListSeparator(const char* text) {
  if (text == nullptr) return nullptr;
  const char separator = settings.recipientSeparator;
  bool quoted = false;
  bool bracketed = false;
  for (; *text != '\0'; ++text) {
    char c = *text;
    if (quoted) {
      // A quoted pair ("\"") keeps the quote open; a backslash at the end
      // of the text escapes nothing.
      if (c == '\\' && text[1] != '\0') {
        ++text;
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (c == separator && !bracketed) return text;
    if (c == '"') quoted = true;
    if (c == '<') bracketed = true;
    if (c == '>') bracketed = false;
  }
  return nullptr;
}

char* findListSeparator(char* text) {
  return const_cast<char*>(findListSeparator(static_cast<const char*>(text)));
}

const char* findInItem(const char* text, char c) {
  if (text == nullptr) return nullptr;
  const char* end = findListSeparator(text);
  for (; *text != '\0'; ++text) {
    if (*text == c) return text;
    if (text == end) return nullptr;
  }
  return nullptr;
}

char* findInItem(char* text, char c) {
  return const_cast<char*>(findInItem(static_cast<const char*>(text), c));
}

int32_t checkAddressChars(const char* first, const char* end) {
  if (first == nullptr || end == nullptr) return kErrNullPointer;
  int32_t atSigns = 0;
  for (const char* p = first; p < end; ++p) {
    if (*p == '@' && ++atSigns == 2) return kErrTooManyAt;
    if (!isAddressChar(*p)) return kErrBadAddressChar;
  }
  return atSigns == 1 ? 1 : kErrMissingAt;
}

}  // namespace qel

using namespace qel;

// Judges the first address of a list; 1 when it is acceptable.
extern "C" QEL_API int32_t QEL_CALL qelVerifyFormat(const char* address) {
  if (address == nullptr) return kErrNullPointer;
  if (address[0] == '\0') return kErrEmptyAddress;
  const char* open = findInItem(address, '<');
  if (open == nullptr) return kErrMissingLt;
  const char* close = findInItem(address, '>');
  if (close == nullptr || close < open) return kErrMissingGt;
  if (close == open + 1) return kErrNullPointer;  // "<>" holds no address at all
  if (open[1] == '@' || close[-1] == '@') return kErrEmptyAddress;  // empty user or host
  return checkAddressChars(open + 1, close);
}
