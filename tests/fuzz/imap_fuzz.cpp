// The IMAP response reader and the parsers over what it gathers. The first
// byte chooses the pieces the rest is fed in (a receive ring hands out what
// it holds, so any cut must do), whether body literals and SEARCH numbers go
// to sinks, and small or default limits; the rest is what a server sends.
//
// Contracts: the reader takes every byte it is given until a response is
// ready or it fails, and never more; what it holds stays within the record
// and its limits, lists close where their items say; a streamed literal
// reaches the sink whole, begun and ended once. Every string the parsers
// return is terminated within its room; a folder name that decodes encodes
// back to the same bytes; a string written quoted reads back as itself.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "codec/mutf7.h"
#include "fuzz_support.h"
#include "imap/arguments.h"
#include "imap/parse.h"
#include "imap/reader.h"
#include "imap/sets.h"

using namespace qel;
using namespace qel::fuzz;

namespace {

constexpr int32_t kSetRangeLimit = 100000;

struct Streamed {
  bool open = false;
  uint32_t size = 0;
  uint64_t got = 0;
  uint64_t literals = 0;
};

int32_t beginLiteral(void* c, const char* item, int32_t n, uint32_t size) {
  auto* s = static_cast<Streamed*>(c);
  require(!s->open && n > 0 && item != nullptr, "a streamed literal begins once, with its item");
  s->open = true;
  s->size = size;
  s->got = 0;
  return 0;
}

int32_t literalPiece(void* c, const char*, int32_t n) {
  auto* s = static_cast<Streamed*>(c);
  require(s->open && n > 0, "pieces come between begin and end");
  s->got += static_cast<uint64_t>(n);
  require(s->got <= s->size, "no more bytes than the literal's size");
  return 0;
}

int32_t endLiteral(void* c) {
  auto* s = static_cast<Streamed*>(c);
  require(s->open && s->got == s->size, "a streamed literal ends whole");
  s->open = false;
  ++s->literals;
  return 0;
}

int32_t takeNumber(void*, uint32_t value) { return value == 0 ? -5 : 0; }

void checkRecord(const ImapReader& reader) {
  const ImapResponse& r = reader.response;
  require(r.itemCount >= 0 && r.itemCount <= kImapItemCap && r.byteCount >= 0 && r.byteCount <= kImapByteCap,
          "the record holds within its capacity");
  for (int32_t i = 0; i < r.itemCount; ++i) {
    const ImapItem& item = r.items[i];
    require(item.depth <= reader.limits.depth, "lists nest within the limit");
    if (item.type == ImapItemType::listOpen) {
      require(item.length > static_cast<uint32_t>(i) && item.length < static_cast<uint32_t>(r.itemCount) &&
                  r.items[item.length].type == ImapItemType::listClose,
              "a list ends at its close");
    } else if (item.type != ImapItemType::streamed) {
      require(static_cast<uint64_t>(item.offset) + item.length <= static_cast<uint64_t>(r.byteCount),
              "an item's bytes lie in the record");
    }
    if (item.type == ImapItemType::literal) {
      require(item.length <= static_cast<uint32_t>(reader.limits.keptLiteral), "a held literal within its limit");
    }
  }
}

// A folder name that decodes encodes back to the same bytes, and UTF-8 the
// other way round.
void checkName(const char* bytes, int32_t length) {
  char utf8[kImapNameRoom];
  char back[kImapNameRoom * 4];
  int32_t n = mutf7ToUtf8(bytes, length, utf8, sizeof utf8);
  if (n >= 0) {
    require(utf8[n] == '\0', "a decoded name is terminated");
    int32_t m = utf8ToMutf7(utf8, n, back, sizeof back);
    require(m == length && std::memcmp(back, bytes, static_cast<size_t>(length)) == 0,
            "a decoded name encodes back to the same bytes");
  }
  n = utf8ToMutf7(bytes, length, back, sizeof back);
  if (n >= 0) {
    int32_t m = mutf7ToUtf8(back, n, utf8, sizeof utf8);
    require(m == length && std::memcmp(utf8, bytes, static_cast<size_t>(length)) == 0,
            "an encoded name decodes back to the same bytes");
  }
}

// A string written quoted reads back as itself.
void checkQuoted(const char* bytes, int32_t length) {
  if (imapArgumentForm(bytes, length, true) != ImapArgumentForm::quoted) return;
  std::string line = "* X ";
  std::string quoted(static_cast<size_t>(length) * 2 + 3, '\0');
  int32_t n = imapWriteQuoted(bytes, length, &quoted[0], static_cast<int32_t>(quoted.size()));
  require(n >= 2, "a string of the quoted form is written");
  line.append(quoted.data(), static_cast<size_t>(n)).append("\r\n");
  static ImapReader* reader = [] {
    auto* made = new ImapReader;  // one for the whole run: the record is large
    made->limits.line = kImapByteCap;
    return made;
  }();
  imapReaderReset(reader);
  int32_t used = 0;
  int32_t rc = imapFeed(reader, line.data(), static_cast<int32_t>(line.size()), &used);
  const char* back = nullptr;
  int32_t backLength = 0;
  require(rc == kImapReady && imapStringOf(reader->response, 1, &back, &backLength) && backLength == length &&
              std::memcmp(back, bytes, static_cast<size_t>(length)) == 0,
          "a quoted string reads back as itself");
}

void checkSet(const ImapResponse& r, int32_t index) {
  const char* bytes = nullptr;
  int32_t length = 0;
  if (!imapStringOf(r, index, &bytes, &length)) return;
  ImapSetReader set{bytes, length};
  uint32_t first = 0;
  uint32_t last = 0;
  int32_t rc = 1;
  for (int32_t i = 0; i < kSetRangeLimit && (rc = imapSetNext(&set, &first, &last)) == 1; ++i) {
    require(first >= 1 && first <= last, "a range is ordered and has no 0");
  }
  require(rc <= 0, "a set's ranges end");
}

void runParsers(const ImapResponse& r) {
  ImapCodeValues code;
  if (imapResponseCode(r, &code) == 0) {
    checkSet(r, code.setItem);
    checkSet(r, code.targetItem);
  }
  ImapCapabilities caps;
  if (imapCapabilities(r, &caps) == 0) {
    require(std::memchr(caps.mechanisms, '\0', sizeof caps.mechanisms) != nullptr, "mechanisms terminated");
  }
  for (bool utf8 : {false, true}) {
    ImapFolder folder;
    if (imapParseList(r, utf8, &folder) == 0) {
      require(folder.nameLength >= 0 && folder.nameLength < kImapNameRoom && folder.name[folder.nameLength] == '\0',
              "a folder name is terminated within its room");
    }
  }
  ImapFolderStatus status;
  imapParseStatus(r, &status);
  uint32_t numbers[4];
  int32_t count = imapSearchNumbers(r, numbers, 4);
  for (int32_t i = 0; i < count && i < 4; ++i) require(numbers[i] > 0, "search numbers are not 0");
  ImapEsearch esearch;
  if (imapParseEsearch(r, &esearch) == 0) checkSet(r, esearch.allItem);
  ImapFetch fetch;
  imapParseFetch(r, &fetch);
  for (int32_t i = 0; i < r.itemCount; ++i) {
    const char* bytes = nullptr;
    int32_t length = 0;
    char copy[64];
    int32_t n = imapCopyText(r, i, copy, sizeof copy);
    require(n < 0 || (n < static_cast<int32_t>(sizeof copy) && copy[n] == '\0'), "a copied text is terminated");
    if (imapStringOf(r, i, &bytes, &length) && length < kImapNameRoom / 4) {
      checkName(bytes, length);
      checkQuoted(bytes, length);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t choice = data[0];
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  int32_t total = static_cast<int32_t>(size - 1);
  auto reader = std::make_unique<ImapReader>();
  Streamed streamed;
  ImapLiteralSink literalSink{&streamed, beginLiteral, literalPiece, endLiteral};
  ImapNumberSink numberSink{nullptr, takeNumber};
  if (choice & 1) reader->literalSink = &literalSink;
  if (choice & 2) reader->numberSink = &numberSink;
  if (choice & 4) reader->limits = ImapLimits{256, 4, 64};
  int32_t piece = 1 + (choice >> 3);  // 1..32 bytes at a time
  imapReaderReset(reader.get());
  int32_t at = 0;
  while (at < total) {
    int32_t n = total - at < piece ? total - at : piece;
    int32_t used = -1;
    int32_t rc = imapFeed(reader.get(), bytes + at, n, &used);
    require(used >= 0 && used <= n, "the reader takes no more than it is given");
    at += used;
    if (rc == kImapNeedMore) {
      require(used == n, "a reader that wants more took everything");
      continue;
    }
    if (rc != kImapReady) {
      require(rc == kImapSyntax || rc == kImapLineTooLong || rc == kImapTooDeep || rc == kImapLiteralTooLarge ||
                  rc == kImapResponseTooLarge || (rc == kImapSinkFailed && reader->sinkResult == -5),
              "a failure is one the reader documents");
      break;
    }
    require(!streamed.open, "no literal is open when a response is ready");
    checkRecord(*reader);
    runParsers(reader->response);
    imapReaderReset(reader.get());
  }
  return 0;
}
