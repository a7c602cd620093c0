// The message-only filter of a raw download: whole runs of text are found
// with memchr and moved once; only the bytes at a line start are looked at
// one by one.
#include "pop3/raw_message.h"

#include <cstring>

#include "pop3/session.h"

namespace qel {
namespace {

constexpr char kStuffingOctet = '.';

// One block being filtered: bytes [in, n) are still to be looked at; the
// kept ones go to [0, out), and out never passes in.
struct Filter {
  char* block;
  int32_t n;
  int32_t in;
  int32_t out;
  uint8_t stage;
  bool afterCr;
};

// The next line feed at or after from, or -1.
int32_t nextLineFeed(const Filter& f, int32_t from) {
  const void* found = std::memchr(f.block + from, '\n', static_cast<size_t>(f.n - from));
  return found == nullptr ? -1 : static_cast<int32_t>(static_cast<const char*>(found) - f.block);
}

// Whether the line feed at `at` ends a CR LF; the bytes before in came in
// earlier (rawAfterCr). Read before anything is moved over them.
bool crLfAt(const Filter& f, int32_t at) { return at > f.in ? f.block[at - 1] == '\r' : f.afterCr; }

// The status line is dropped through its line feed.
void dropStatus(Filter& f) {
  int32_t lineFeed = nextLineFeed(f, f.in);
  if (lineFeed < 0) {
    f.afterCr = f.block[f.n - 1] == '\r';
    f.in = f.n;
    return;
  }
  f.afterCr = crLfAt(f, lineFeed);
  f.in = lineFeed + 1;
  f.stage = kRawLineStart;
}

// Message text is kept up to the next line start that begins with a dot, or
// may (the block ends there), in one move.
void passText(Filter& f) {
  int32_t end = f.n;
  bool lineStart = false;
  for (int32_t at = f.in; (at = nextLineFeed(f, at)) >= 0; ++at) {
    if (at + 1 < f.n && f.block[at + 1] != kStuffingOctet) continue;
    f.afterCr = crLfAt(f, at);
    end = at + 1;
    lineStart = true;
    break;
  }
  if (!lineStart) f.afterCr = f.block[f.n - 1] == '\r';
  if (f.out != f.in) std::memmove(f.block + f.out, f.block + f.in, static_cast<size_t>(end - f.in));
  f.out += end - f.in;
  f.in = end;
  f.stage = lineStart ? kRawLineStart : kRawInLine;
}

// One step at f.in, which is below f.n.
void filterStep(Filter& f) {
  char c = f.block[f.in];
  switch (f.stage) {
    case kRawStatus:
      dropStatus(f);
      return;
    case kRawLineStart:
      if (c == kStuffingOctet) {
        // afterCr stays: whether this may be the end line.
        ++f.in;
        f.stage = kRawDot;
        return;
      }
      break;
    case kRawDot:
      if (c == '\r' && f.afterCr) {
        ++f.in;
        f.stage = kRawDotCr;
        return;
      }
      break;
    case kRawDotCr:
      if (c == '\n') {
        ++f.in;
        f.stage = kRawEnded;
        return;
      }
      // A "." CR that ends no line: the CR is text.
      f.block[f.out++] = '\r';
      f.afterCr = true;
      passText(f);
      return;
    default:  // kRawInLine
      passText(f);
      return;
  }
  // The line goes on as text; the byte before it was no CR.
  f.afterCr = false;
  passText(f);
}

}  // namespace

int32_t rawHeldBytes(const ChannelRecord* record, char* block) {
  if (record->pop3->rawStage != kRawDotCr) return 0;
  block[0] = '\r';
  return 1;
}

int32_t keepMessageOnly(ChannelRecord* record, char* block, int32_t n, bool* ended) {
  Filter f{block, n, 0, 0, record->pop3->rawStage, record->pop3->rawAfterCr != 0};
  // A held CR is already counted as taken.
  if (f.stage == kRawDotCr) f.in = rawHeldBytes(record, block);
  while (f.in < f.n && f.stage != kRawEnded) filterStep(f);
  record->pop3->rawStage = f.stage;
  record->pop3->rawAfterCr = f.afterCr ? 1 : 0;
  *ended = f.stage == kRawEnded;
  return f.out;
}

}  // namespace qel
