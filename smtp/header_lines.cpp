// Header fields on the wire. Every field goes through HeaderFolder into the
// channel's commandLine, which is sent whenever it fills, so a To list or
// subject of any length goes out whole. Without the charset a field keeps
// the caller's exact text and folds only where a line would pass 998
// characters; with it, lines fold at 78 and texts outside ASCII go as
// encoded words.
#include "codec/address.h"
#include "codec/header_words.h"
#include "codec/utf8.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "smtp/message_plan.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

// commandLine is sent when fewer than this many bytes are left in it (a
// byte and the period put before it).
constexpr int32_t kFlushReserve = 4;
// Room for one address item of a list while it is written: its last word
// carries the comma that follows it.
constexpr int32_t kItemRoom = 512;

// Collects header bytes in commandLine, doubles a period that begins a
// line, and sends whenever the buffer fills.
class WireSink final : public TextSink {
 public:
  explicit WireSink(ChannelRecord* record) : record_(record), buffer_(record->texts.commandLine) {}

  bool put(const char* bytes, int32_t n) override {
    for (int32_t i = 0; i < n; ++i) {
      if (lineStart_ && bytes[i] == '.') buffer_[fill_++] = '.';
      buffer_[fill_++] = bytes[i];
      lineStart_ = bytes[i] == '\r' || bytes[i] == '\n';
      if (fill_ >= kCommandLineCap - kFlushReserve && !flush()) return false;
    }
    return true;
  }

  // Sends what is collected. kStateContinue, or failState's result.
  bool flush() {
    if (fill_ > 0 && result_ == kStateContinue) result_ = sendAllBytes(record_, buffer_, fill_);
    fill_ = 0;
    return result_ == kStateContinue;
  }

  int32_t result() const { return result_; }

 private:
  ChannelRecord* record_;
  char* buffer_;
  int32_t fill_ = 0;
  bool lineStart_ = true;
  int32_t result_ = kStateContinue;
};

bool isWhite(char c) { return c == ' ' || c == '\t'; }

// Trims white space from both ends of text[*start, *end).
void trim(const char* text, int32_t* start, int32_t* end) {
  while (*start < *end && isWhite(text[*start])) ++*start;
  while (*end > *start && isWhite(text[*end - 1])) --*end;
}

// Whether a caller's text must go as encoded words: it holds bytes outside
// ASCII, or it looks like an encoded word itself (a display name "Ann
// =?utf-8?B?QWRtaW4=?=" would show as "Ann Admin").
bool needsEncodedWords(const char* text, int32_t n) { return holdsHighBytes(text, n) || holdsEncodedWordMark(text, n); }

// A display name that needs it as encoded words; the quotes of a quoted
// name are syntax, not text.
bool putDisplayName(HeaderFolder* folder, const char* charset, const char* name, int32_t n) {
  if (!needsEncodedWords(name, n)) return putPlainText(folder, name, n, true);
  char bare[kItemRoom];
  if (n >= 2 && name[0] == '"' && name[n - 1] == '"' && n < kItemRoom) {
    int32_t k = 0;
    for (int32_t i = 1; i < n - 1; ++i) {
      if (name[i] == '\\' && i + 1 < n - 1) ++i;
      bare[k++] = name[i];
    }
    return putEncodedWords(folder, charset, bare, k, WordPlace::phrase);
  }
  return putEncodedWords(folder, charset, name, n, WordPlace::phrase);
}

// An item in ASCII goes exactly as the caller wrote it, with the comma
// when more items follow.
bool putPlainItem(HeaderFolder* folder, const char* item, int32_t n, bool first, bool last) {
  char text[kItemRoom];
  if (last || n + 1 >= kItemRoom) {
    if (!putPlainText(folder, item, n, first, '\0', true)) return false;
    return last || folder->token(nullptr, 0, ",", 1);
  }
  copyCount(text, item, n);
  text[n] = ',';
  return putPlainText(folder, text, n + 1, first, '\0', true);
}

