// qelDebug: diagnostic queries about a channel, and the memory sweep.
#include "frame/channel.h"
#include "frame/date_line.h"
#include "frame/errors.h"
#include "frame/memory.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "qel32.h"
#include "transport/connection_state.h"

namespace qel {
namespace {

// Copies at most limit characters, then a NUL; returns the length copied.
int32_t answer(char* buffer, const char* text, int32_t limit) {
  return copyText(buffer, text, limit < 0 ? 0 : limit);
}

// An address answer is written only for a size above 16; the buffer then
// holds size + 1 bytes, of which a dotted address needs at most 16. (size + 1
// itself could overflow.)
constexpr int32_t kAddressAnswerRoom = 17;
bool addressFits(int32_t size) { return size >= kAddressAnswerRoom; }

int32_t lastReplyAnswer(ChannelRecord* record, char* buffer, int32_t size) {
  int32_t limit = size < kLastReplyCap ? size : kLastReplyCap;
  int32_t length = answer(buffer, record->texts.lastReply, limit);
  // The CR LF stay in the buffer but are not counted.
  if (length >= 3 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') return length - 2;
  return length;
}

int32_t localAddressAnswer(int32_t chan, ChannelRecord* record, char* buffer, int32_t size) {
  if (!addressFits(size) || !socketIsOpen(record->connection)) return 0;
  uint32_t address = 0;
  if (plat::socketLocalAddress(record->connection->socket, &address) != 0) return 0;
  // The address lands in the slot's socket address, as the lookup fills it.
  uint8_t* slotAddress = channelTable[static_cast<uint16_t>(chan)].remoteAddress;
  slotAddress[4] = static_cast<uint8_t>(address >> 24);
  slotAddress[5] = static_cast<uint8_t>(address >> 16);
  slotAddress[6] = static_cast<uint8_t>(address >> 8);
  slotAddress[7] = static_cast<uint8_t>(address);
  return formatDottedAddress(address, buffer, kAddressAnswerRoom);
}

int32_t linesBlockAnswer(ChannelRecord* record, char* buffer, int32_t size) {
  int32_t number = record->channelNumber * kSlotsPerChannel + kSlotLines;
  const char* lines = blockPointer(number);
  if (lines == nullptr) return kErrNullPointer;
  int32_t blockBytes = blockSize(number);
  if (blockBytes <= 0) return 0;
  return answer(buffer, lines, blockBytes < size ? blockBytes : size);
}

}  // namespace
}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelDebug(int32_t chan, int32_t index, char* buffer, int32_t size) {
  if (chan == QEL_SWEEP_CHANNEL) {
    memorySweep("qelDebug");
    return 0;
  }
  if (buffer == nullptr) return 0;
  buffer[0] = '\0';
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  switch (index) {
    case QEL_DEBUG_DATE_LINE:
      formatDateLine(record->log.text, fieldSize(kLogTextCap));
      answer(buffer, record->log.text, size);
      return 0;
    case QEL_DEBUG_LAST_REPLY:
      return lastReplyAnswer(record, buffer, size);
    case QEL_DEBUG_SERVER_ADDRESS:
      if (!addressFits(size)) return 0;
      return formatDottedAddress(record->connection != nullptr ? record->connection->serverAddress : 0, buffer,
                                 kAddressAnswerRoom);
    case QEL_DEBUG_LOCAL_ADDRESS:
      return localAddressAnswer(chan, record, buffer, size);
    case QEL_DEBUG_LINES_BLOCK:
      return linesBlockAnswer(record, buffer, size);
    default:
      // The texts of the protocols' own fields.
      if (DebugText read = findDebugText(index)) return answer(buffer, read(record), size);
      answer(buffer, "?", size);
      return 0;
  }
}
