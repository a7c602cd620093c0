#include "codec/quoted_printable.h"

#include <cstring>

namespace qel {
namespace {

// Decoded bytes gather here and go to the sink in runs.
constexpr int32_t kRunRoom = 512;

int32_t strictHexValue(char c) {
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The carried characters, then the text: read as one.
class StreamText {
 public:
  StreamText(const char* carry, int32_t carryCount, const char* text, int32_t n)
      : carry_(carry), carryCount_(carryCount), text_(text), length_(carryCount + n) {}
  int32_t length() const { return length_; }
  char operator[](int32_t k) const { return k < carryCount_ ? carry_[k] : text_[k - carryCount_]; }

 private:
  const char* carry_;
  int32_t carryCount_;
  const char* text_;
  int32_t length_;
};

class RunWriter {
 public:
  RunWriter(QpSink sink, void* context) : sink_(sink), context_(context) {}
  void put(char c) {
    if (used_ == kRunRoom) flush();
    run_[used_++] = c;
  }
  void flush() {
    if (used_ > 0 && !sink_(context_, run_, used_)) failed_ = true;
    used_ = 0;
  }
  bool failed() const { return failed_; }

 private:
  QpSink sink_;
  void* context_;
  char run_[kRunRoom];
  int32_t used_ = 0;
  bool failed_ = false;
};

// An escape that the end of the piece cuts: its characters into the carry.
void keepCut(const StreamText& in, int32_t k, char* carry, int32_t* carryCount) {
  char kept[kQpCarryRoom];
  int32_t count = in.length() - k;
  for (int32_t i = 0; i < count; ++i) kept[i] = in[k + i];
  std::memcpy(carry, kept, static_cast<size_t>(count));
  *carryCount = count;
}

// qpDecode's rules, NUL bytes passing. The next position to read.
int32_t libraryStep(const StreamText& in, int32_t k, bool more, bool* dropping, RunWriter* out, bool* cut) {
  char c = in[k];
  if (c == '\0') {
    *dropping = false;
    out->put(c);
    return k + 1;
  }
  if (*dropping) return k + 1;
  if (c != '=') {
    out->put(c);
    return k + 1;
  }
  int32_t n = in.length();
  char first = k + 1 < n ? in[k + 1] : '\0';
  // An "=" with fewer than two characters behind it at the end of the piece
  // waits for the rest, unless what follows it can begin no escape.
  bool openAtEnd = k + 1 >= n || (k + 2 >= n && first != '"' && first != '?' && first != '\0');
  if (openAtEnd && more) {
    *cut = true;
    return k;
  }
  if (k + 1 < n && (first == '\r' || first == '\n')) {
    *dropping = true;  // soft line break
    return k + 1;
  }
  char second = k + 2 < n ? in[k + 2] : '\0';
  if (k + 2 >= n || first == '"' || first == '?' || first == '\0' || second == '\0') {
    out->put(c);  // no escape: the "=" stays, the characters after it follow as they are
    return k + 1;
  }
  out->put(static_cast<char>(16 * hexValue(first) + hexValue(second)));
  return k + 3;
}

// RFC 2045 rules. The next position to read.
int32_t strictStep(const StreamText& in, int32_t k, bool more, uint32_t* flags, RunWriter* out, bool* cut) {
  char c = in[k];
  if (c != '=') {
    out->put(c);
    return k + 1;
  }
  int32_t after = in.length() - k - 1;
  if (after >= 2) {
    int32_t high = strictHexValue(in[k + 1]);
    int32_t low = strictHexValue(in[k + 2]);
    if (high >= 0 && low >= 0) {
      out->put(static_cast<char>(high * 16 + low));
      return k + 3;
    }
  } else if (more) {
    *cut = true;
    return k;
  } else if (after == 0) {
    *flags |= kQpSoftBreak;  // "=" at the end of the line
    return k + 1;
  }
  *flags |= kQpBadEscape;
  out->put(c);
  return k + 1;
}

}  // namespace


int32_t hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

const char* findCharN(const char* text, char c, int32_t n) {
  if (text == nullptr) return nullptr;
  for (int32_t i = 0; i < n && text[i] != '\0'; ++i) {
    if (text[i] == c) return text + i;
  }
  return nullptr;
}

int32_t qpDecode(const char* source, char* destination) {
  if (source == nullptr || destination == nullptr) return 0;
  int32_t count = 0;
  const char* p = source;
  while (*p != '\0') {
    if (*p != '=') {
      destination[count++] = *p++;
      continue;
    }
    char first = p[1];
    // Soft line break: the next line continues this one. A bare LF ends a
    // line as CR LF does.
    if (first == '\r' || first == '\n') break;
    // "=" before a quote or "?" is the edge of an encoded word, not an escape;
    // an "=" too close to the end has no two digits to decode. Either way the
    // "=" is kept and the characters after it are taken as they come, so
    // nothing is read past the NUL.
    if (first == '"' || first == '?' || first == '\0' || p[2] == '\0') {
      destination[count++] = *p++;
      continue;
    }
    destination[count++] = static_cast<char>(16 * hexValue(first) + hexValue(p[2]));
    p += 3;
  }
  destination[count] = '\0';
  return count;
}

}  // namespace qel

namespace qel {

uint32_t qpDecodeStream(char* carry, int32_t* carryCount, const char* text, int32_t n, bool more, QpForm form,
                        QpSink sink, void* context) {
  int32_t carried = *carryCount > 0 && *carryCount <= kQpCarryRoom ? *carryCount : 0;
  char held[kQpCarryRoom];
  std::memcpy(held, carry, static_cast<size_t>(carried));
  *carryCount = 0;
  StreamText in(held, carried, text, n < 0 ? 0 : n);
  RunWriter out(sink, context);
  uint32_t flags = 0;
  bool dropping = false;
  bool cut = false;
  for (int32_t k = 0; k < in.length();) {
    k = form == QpForm::library ? libraryStep(in, k, more, &dropping, &out, &cut)
                                : strictStep(in, k, more, &flags, &out, &cut);
    if (cut) {
      keepCut(in, k, carry, carryCount);
      break;
    }
  }
  out.flush();
  if (out.failed()) flags |= kQpWriteFailed;
  return flags;
}

}  // namespace qel
