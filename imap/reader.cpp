// The IMAP response reader: one state per place in a response, one byte at
// a time outside literals, literal bytes in bulk.
#include "imap/reader.h"

#include <cstring>

namespace qel {
namespace {

enum State : uint8_t {
  sStart,          // the first byte of a response
  sAfterMarker,    // "*" read, its space due
  sTag,            // the tag of a tagged response
  sContinuation,   // "+" read
  sRespTextStart,  // after a status word: a response code or the text
  sCodeName,       // "[" read: the code's name
  sCodeText,       // the rest of a code kept as text, up to "]"
  sAfterCode,      // "]" read
  sTextStart,      // the text may begin
  sText,           // the text, up to the line end
  sToken,          // between items
  sAtom,
  sSection,        // the "[...]" of a fetch item
  sQuoted,
  sQuotedEscape,
  sTilde,          // "~": a literal8 or an atom
  sLiteralSize,
  sLiteralCR,      // "}" read, the line end due
  sLiteralLF,
  sLiteralBody,
  sLineLF,         // CR read, LF due
};

constexpr int32_t kDepthCap = 64;
constexpr uint64_t kLargestSize = 0xFFFFFFFFu;

// The codes whose arguments are read as items; any other code's text is
// kept as one codeText item, whatever it holds.
constexpr const char* kSplitCodes[] = {"PERMANENTFLAGS", "BADCHARSET", "CAPABILITY", "UIDVALIDITY", "UIDNEXT",
                                       "UNSEEN", "APPENDUID", "COPYUID", "HIGHESTMODSEQ", "MODIFIED"};

constexpr const char* kStatusWords[] = {"OK", "NO", "BAD", "PREAUTH", "BYE"};

bool control(uint8_t c) { return c < 0x20 || c == 0x7F; }

bool sameWord(const char* bytes, uint32_t length, const char* word) {
  uint32_t i = 0;
  for (; i < length && word[i] != '\0'; ++i) {
    char c = bytes[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i]) return false;
  }
  return i == length && word[i] == '\0';
}

bool startsWith(const char* bytes, uint32_t length, const char* prefix) {
  uint32_t n = static_cast<uint32_t>(std::strlen(prefix));
  return length >= n && sameWord(bytes, n, prefix);
}

// Whether a fetch item names message content: its literal may be streamed.
bool bodySection(const char* bytes, uint32_t length) {
  return startsWith(bytes, length, "BODY[") || startsWith(bytes, length, "BINARY[") ||
         sameWord(bytes, length, "RFC822") || sameWord(bytes, length, "RFC822.TEXT") ||
         sameWord(bytes, length, "RFC822.HEADER");
}

class Step {
 public:
  explicit Step(ImapReader* reader) : r_(reader), resp_(reader->response) {}

  // Takes one byte outside a literal's bytes.
  int32_t take(uint8_t c) {
    if (!r_->search && ++r_->line > r_->limits.line) return kImapLineTooLong;
    return dispatch(c);
  }

  // Literal bytes: as many of bytes[0..n) as the literal still has.
  int32_t literalBytes(const char* bytes, int32_t n, int32_t* taken) {
    uint32_t take = r_->literalLeft < static_cast<uint32_t>(n) ? r_->literalLeft : static_cast<uint32_t>(n);
    *taken = static_cast<int32_t>(take);
    if (r_->literalStreamed) {
      ImapLiteralSink* sink = r_->literalSink;
      int32_t rc = sink->piece ? sink->piece(sink->context, bytes, static_cast<int32_t>(take)) : 0;
      if (rc < 0) return sinkFailed(rc);
    } else {
      std::memcpy(resp_.bytes + resp_.byteCount, bytes, take);
      resp_.byteCount += static_cast<int32_t>(take);
      resp_.items[r_->item].length += take;
    }
    r_->literalLeft -= take;
    return r_->literalLeft == 0 ? literalDone() : kImapNeedMore;
  }