// One item of an address list: the display name, as encoded words when it
// needs them, then the address and anything after it as they are, with the
// comma when more items follow.
bool putAddressItem(HeaderFolder* folder, const char* charset, const char* item, int32_t n, bool first, bool last) {
  if (!needsEncodedWords(item, n)) return putPlainItem(folder, item, n, first, last);
  int32_t start = 0;
  int32_t end = n;
  trim(item, &start, &end);
  int32_t open = start;
  while (open < end && item[open] != '<') ++open;
  if (open == end) open = start;
  int32_t nameEnd = open;
  trim(item, &start, &nameEnd);
  if (nameEnd > start && !putDisplayName(folder, charset, item + start, nameEnd - start)) return false;
  char rest[kItemRoom];
  int32_t restLength = end - open;
  if (restLength + 1 < kItemRoom) {
    copyCount(rest, item + open, restLength);
    if (!last) rest[restLength++] = ',';
    return putPlainText(folder, rest, restLength, true);
  }
  if (!putPlainText(folder, item + open, restLength, true)) return false;
  return last || folder->token(nullptr, 0, ",", 1);
}

bool putAddressList(HeaderFolder* folder, const char* charset, const char* list) {
  const char* item = list;
  for (bool first = true;; first = false) {
    const char* next = findListSeparator(item);
    int32_t n = next != nullptr ? static_cast<int32_t>(next - item) : textLength(item);
    bool last = next == nullptr;
    if (!putAddressItem(folder, charset, item, n, first, last)) return false;
    if (last) return true;
    item = next + 1;
  }
}

bool putCharsetField(HeaderFolder* folder, const char* charset, const char* text, FieldKind kind) {
  int32_t n = textLength(text);
  switch (kind) {
    case FieldKind::addresses:
      return putAddressList(folder, charset, text);
    case FieldKind::text:
      if (!holdsEncodedWordMark(text, n) && fitsAsPlainText(text, n, kFoldColumn)) {
        return putPlainText(folder, text, n, true);
      }
      return putEncodedWords(folder, charset, text, n, WordPlace::text);
    case FieldKind::ownLines:
      break;
  }
  return putPlainText(folder, text, n, false);
}

void writeHeaderField(TextSink* sink, const ChannelRecord* record, const char* name, const char* text,
                      FieldKind kind) {
  const bool folding = charsetOn(record) && kind != FieldKind::ownLines;
  HeaderFolder folder(sink, folding ? kFoldColumn : kHardLineLimit);
  folder.field(name);
  if (folding) {
    putCharsetField(&folder, record->smtp->charsetName, text, kind);
  } else {
    char separator = kind == FieldKind::addresses ? settings.recipientSeparator : '\0';
    putPlainText(&folder, text, textLength(text), name != nullptr, separator);
  }
  folder.end();
}

// Takes header bytes in place of the wire and keeps the length of the
// longest line.
class LineMeter final : public TextSink {
 public:
  bool put(const char* bytes, int32_t n) override {
    for (int32_t i = 0; i < n; ++i) {
      column_ = bytes[i] == '\r' || bytes[i] == '\n' ? 0 : column_ + 1;
      if (column_ > longest_) longest_ = column_;
    }
    return true;
  }
  int32_t longest() const { return longest_; }

 private:
  int32_t column_ = 0;
  int32_t longest_ = 0;
};

// What an attachment's part header adds to its shown name on the longest
// line without the encoded forms: 'Content-Type: application/octet-stream;
// name=""'.
constexpr int32_t kAttachLineAround = 47;

