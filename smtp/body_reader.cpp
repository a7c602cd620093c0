// Read-ahead of body text, body files and attachment files in bodyBuffer.
#include "smtp/body_reader.h"

#include <cstring>

#include "frame/settings.h"
#include "platform/platform.h"

namespace qel {
namespace {

// Copies up to room characters of the message text, stopping at its NUL,
// and moves messageText past them.
int32_t copyFromText(ChannelRecord* record, char* destination, int32_t room) {
  const char* text = record->smtpSend->messageText;
  if (text == nullptr) return 0;
  int32_t count = 0;
  while (count < room && text[count] != '\0') {
    destination[count] = text[count];
    ++count;
  }
  record->smtpSend->messageText = text + count;
  return count;
}

// Refills as nextBodyChar does when few bytes are left.
void refillIfLow(ChannelRecord* record) {
  if (record->smtpSend->bodyEnded == kBodyGoing && bodyUnread(record) <= bodyLineLimit()) {
    addCount(record->messageBytesRead, refillSendBuffer(record, kBodyBufferCap));
  }
}

}  // namespace

void resetBodyReader(ChannelRecord* record) {
  record->smtpSend->bodyEnded = kBodyGoing;
  record->smtpSend->bodyPos = 0;
  record->smtpSend->bodyFill = 0;
}

int32_t refillSendBuffer(ChannelRecord* record, int32_t capacity) {
  if (capacity > kBodyBufferCap) capacity = kBodyBufferCap;
  int32_t unread = bodyUnread(record);
  if (unread > 0 && record->smtpSend->bodyPos > 0) std::memmove(record->bodyBuffer, record->bodyBuffer + record->smtpSend->bodyPos, unread);
  record->smtpSend->bodyPos = 0;
  record->smtpSend->bodyFill = unread;
  int32_t room = capacity - unread;
  // A full buffer is not the end of the source.
  if (room <= 0 || record->smtpSend->bodyEnded != kBodyGoing) return 0;
  char* destination = record->bodyBuffer + unread;
  int32_t count = record->smtpSend->bodyFromText != 0 ? copyFromText(record, destination, room)
                                            : plat::fileRead(record->fileHandle, destination, room);
  if (count <= 0) {
    record->smtpSend->bodyEnded = count < 0 ? kBodyReadFailed : kBodyEnded;
    return 0;
  }
  record->smtpSend->bodyFill += count;
  return count;
}

int32_t nextBodyCharRefilling(ChannelRecord* record) {
  refillIfLow(record);
  if (record->smtpSend->bodyPos >= record->smtpSend->bodyFill) return kBodyEnd;
  return static_cast<uint8_t>(record->bodyBuffer[record->smtpSend->bodyPos++]);
}

int32_t peekBodyChar(ChannelRecord* record) {
  refillIfLow(record);
  if (record->smtpSend->bodyPos >= record->smtpSend->bodyFill) return kBodyEnd;
  return static_cast<uint8_t>(record->bodyBuffer[record->smtpSend->bodyPos]);
}

void ensureBodyBuffered(ChannelRecord* record, int32_t want) {
  if (record->smtpSend->bodyEnded == kBodyGoing && bodyUnread(record) < want) {
    addCount(record->messageBytesRead, refillSendBuffer(record, kBodyBufferCap));
  }
}

}  // namespace qel