 private:
  int32_t dispatch(uint8_t c) {
    switch (r_->state) {
      case sStart: return start(c);
      case sAfterMarker: return c == ' ' ? to(sToken) : kImapSyntax;
      case sTag: return tag(c);
      case sContinuation:
        if (c == ' ') return to(sRespTextStart);
        return respTextStart(c);
      case sRespTextStart: return respTextStart(c);
      case sCodeName: return codeName(c);
      case sCodeText: return codeText(c);
      case sAfterCode:
        if (c == ' ') return to(sTextStart);
        return textStart(c);
      case sTextStart: return textStart(c);
      case sText: return text(c);
      case sToken: return token(c);
      case sAtom: return atom(c);
      case sSection: return section(c);
      case sQuoted: return quoted(c);
      case sQuotedEscape: return quotedEscape(c);
      case sTilde: return tilde(c);
      case sLiteralSize: return literalSize(c);
      case sLiteralCR:
        if (c == '\r') return to(sLiteralLF);
        return c == '\n' ? literalStart() : kImapSyntax;
      case sLiteralLF: return c == '\n' ? literalStart() : kImapSyntax;
      case sLineLF: return c == '\n' ? lineEnd() : kImapSyntax;
      default: return kImapSyntax;
    }
  }

  int32_t to(uint8_t state) {
    r_->state = state;
    return kImapNeedMore;
  }

  int32_t sinkFailed(int32_t rc) {
    r_->sinkResult = rc;
    return kImapSinkFailed;
  }

  int32_t begin(ImapItemType type) {
    if (resp_.itemCount >= kImapItemCap) return kImapResponseTooLarge;
    r_->item = resp_.itemCount++;
    resp_.items[r_->item] = ImapItem{type, r_->depth, static_cast<uint32_t>(resp_.byteCount), 0};
    return kImapNeedMore;
  }

  int32_t hold(uint8_t c) {
    if (resp_.byteCount >= kImapByteCap) return kImapResponseTooLarge;
    resp_.bytes[resp_.byteCount++] = static_cast<char>(c);
    ++resp_.items[r_->item].length;
    return kImapNeedMore;
  }

  int32_t beginWith(ImapItemType type, uint8_t c, uint8_t state) {
    int32_t rc = begin(type);
    if (rc == kImapNeedMore) rc = hold(c);
    return rc == kImapNeedMore ? to(state) : rc;
  }

  // CR or LF where a line may end.
  int32_t lineBreak(uint8_t c) { return c == '\r' ? to(sLineLF) : lineEnd(); }

  int32_t lineEnd() {
    if (r_->depth != 0 || r_->inCode) return kImapSyntax;
    if (resp_.kind != ImapKind::continuation && resp_.itemCount <= resp_.first) return kImapSyntax;
    if (resp_.kind == ImapKind::tagged && resp_.status == ImapStatus::none) return kImapSyntax;
    r_->state = sStart;
    return kImapReady;
  }

  int32_t start(uint8_t c) {
    if (c == '*') {
      resp_.kind = ImapKind::untagged;
      return to(sAfterMarker);
    }
    if (c == '+') {
      resp_.kind = ImapKind::continuation;
      return to(sContinuation);
    }
    if (control(c) || c >= 0x80 || std::strchr("(){ %\"\\]", c) != nullptr) return kImapSyntax;
    resp_.kind = ImapKind::tagged;
    resp_.first = 1;
    return beginWith(ImapItemType::atom, c, sTag);
  }

  int32_t tag(uint8_t c) {
    if (c == ' ') return to(sToken);
    if (control(c) || c >= 0x80 || std::strchr("(){%\"\\+", c) != nullptr) return kImapSyntax;
    return hold(c);
  }

