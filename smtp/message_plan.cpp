// What a send with the charset or extensions setting decides before MAIL
// FROM: the texts are checked, the body encoding chosen, the size worked
// out, and the message held against what the server's EHLO reply offered.
#include "smtp/message_plan.h"

#include "codec/base64.h"
#include "codec/text_search.h"
#include "codec/utf8.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "smtp/smtp_states.h"

namespace qel {
namespace {

constexpr char kFileMark = '@';
// Bytes read per call while a body or attachment file is measured.
constexpr int32_t kMeasureChunk = 8192;
// What the header lines, the MIME lines and one attachment's part header
// may add beyond the caller's texts (a generous allowance: SIZE is an upper
// estimate).
constexpr uint32_t kHeaderAllowance = 1024;
constexpr uint32_t kPartAllowance = 512;
// Encoded header texts grow by up to this factor.
constexpr uint32_t kEncodedGrowth = 3;
// A quoted-printable line holds at most this much text before its soft
// break "=" (3 characters with the CR LF).
constexpr uint32_t kQuotedLineText = 73;
constexpr uint32_t kSoftBreakCost = 3;
constexpr uint32_t kBase64LineWithEnd = kBase64LineChars + 2;
constexpr int32_t kReplyLinePrefix = 4;
// RFC 5322's longest line; the CR before a line feed counts in the census.
constexpr uint32_t kLongestSevenBitLine = 999;  // "250-" or "250 "
constexpr uint32_t kBodyTypePlain = 0;
constexpr uint32_t kBodyTypeHtml = 2;
constexpr uint32_t kBodyTypeEnriched = 3;
constexpr uint32_t kBodyTypeIso8859 = 4;
constexpr uint32_t kBodyTypeCustom = 9;

uint32_t saturatingAdd(uint32_t a, uint32_t b) { return a + b < a ? UINT32_MAX : a + b; }
uint32_t saturatingTimes(uint32_t a, uint32_t factor) {
  return a > UINT32_MAX / factor ? UINT32_MAX : a * factor;
}

bool keywordIs(const char* line, const char* keyword) {
  int32_t n = textLength(keyword);
  if (!equalsNoCase(line, keyword, n)) return false;
  char after = line[n];
  return after == '\0' || after == ' ' || after == '\r' || after == '\n';
}

// The limit of a SIZE keyword; one beyond 32 bits is as good as none.
uint32_t sizeLimit(const char* digits) {
  uint64_t value = 0;
  for (; *digits >= '0' && *digits <= '9'; ++digits) {
    value = value * 10 + static_cast<uint64_t>(*digits - '0');
    if (value > UINT32_MAX) return 0;
  }
  return static_cast<uint32_t>(value);
}

// Feeds a file's bytes to the census; false when it cannot be opened.
bool measureFile(const char* path, TextCensus* census) {
  int32_t handle = plat::fileOpenRead(path);
  if (handle <= 0) return false;
  char chunk[kMeasureChunk];
  for (;;) {
    int32_t n = plat::fileRead(handle, chunk, kMeasureChunk);
    if (n <= 0) break;
    censusAdd(census, chunk, n);
  }
  plat::fileClose(handle);
  return true;
}

TextCensus bodyCensus(const ChannelRecord* record) {
  TextCensus census;
  const char* text = record->smtp->send->messageText;
  if (text == nullptr) return census;
  if (text[0] == kFileMark) {
    measureFile(text + 1, &census);
  } else {
    censusAdd(&census, text, textLength(text));
  }
  return census;
}

// Whether the text part is declared in the channel's charset (types 4 and
// 9 name their own).
bool partInChannelCharset(const ChannelRecord* record) {
  return record->smtp->bodyType != kBodyTypeIso8859 && record->smtp->bodyType != kBodyTypeCustom;
}

// Whether an address, between its "<" and ">", holds bytes outside ASCII.
bool listNeedsUtf8(const char* list) {
  bool inside = false;
  for (const char* c = list; c != nullptr && *c != '\0'; ++c) {
    if (*c == '<') inside = true;
    if (*c == '>') inside = false;
    if (inside && static_cast<uint8_t>(*c) >= 0x80) return true;
  }
  return false;
}

bool textsValidUtf8(const ChannelRecord* record) {
  const char* texts[] = {record->smtp->send->toList,      record->smtp->send->ccList,         record->smtp->send->bccList,   record->smtp->send->subjectText,
                         record->smtp->fromAddress, record->smtp->replyToAddress, record->smtp->send->attachList};
  for (const char* text : texts) {
    if (!isValidUtf8(text)) return false;
  }
  return true;
}

// A subject made of the caller's folded lines becomes one line of text
// again: a line break followed by white space is dropped (RFC 5322
// unfolding), any other becomes a space.
void unfoldSubject(char* subject) {
  if (subject == nullptr) return;
  char* to = subject;
  for (const char* from = subject; *from != '\0'; ++from) {
    if (*from != '\r' && *from != '\n') {
      *to++ = *from;
      continue;
    }
    while (from[1] == '\r' || from[1] == '\n') ++from;
    if (from[1] != ' ' && from[1] != '\t') *to++ = ' ';
  }
  *to = '\0';
}

// ASCII text whose lines all fit goes as it is; text mostly outside ASCII
// goes base64, where it takes a third more instead of up to three times.
BodyEncoding charsetEncoding(const TextCensus& body) {
  if (body.highBytes == 0 && body.longestLine <= kLongestSevenBitLine) return kBodySevenBit;
  return body.highBytes * 2 > body.bytes ? kBodyBase64 : kBodyQuoted;
}

uint32_t base64Size(uint32_t bytes) {
  return saturatingTimes((bytes + kBase64LineBytes - 1) / kBase64LineBytes, kBase64LineWithEnd);
}

uint32_t bodySize(const ChannelRecord* record, const TextCensus& body) {
  if (record->smtp->send->bodyEncoding == kBodyBase64) return base64Size(saturatingAdd(body.bytes, body.lineFeeds));
  uint32_t text = saturatingAdd(body.bytes, saturatingTimes(body.highBytes, 2));
  uint32_t breaks = saturatingTimes(text / kQuotedLineText + body.lineFeeds + 1, kSoftBreakCost);
  return saturatingAdd(text, breaks);
}

// The attachments as base64 parts, each file measured by reading it.
uint32_t attachmentsSize(const ChannelRecord* record) {
  uint32_t total = 0;
  const char* item = record->smtp->send->attachList;
  char path[kMeasureChunk / 8];
  while (item != nullptr && *item != '\0') {
    int32_t length = 0;
    while (item[length] != '\0' && item[length] != settings.attachSeparator) ++length;
    int32_t pathLength = 0;
    while (pathLength < length && item[pathLength] != settings.nameSeparator) ++pathLength;
    uint32_t fileBytes = 0;
    if (pathLength < static_cast<int32_t>(sizeof path)) {
      copyCount(path, item, pathLength);
      TextCensus file;
      measureFile(path, &file);
      fileBytes = file.bytes;
    }
    total = saturatingAdd(total, kPartAllowance + kEncodedGrowth * static_cast<uint32_t>(length));
    total = saturatingAdd(total, base64Size(fileBytes));
    item += length;
    if (*item != '\0') ++item;
  }
  return total;
}

uint32_t messageSize(const ChannelRecord* record, const TextCensus& body) {
  const char* texts[] = {record->smtp->send->toList,      record->smtp->send->ccList,         record->smtp->send->subjectText,
                         record->smtp->fromAddress, record->smtp->replyToAddress, extraHeader(record)};
  uint32_t total = kHeaderAllowance;
  for (const char* text : texts) {
    total = saturatingAdd(total, kEncodedGrowth * static_cast<uint32_t>(textLength(text)));
  }
  total = saturatingAdd(total, bodySize(record, body));
  return saturatingAdd(total, attachmentsSize(record));
}

// Whether a part goes out with bytes of 0x80 and above as they are: HTML
// text, or plain text with rawEightBit, in the body type's own form.
bool sendsEightBit(const ChannelRecord* record, const TextCensus& body) {
  if (record->smtp->send->bodyEncoding != kBodyAsBefore || body.highBytes == 0) return false;
  return record->smtp->bodyType == kBodyTypeHtml || (record->smtp->bodyType == kBodyTypePlain && settings.rawEightBit != 0);
}

}  // namespace

void noteServerExtensions(ChannelRecord* record) {
  record->smtp->offersSize = 0;
  record->smtp->offersEightBitMime = 0;
  record->smtp->offersSmtpUtf8 = 0;
  record->smtp->serverSizeLimit = 0;
  // The greeting was EHLO when ESMTP is on or STARTTLS needs it.
  if (record->smtp->useEsmtp == 0 && !startTlsNeedsEhlo(record)) return;
  for (const char* line = record->texts.replyText; *line != '\0';) {
    if (textLength(line) > kReplyLinePrefix) {
      const char* keyword = line + kReplyLinePrefix;
      if (keywordIs(keyword, "SIZE")) {
        record->smtp->offersSize = 1;
        if (keyword[4] == ' ') record->smtp->serverSizeLimit = sizeLimit(keyword + 5);
      }
      if (keywordIs(keyword, "8BITMIME")) record->smtp->offersEightBitMime = 1;
      if (keywordIs(keyword, "SMTPUTF8")) record->smtp->offersSmtpUtf8 = 1;
    }
    const char* end = findChar(line, '\n');
    if (end == nullptr) break;
    line = end + 1;
  }
}

int32_t planMessage(ChannelRecord* record) {
  record->smtp->send->bodyEncoding = kBodyAsBefore;
  record->smtp->send->sendsEightBit = 0;
  record->smtp->send->needsSmtpUtf8 = 0;
  record->smtp->send->lineEndedByLf = 0;
  record->smtp->send->lineFeedPending = 0;
  record->smtp->send->messageSizeEstimate = 0;
  if (!charsetOn(record) && record->smtp->useExtensions == 0) return 0;
  TextCensus body = bodyCensus(record);
  if (charsetOn(record)) {
    if (isUtf8Charset(record->smtp->charsetName)) {
      bool bodyValid = !partInChannelCharset(record) || censusValidUtf8(body);
      if (!bodyValid || !textsValidUtf8(record)) {
        logText(record, "Refused: text is not valid UTF-8\r\n");
        return kErrInvalidUtf8;
      }
    }
    bool ownEncoding = record->smtp->bodyType == kBodyTypeCustom && settings.customEncodingLength != 0;
    if (!ownEncoding) record->smtp->send->bodyEncoding = charsetEncoding(body);
    unfoldSubject(record->smtp->send->subjectText);
  }
  record->smtp->send->sendsEightBit = sendsEightBit(record, body) ? 1 : 0;
  const char* lists[] = {record->smtp->fromAddress, record->smtp->send->toList, record->smtp->send->ccList, record->smtp->send->bccList};
  for (const char* list : lists) {
    if (listNeedsUtf8(list)) record->smtp->send->needsSmtpUtf8 = 1;
  }
  if (record->smtp->send->needsSmtpUtf8 != 0 && record->smtp->offersSmtpUtf8 == 0) {
    logText(record, "Refused: an address needs SMTPUTF8, which the server does not offer\r\n");
    return kErrNeedsSmtpUtf8;
  }
  if (record->smtp->offersSize != 0) {
    record->smtp->send->messageSizeEstimate = messageSize(record, body);
    if (record->smtp->serverSizeLimit != 0 && record->smtp->send->messageSizeEstimate > record->smtp->serverSizeLimit) {
      logFormat(record, "Refused: message of %u bytes, server limit %u\r\n", record->smtp->send->messageSizeEstimate,
                record->smtp->serverSizeLimit);
      return kErrMessageTooBig;
    }
  }
  return 0;
}

void mailFromParameters(const ChannelRecord* record, char* out, int32_t room) {
  out[0] = '\0';
  if (!charsetOn(record) && record->smtp->useExtensions == 0) return;
  char size[32] = "";
  if (record->smtp->offersSize != 0) plat::formatText(size, sizeof size, " SIZE=%u", record->smtp->send->messageSizeEstimate);
  plat::formatText(out, room, "%s%s%s", size,
                   record->smtp->send->sendsEightBit != 0 && record->smtp->offersEightBitMime != 0 ? " BODY=8BITMIME" : "",
                   record->smtp->send->needsSmtpUtf8 != 0 && record->smtp->offersSmtpUtf8 != 0 ? " SMTPUTF8" : "");
}

const char* charsetPartType(const ChannelRecord* record, char* out, int32_t room) {
  const char* type = "text/plain";
  if (record->smtp->bodyType == kBodyTypeHtml) type = "text/html";
  if (record->smtp->bodyType == kBodyTypeEnriched) type = "text/enriched";
  plat::formatText(out, room, "Content-Type: %s; charset=%s", type, record->smtp->charsetName);
  return out;
}

const char* charsetPartEncoding(const ChannelRecord* record) {
  if (record->smtp->send->bodyEncoding == kBodyBase64) return "Content-Transfer-Encoding: base64";
  if (record->smtp->send->bodyEncoding == kBodySevenBit) return "Content-Transfer-Encoding: 7bit";
  return "Content-Transfer-Encoding: quoted-printable";
}

}  // namespace qel