// The longest shown name in the attachment list that goes as it is.
int32_t longestPlainAttachName(const ChannelRecord* record) {
  int32_t longest = 0;
  const char* item = record->smtp->send->attachList;
  while (item != nullptr && *item != '\0') {
    int32_t length = 0;
    while (item[length] != '\0' && item[length] != settings.attachSeparator) ++length;
    // The name the part shows: after the last directory separator, or
    // after the name separator when there is one (as the attachment states
    // take it).
    int32_t start = 0;
    for (int32_t i = 1; i < length; ++i) {
      if (plat::isPathSeparator(item[i])) start = i + 1;
    }
    for (int32_t i = start; i < length; ++i) {
      if (item[i] == settings.nameSeparator) {
        start = i + 1;
        break;
      }
    }
    const char* name = item + start;
    int32_t nameLength = length - start;
    bool encoded = charsetOn(record) && needsEncodedWords(name, nameLength);
    if (!encoded && nameLength > longest) longest = nameLength;
    item += length;
    if (*item != '\0') ++item;
  }
  return longest;
}

}  // namespace

int32_t sendHeaderField(ChannelRecord* record, const char* name, const char* text, FieldKind kind) {
  WireSink sink(record);
  writeHeaderField(&sink, record, name, text, kind);
  sink.flush();
  return sink.result();
}

int32_t checkHeaderLines(const ChannelRecord* record) {
  LineMeter meter;
  // The fields the header states send, in their order.
  const struct {
    bool sent;
    const char* name;
    const char* text;
    FieldKind kind;
  } fields[] = {
      {settings.omitToHeader == 0, "To", record->smtp->send->toList, FieldKind::addresses},
      {record->smtp->fromAddress[0] != '\0', "From", record->smtp->fromAddress, FieldKind::addresses},
      {record->smtp->replyToAddress[0] != '\0', "Reply-To", record->smtp->replyToAddress, FieldKind::addresses},
      {record->smtp->send->subjectText != nullptr, "Subject", record->smtp->send->subjectText, FieldKind::text},
      {extraHeader(record) != nullptr, nullptr, extraHeader(record), FieldKind::ownLines},
      {record->smtp->send->ccList != nullptr, "CC", record->smtp->send->ccList, FieldKind::addresses},
  };
  for (const auto& field : fields) {
    if (field.sent) writeHeaderField(&meter, record, field.name, field.text, field.kind);
  }
  int32_t longest = meter.longest();
  int32_t attachLine = longestPlainAttachName(record) + kAttachLineAround;
  if (attachLine > longest) longest = attachLine;
  return longest > kHardLineLimit ? kErrHeaderLineTooLong : 0;
}

bool encodesAttachName(const ChannelRecord* record, const char* name) {
  return charsetOn(record) && needsEncodedWords(name, textLength(name));
}

int32_t sendEncodedAttachType(ChannelRecord* record, const char* typeLine, const char* name, int32_t contentId) {
  WireSink sink(record);
  HeaderFolder folder(&sink, kFoldColumn);
  folder.field(nullptr);
  folder.token(nullptr, 0, typeLine, textLength(typeLine));
  folder.token(nullptr, 0, ";", 1);
  folder.token(" ", 1, "name=\"", 6);
  putEncodedWords(&folder, record->smtp->charsetName, name, textLength(name), WordPlace::phrase, true);
  folder.token(nullptr, 0, "\"", 1);
  folder.end();
  if (contentId > 0) {
    char line[kItemRoom / 4];
    plat::formatText(line, sizeof line, "Content-ID: <message-root.%d>\r\n", contentId);
    sink.put(line, textLength(line));
  }
  sink.flush();
  return sink.result();
}

int32_t sendEncodedDisposition(ChannelRecord* record, bool inlinePart, const char* name) {
  WireSink sink(record);
  HeaderFolder folder(&sink, kFoldColumn);
  folder.field("Content-Disposition");
  const char* kind = inlinePart ? "inline" : "attachment";
  folder.token(" ", 1, kind, textLength(kind));
  putExtendedParameter(&folder, "filename", record->smtp->charsetName, name, textLength(name));
  folder.end();
  folder.end();
  sink.flush();
  return sink.result();
}

}  // namespace qel