  int32_t respTextStart(uint8_t c) {
    if (c == '[') {
      r_->inCode = true;
      resp_.codeItem = resp_.itemCount;
      int32_t rc = begin(ImapItemType::codeName);
      return rc == kImapNeedMore ? to(sCodeName) : rc;
    }
    return textStart(c);
  }

  int32_t codeName(uint8_t c) {
    if (c == ' ' || c == ']') {
      if (resp_.items[r_->item].length == 0) return kImapSyntax;
      if (c == ']') return codeEnd();
      const ImapItem& name = resp_.items[r_->item];
      for (const char* split : kSplitCodes) {
        if (sameWord(resp_.bytes + name.offset, name.length, split)) {
          r_->codeSplit = true;
          return to(sToken);
        }
      }
      int32_t rc = begin(ImapItemType::codeText);
      return rc == kImapNeedMore ? to(sCodeText) : rc;
    }
    if (control(c) || std::strchr("(){\"", c) != nullptr) return kImapSyntax;
    return hold(c);
  }

  int32_t codeText(uint8_t c) {
    if (c == ']') return codeEnd();
    if (c == '\r' || c == '\n' || c == 0) return kImapSyntax;
    return hold(c);
  }

  int32_t codeEnd() {
    r_->inCode = false;
    resp_.codeEnd = resp_.itemCount;
    return to(sAfterCode);
  }

  int32_t textStart(uint8_t c) {
    if (c == '\r' || c == '\n') return lineBreak(c);
    if (c == 0) return kImapSyntax;
    resp_.textItem = resp_.itemCount;
    return beginWith(ImapItemType::text, c, sText);
  }

  int32_t text(uint8_t c) {
    if (c == '\r' || c == '\n') return lineBreak(c);
    return c == 0 ? kImapSyntax : hold(c);
  }

  int32_t token(uint8_t c) {
    switch (c) {
      case ' ': return kImapNeedMore;
      case '(': return listOpen();
      case ')': return listClose();
      case '"': {
        int32_t rc = begin(ImapItemType::quoted);
        return rc == kImapNeedMore ? to(sQuoted) : rc;
      }
      case '{':
        return literalOpen();
      case '~': return to(sTilde);
      case '\r':
      case '\n': return lineBreak(c);
      default: break;
    }
    if (c == ']' && r_->inCode) return r_->depth == 0 ? codeEnd() : kImapSyntax;
    if (control(c)) return kImapSyntax;
    return beginWith(ImapItemType::atom, c, sAtom);
  }

  int32_t listOpen() {
    int32_t limit = r_->limits.depth < kDepthCap ? r_->limits.depth : kDepthCap;
    if (r_->depth >= limit) return kImapTooDeep;
    int32_t rc = begin(ImapItemType::listOpen);
    if (rc != kImapNeedMore) return rc;
    r_->openLists[r_->depth++] = r_->item;
    return kImapNeedMore;
  }

  int32_t listClose() {
    if (r_->depth == 0) return kImapSyntax;
    int32_t open = r_->openLists[--r_->depth];
    int32_t rc = begin(ImapItemType::listClose);
    if (rc != kImapNeedMore) return rc;
    resp_.items[open].length = static_cast<uint32_t>(r_->item);
    return kImapNeedMore;
  }

  int32_t atom(uint8_t c) {
    bool ends = c == ' ' || c == '(' || c == ')' || c == '"' || c == '{' || c == '\r' || c == '\n' ||
                (c == ']' && r_->inCode);
    if (!ends) {
      if (control(c)) return kImapSyntax;
      // Only a fetch item has a section ("BODY[HEADER.FIELDS (TO)]"), which
      // may hold spaces; elsewhere "[" is an ordinary character of a name.
      if (c == '[' && r_->fetch) r_->state = sSection;
      return hold(c);
    }
    int32_t rc = atomDone();
    if (rc != kImapNeedMore) return rc;
    // The space after a status word is taken here: the text starts after it.
    return c == ' ' && r_->state == sRespTextStart ? kImapNeedMore : dispatch(c);
  }

