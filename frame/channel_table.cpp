// The channel table and the library's lifecycle: qelAttach and qelRelease.
#include <cstring>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/memory.h"
#include "frame/registrations.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "qel32.h"

namespace qel {

uint16_t channelCount = 0;
ChannelSlot channelTable[kMaxChannels];
char boundaryText[kBoundaryTextSize];

int32_t checkChannel(int32_t chan, ChannelRecord** record) {
  if (channelCount == 0) return kErrNotAttached;
  uint16_t index = static_cast<uint16_t>(chan & 0xFFFF);
  if (index >= channelCount) return kErrChannelRange;
  ChannelRecord* found = channelTable[index].record;
  if (found == nullptr) return kErrChannelRange;
  if (record != nullptr) *record = found;
  return 0;
}

ChannelRecord* channelRecord(int32_t chan) {
  ChannelRecord* record = nullptr;
  return checkChannel(chan, &record) == 0 ? record : nullptr;
}

void initialiseRecord(ChannelRecord* record, int32_t channel) {
  std::memset(static_cast<void*>(record), 0, sizeof *record);
  record->channelNumber = channel;
  record->texts.bodyBuffer = record->texts.replyText + fieldSize(kReplyTextCap);
  record->step.prevState = -2;
  record->step.thisState = -1;
  record->step.awaitWritable = 0;
  record->step.nonBlockingConnect = 1;
  record->step.autoCall = 1;
  record->tls.verify = 1;
}

namespace {

// Frees what a failed attach had set up: the records made so far and the
// socket layer it started, so a later attach starts clean.
void undoAttach(int32_t made) {
  for (int32_t i = made - 1; i >= 0; --i) {
    blockFree(i * kSlotsPerChannel + kSlotRecord);
    channelTable[i].record = nullptr;
  }
  plat::netCleanup();
}

}  // namespace
}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelAttach(int32_t channels, int32_t reserved) {
  (void)reserved;
  if (channelCount > 0) return kErrAlreadyAttached;
  uint16_t count = static_cast<uint16_t>(channels & 0xFFFF);
  if (count > kMaxChannels) return kErrChannelRange;

  plat::lockCreate();
  plat::lockEnter();
  int32_t startup = plat::netStartup();
  if (startup != 0) {
    plat::lockLeave();
    return -startup;
  }
  blockTableInitialise();
  for (int32_t i = 0; i < count; ++i) {
    char* memory = channelAllocate(i, kSlotRecord, static_cast<int32_t>(sizeof(ChannelRecord)));
    if (memory == nullptr) {
      undoAttach(i);
      plat::lockLeave();
      return kErrNoMemory;
    }
    auto* record = reinterpret_cast<ChannelRecord*>(memory);
    initialiseRecord(record, i);
    channelTable[i].record = record;
    channelTable[i].socket = 0;
    std::memset(channelTable[i].remoteAddress, 0, sizeof channelTable[i].remoteAddress);
  }
  channelCount = count;
  // The tick count is written as a signed number, so after 24.8 days of
  // uptime the boundary carries a minus sign.
  plat::formatText(boundaryText, kBoundaryTextSize, "=====_QEL%d_=====",
                   static_cast<int32_t>(plat::tickCount()));
  plat::lockLeave();
  return 1;
}

extern "C" QEL_API int32_t QEL_CALL qelRelease(void) {
  if (channelCount == 0) return 1;
  plat::lockEnter();
  int32_t count = channelCount;
  for (int32_t i = count - 1; i >= 0; --i) {
    ChannelRecord* record = channelTable[i].record;
    if (record == nullptr) continue;
    if (record->log.file > 0) {
      logFormat(record, "Releasing channel %d\r\n", i);
      plat::fileClose(record->log.file);
      record->log.file = 0;
    }
    runReleaseHooks(record);
    channelFreeRange(i, kSlotTo, kSlotLines);
    // What the socket layer's cleanup and the process end would do on
    // Windows is done here, so a released library holds no descriptor.
    if (record->fileHandle > 0) plat::fileClose(record->fileHandle);
    record->fileHandle = 0;
  }
  for (int32_t i = count - 1; i >= 0; --i) {
    channelFreeRange(i, kSlotRecord, kSlotRecord);
    channelTable[i].record = nullptr;
  }
  channelCount = 0;
  if (settings.cleanupOnRelease != 0) plat::netCleanup();
  plat::lockLeave();
  plat::lockDelete();
  return 1;
}
