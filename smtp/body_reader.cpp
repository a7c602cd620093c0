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
  const char* text = record->smtp->send->messageText;
  if (text == nullptr) return 0;
  int32_t count = 0;
  while (count < room && text[count] != '\0') {
    destination[count] = text[count];
    ++count;
  }
  record->smtp->send->messageText = text + count;
  return count;
}

// Refills as nextBodyChar does when few bytes are left.
void refillIfLow(ChannelRecord* record) {
  if (record->smtp->send->bodyEnded == kBodyGoing && bodyUnread(record) <= bodyLineLimit()) {
    addCount(record->counts.messageBytesRead, refillSendBuffer(record, kBodyBufferCap));
  }
}

}  // namespace

void resetBodyReader(ChannelRecord* record) {
  record->smtp->send->bodyEnded = kBodyGoing;
  record->smtp->send->bodyPos = 0;
  record->smtp->send->bodyFill = 0;
}

int32_t refillSendBuffer(ChannelRecord* record, int32_t capacity) {
  if (capacity > kBodyBufferCap) capacity = kBodyBufferCap;
  int32_t unread = bodyUnread(record);
  if (unread > 0 && record->smtp->send->bodyPos > 0) std::memmove(record->texts.bodyBuffer, record->texts.bodyBuffer + record->smtp->send->bodyPos, unread);
  record->smtp->send->bodyPos = 0;
  record->smtp->send->bodyFill = unread;
  int32_t room = capacity - unread;
  // A full buffer is not the end of the source.
  if (room <= 0 || record->smtp->send->bodyEnded != kBodyGoing) return 0;
  char* destination = record->texts.bodyBuffer + unread;
  int32_t count = record->smtp->send->bodyFromText != 0 ? copyFromText(record, destination, room)
                                            : plat::fileRead(record->fileHandle, destination, room);
  if (count <= 0) {
    record->smtp->send->bodyEnded = count < 0 ? kBodyReadFailed : kBodyEnded;
    return 0;
  }
  record->smtp->send->bodyFill += count;
  return count;
}

int32_t nextBodyCharRefilling(ChannelRecord* record) {
  refillIfLow(record);
  if (record->smtp->send->bodyPos >= record->smtp->send->bodyFill) return kBodyEnd;
  return static_cast<uint8_t>(record->texts.bodyBuffer[record->smtp->send->bodyPos++]);
}

int32_t peekBodyChar(ChannelRecord* record) {
  refillIfLow(record);
  if (record->smtp->send->bodyPos >= record->smtp->send->bodyFill) return kBodyEnd;
  return static_cast<uint8_t>(record->texts.bodyBuffer[record->smtp->send->bodyPos]);
}

void ensureBodyBuffered(ChannelRecord* record, int32_t want) {
  if (record->smtp->send->bodyEnded == kBodyGoing && bodyUnread(record) < want) {
    addCount(record->counts.messageBytesRead, refillSendBuffer(record, kBodyBufferCap));
  }
}

}  // namespace qel