  int32_t section(uint8_t c) {
    if (c == '\r' || c == '\n' || c == 0) return kImapSyntax;
    if (c == ']') r_->state = sAtom;
    return hold(c);
  }

  // An atom has ended: what it is, and what it tells about the response.
  int32_t atomDone() {
    r_->state = sToken;
    ImapItem& item = resp_.items[r_->item];
    const char* bytes = resp_.bytes + item.offset;
    bool digits = item.length > 0;
    for (uint32_t i = 0; i < item.length; ++i) digits = digits && bytes[i] >= '0' && bytes[i] <= '9';
    if (digits) item.type = ImapItemType::number;
    if (sameWord(bytes, item.length, "NIL")) item.type = ImapItemType::nil;
    if (r_->item == resp_.first && resp_.kind != ImapKind::continuation) return firstWord(item, bytes);
    if (r_->item == resp_.first + 1 && resp_.kind == ImapKind::untagged &&
        resp_.items[resp_.first].type == ImapItemType::number && sameWord(bytes, item.length, "FETCH")) {
      r_->fetch = true;
    }
    if (r_->search && digits && r_->depth == 0) return searchNumber(item, bytes);
    return kImapNeedMore;
  }

  int32_t firstWord(const ImapItem& item, const char* bytes) {
    for (uint8_t s = 0; s < 5; ++s) {
      if (!sameWord(bytes, item.length, kStatusWords[s])) continue;
      if (resp_.kind == ImapKind::tagged && s > 2) return kImapSyntax;
      resp_.status = static_cast<ImapStatus>(s + 1);
      resp_.statusItem = r_->item;
      r_->state = sRespTextStart;
      return kImapNeedMore;
    }
    if (resp_.kind == ImapKind::tagged) return kImapSyntax;
    if (r_->numberSink != nullptr && sameWord(bytes, item.length, "SEARCH")) r_->search = true;
    return kImapNeedMore;
  }

