// One attachment part per item of the attachment list: delimiter, content
// type (inline images get a Content-ID for an HTML text to refer to),
// transfer encoding, disposition, then the file in base64 lines of 57
// bytes, many lines per step while the output buffer takes them. States 260
// to 265.
#include <cstring>
#include <iterator>

#include "codec/base64.h"
#include "codec/text_search.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "smtp/body_reader.h"
#include "smtp/message_plan.h"
#include "smtp/smtp_states.h"
#include "transport/output.h"

namespace qel {
namespace {

constexpr char kQuote = '"';
// File bytes read ahead: a whole number of base64 lines within bodyBuffer.
constexpr int32_t kAttachReadAhead = (kBodyBufferCap / kBase64LineBytes) * kBase64LineBytes;
constexpr int32_t kSuffixLength = 4;
// A base64 line on the wire, CR LF included, and the most lines of one
// step: those a whole output buffer holds.
constexpr int32_t kWireLineChars = kBase64LineChars + 2;
constexpr int32_t kBlockLines = kOutputBufferSize / kWireLineChars;
constexpr char kOctetStream[] = "Content-Type: application/octet-stream";

struct ImageType {
  const char* suffix;
  const char* contentType;
};
constexpr ImageType kImageTypes[] = {
    {".gif", "Content-Type: Image/GIF"},
    {".bmp", "Content-Type: Image/BMP"},
    {".tif", "Content-Type: Image/TIFF"},
    {".jpg", "Content-Type: Image/JPEG"},
};

// The name the message shows for the current item: its file name part,
// or the text after the name separator when there is one.
const char* shownName(const char* item) {
  const char* name = fileNamePart(item);
  const char* separator = findChar(name, settings.nameSeparator);
  return separator != nullptr ? separator + 1 : name;
}

// The image content type for a shown name, or null when it is no image (or
// the channel sends every file as a plain attachment).
const char* imageType(const ChannelRecord* record, const char* name) {
  int32_t length = textLength(name);
  if (record->smtp->imageTypes == 0 || length <= kSuffixLength) return nullptr;
  for (const ImageType& type : kImageTypes) {
    if (equalsNoCase(name + length - kSuffixLength, type.suffix, kSuffixLength)) return type.contentType;
  }
  return nullptr;
}

// 260: the delimiter of the next part. One blank line goes before it.
int32_t sendAttachDelimiter(ChannelRecord* record, uint32_t) {
  // With a charset the text part ends exactly where its text does, so no
  // blank line may go before the delimiter.
  const char* format = charsetOn(record) ? "--%s" : "\r\n--%s";
  return sentThen(record, sendFormatted(record, format, boundaryText), kStateAttachType);
}

// 261: cuts the item out of the list; its content type.
int32_t sendAttachType(ChannelRecord* record, uint32_t) {
  char* item = record->smtp->send->attachList;
  char* separator = findChar(item, settings.attachSeparator);
  if (separator != nullptr) {
    *separator = '\0';
    record->smtp->send->nextAttach = separator + 1;
  } else {
    record->smtp->send->nextAttach = item + textLength(item);
  }
  const char* name = shownName(item);
  const char* image = imageType(record, name);
  int32_t rc;
  if (encodesAttachName(record, name)) {
    if (image != nullptr) ++record->smtp->send->contentIdCount;
    rc = sendEncodedAttachType(record, image != nullptr ? image : kOctetStream, name,
                               image != nullptr ? record->smtp->send->contentIdCount : 0);
  } else if (image != nullptr) {
    ++record->smtp->send->contentIdCount;
    rc = sendFormatted(record, "%s; name=%c%s%c\r\nContent-ID: <message-root.%d>", image, kQuote, name, kQuote,
                       record->smtp->send->contentIdCount);
  } else {
    rc = sendFormatted(record, "%s; name=%c%s%c", kOctetStream, kQuote, name, kQuote);
  }
  if (rc != kStateContinue) return rc;
  record->smtp->send->inlinePart = image != nullptr ? 1 : 0;
  record->step.nextState = kStateAttachEncoding;
  return kStateContinue;
}

// 262
int32_t sendAttachEncoding(ChannelRecord* record, uint32_t) {
  return sentThen(record, sendFormatted(record, "%s", "Content-Transfer-Encoding: base64"), kStateAttachDisposition);
}

// 263: the disposition and the blank line that ends the part header.
int32_t sendAttachDisposition(ChannelRecord* record, uint32_t now) {
  const char* disposition = record->smtp->send->inlinePart != 0 ? "Content-Disposition: inline; filename="
                                                    : "Content-Disposition: attachment; filename=";
  const char* name = shownName(record->smtp->send->attachList);
  int32_t rc = encodesAttachName(record, name)
                   ? sendEncodedDisposition(record, record->smtp->send->inlinePart != 0, name)
                   : sendFormatted(record, "%s%c%s%c\r\n", disposition, kQuote, name, kQuote);
  if (rc != kStateContinue) return rc;
  record->step.dueTime = now;
  record->step.nextState = kStateAttachOpen;
  return kStateContinue;
}

// 264: opens the file: the item up to its name separator.
int32_t openAttachment(ChannelRecord* record, uint32_t) {
  char* path = record->smtp->send->attachList;
  char* separator = findChar(path, settings.nameSeparator);
  if (separator != nullptr) *separator = '\0';
  logFormat(record, "Opening attachment [%s]\r\n", path);
  closeSendFile(record);
  int32_t handle = plat::fileOpenRead(path);
  if (separator != nullptr) *separator = settings.nameSeparator;
  if (handle <= 0) return failState(record, handle, kErrCannotOpenFile);
  record->fileHandle = handle;
  record->smtp->send->bodyFromText = 0;
  resetBodyReader(record);
  record->step.awaitWritable = 1;
  record->step.nextState = kStateAttachLine;
  return kStateContinue;
}

// Reads ahead until a whole line's bytes are there or the file ends.
void fillAttachmentBuffer(ChannelRecord* record) {
  while (bodyUnread(record) < kBase64LineBytes && record->smtp->send->bodyEnded == kBodyGoing) {
    addCount(record->counts.attachBytesRead, refillSendBuffer(record, kAttachReadAhead));
  }
}

// The end of the file: the next attachment, or the end of the data.
int32_t finishAttachment(ChannelRecord* record) {
  bool failed = record->smtp->send->bodyEnded == kBodyReadFailed;
  closeSendFile(record);
  // An attachment cut short by a read error must not go out as complete.
  if (failed) return failState(record, 0, kErrCannotOpenFile);
  if (record->smtp->send->nextAttach == nullptr || record->smtp->send->nextAttach[0] == '\0') {
    record->step.nextState = kStateDataEnd;
  } else {
    record->smtp->send->attachList = record->smtp->send->nextAttach;
    record->step.nextState = kStateAttachDelimiter;
  }
  return kStateContinue;
}

// One base64 line of up to 57 file bytes: while a line delay is set.
int32_t sendOneAttachLine(ChannelRecord* record, uint32_t now) {
  fillAttachmentBuffer(record);
  int32_t count = bodyUnread(record);
  if (count > kBase64LineBytes) count = kBase64LineBytes;
  if (count == 0) return finishAttachment(record);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(record->texts.bodyBuffer + record->smtp->send->bodyPos);
  int32_t length = base64EncodeLine(bytes, record->texts.commandLine, count) + 2;
  record->smtp->send->bodyPos += count;
  addCount(record->counts.attachBytesSent, length);
  int32_t rc = sendAllBytes(record, record->texts.commandLine, length);
  if (rc != kStateContinue) return rc;
  linePace(record, now, settings.lineTimeout);
  return kStateContinue;
}

// Up to want file bytes into block: first what the read-ahead holds, then
// from the file, until want or the end of the file.
int32_t readAttachmentBlock(ChannelRecord* record, uint8_t* block, int32_t want) {
  int32_t have = bodyUnread(record) < want ? bodyUnread(record) : want;
  std::memcpy(block, record->texts.bodyBuffer + record->smtp->send->bodyPos, static_cast<size_t>(have));
  record->smtp->send->bodyPos += have;
  while (have < want && record->smtp->send->bodyEnded == kBodyGoing) {
    int32_t count = plat::fileRead(record->fileHandle, block + have, want - have);
    if (count <= 0) {
      record->smtp->send->bodyEnded = count < 0 ? kBodyReadFailed : kBodyEnded;
      break;
    }
    addCount(record->counts.attachBytesRead, count);
    have += count;
  }
  return have;
}

// As many base64 lines as the output buffer holds, encoded straight into
// it; a buffer without room for a line is written out first. The lines
// split the file at the same places as one line per step would.
int32_t sendAttachBlock(ChannelRecord* record, uint32_t now) {
  if (outputRoom(record->connection) < kWireLineChars) {
    int32_t rc = flushOutput(record->connection);
    if (rc < 0) return failState(record, rc, kErrSocketWrite);
  }
  int32_t lines = outputRoom(record->connection) / kWireLineChars;
  uint8_t block[kBlockLines * kBase64LineBytes];
  int32_t count = readAttachmentBlock(record, block, lines * kBase64LineBytes);
  if (count == 0) return finishAttachment(record);
  int32_t length = base64EncodeLines(block, outputTail(record->connection), count);
  takeOutput(record->connection, length);
  addCount(record->counts.attachBytesSent, length);
  linePace(record, now, settings.lineTimeout);
  return kStateContinue;
}

// 265, repeated: the file in base64 lines, many per step while the output
// buffer takes them.
int32_t sendAttachLine(ChannelRecord* record, uint32_t now) {
  return outputTakesBlocks(record->connection) ? sendAttachBlock(record, now) : sendOneAttachLine(record, now);
}

constexpr StateEntry kAttachmentStates[] = {
    {kStateAttachDelimiter, sendAttachDelimiter}, {kStateAttachType, sendAttachType},
    {kStateAttachEncoding, sendAttachEncoding},   {kStateAttachDisposition, sendAttachDisposition},
    {kStateAttachOpen, openAttachment},           {kStateAttachLine, sendAttachLine},
};
const StateRegistration registered(kAttachmentStates, std::size(kAttachmentStates));

}  // namespace
}  // namespace qel