  int32_t searchNumber(const ImapItem& item, const char* bytes) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < item.length; ++i) {
      value = value * 10 + static_cast<uint32_t>(bytes[i] - '0');
      if (value > kLargestSize) return kImapSyntax;
    }
    resp_.byteCount = static_cast<int32_t>(item.offset);
    --resp_.itemCount;
    ImapNumberSink* sink = r_->numberSink;
    int32_t rc = sink->number ? sink->number(sink->context, static_cast<uint32_t>(value)) : 0;
    return rc < 0 ? sinkFailed(rc) : kImapNeedMore;
  }

  int32_t quoted(uint8_t c) {
    if (c == '"') return to(sToken);
    if (c == '\\') return to(sQuotedEscape);
    if (c == '\r' || c == '\n' || c == 0) return kImapSyntax;
    return hold(c);
  }

  // Only a quote and a backslash are escaped; anything else keeps its
  // backslash, as a server that forgot the rule meant it.
  int32_t quotedEscape(uint8_t c) {
    if (c == '\r' || c == '\n' || c == 0) return kImapSyntax;
    if (c != '"' && c != '\\') {
      int32_t rc = hold('\\');
      if (rc != kImapNeedMore) return rc;
    }
    r_->state = sQuoted;
    return hold(c);
  }

  int32_t tilde(uint8_t c) {
    if (c == '{') return literalOpen();  // literal8: the same framing, NUL bytes allowed
    int32_t rc = beginWith(ImapItemType::atom, '~', sAtom);
    return rc == kImapNeedMore ? dispatch(c) : rc;
  }

  int32_t literalOpen() {
    r_->literalSize = 0;
    r_->sizeDigits = false;
    return to(sLiteralSize);
  }

  // The digits of "{n}". A "+" (a literal that needs no go-ahead) is only
  // for what a client sends; from a server it is a fault.
  int32_t literalSize(uint8_t c) {
    if (c >= '0' && c <= '9') {
      r_->literalSize = r_->literalSize * 10 + (c - '0');
      r_->sizeDigits = true;
      return r_->literalSize > kLargestSize ? kImapLiteralTooLarge : kImapNeedMore;
    }
    if (c == '}' && r_->sizeDigits) return to(sLiteralCR);
    return kImapSyntax;
  }

  // The line that announced the literal has ended: its bytes follow.
  int32_t literalStart() {
    r_->line = 0;
    r_->literalLeft = static_cast<uint32_t>(r_->literalSize);
    int32_t previous = resp_.itemCount - 1;
    const ImapItem* before = previous >= resp_.first ? &resp_.items[previous] : nullptr;
    r_->literalStreamed = r_->fetch && r_->literalSink != nullptr && r_->depth == 1 && before != nullptr &&
                          before->type == ImapItemType::atom && before->depth == 1 &&
                          bodySection(resp_.bytes + before->offset, before->length);
    if (r_->literalStreamed) {
      int32_t rc = begin(ImapItemType::streamed);
      if (rc != kImapNeedMore) return rc;
      resp_.items[r_->item].length = r_->literalLeft;
      ImapLiteralSink* sink = r_->literalSink;
      rc = sink->begin ? sink->begin(sink->context, resp_.bytes + before->offset,
                                     static_cast<int32_t>(before->length), r_->literalLeft)
                       : 0;
      if (rc < 0) return sinkFailed(rc);
    } else {
      uint32_t limit = static_cast<uint32_t>(r_->limits.keptLiteral);
      if (r_->literalLeft > limit) return kImapLiteralTooLarge;
      if (r_->literalLeft > static_cast<uint32_t>(kImapByteCap - resp_.byteCount)) return kImapResponseTooLarge;
      int32_t rc = begin(ImapItemType::literal);
      if (rc != kImapNeedMore) return rc;
    }
    r_->state = sLiteralBody;
    return r_->literalLeft == 0 ? literalDone() : kImapNeedMore;
  }

  int32_t literalDone() {
    r_->state = sToken;
    if (!r_->literalStreamed) return kImapNeedMore;
    ImapLiteralSink* sink = r_->literalSink;
    int32_t rc = sink->end ? sink->end(sink->context) : 0;
    return rc < 0 ? sinkFailed(rc) : kImapNeedMore;
  }

  ImapReader* r_;
  ImapResponse& resp_;
};

}  // namespace

void imapReaderReset(ImapReader* reader) {
  ImapResponse& response = reader->response;
  response.kind = ImapKind::none;
  response.status = ImapStatus::none;
  response.first = 0;
  response.statusItem = response.codeItem = response.codeEnd = response.textItem = -1;
  response.itemCount = response.byteCount = 0;
  reader->sinkResult = 0;
  reader->state = sStart;
  reader->depth = 0;
  reader->inCode = reader->codeSplit = reader->fetch = reader->search = false;
  reader->sizeDigits = reader->literalStreamed = false;
  reader->item = -1;
  reader->line = 0;
  reader->literalSize = 0;
  reader->literalLeft = 0;
  reader->result = kImapNeedMore;
}

int32_t imapFeed(ImapReader* reader, const char* bytes, int32_t n, int32_t* used) {
  *used = 0;
  if (reader->result != kImapNeedMore) return reader->result;
  Step step(reader);
  int32_t i = 0;
  int32_t rc = kImapNeedMore;
  while (i < n && rc == kImapNeedMore) {
    if (reader->state == sLiteralBody) {
      int32_t taken = 0;
      rc = step.literalBytes(bytes + i, n - i, &taken);
      i += taken;
    } else {
      rc = step.take(static_cast<uint8_t>(bytes[i++]));
    }
  }
  *used = i;
  if (rc != kImapNeedMore) reader->result = rc;
  return rc;
}

}  // namespace qel
