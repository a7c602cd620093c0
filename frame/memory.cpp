#include "frame/memory.h"

#include <cstddef>
#include <cstdint>

#include "frame/channel.h"
#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"

namespace qel {
namespace {

struct MemoryEntry {
  char* data;      // leading guard; stale after a free
  int32_t size;    // user size
  void* handle;    // non-null exactly while allocated
  uint16_t identity;
};

MemoryEntry gTable[kBlockCount];

constexpr std::size_t kUserAlignment = alignof(std::max_align_t);

// Bytes before the leading guard so that the byte after it is aligned.
std::size_t leadingPad(const void* memory) {
  auto address = reinterpret_cast<std::uintptr_t>(memory) + 1;
  return (kUserAlignment - address % kUserAlignment) % kUserAlignment;
}

int32_t validate(int32_t number) {
  if (number < 0 || number >= kBlockCount) return kBlockOutOfRange;
  if (gTable[number].identity != static_cast<uint16_t>(number)) return kBlockBadIdentity;
  return 0;
}

int32_t blockNumber(int32_t channel, int32_t slot) {
  // Computed in 16 bits, as the table's identities are.
  return static_cast<uint16_t>(channel * kSlotsPerChannel + slot);
}

}  // namespace

void blockTableInitialise() {
  for (int32_t i = 0; i < kBlockCount; ++i) {
    gTable[i] = MemoryEntry{nullptr, 0, nullptr, static_cast<uint16_t>(i)};
  }
}

int32_t blockAllocate(int32_t number, int32_t size) {
  int32_t rc = validate(number);
  if (rc != 0) return rc;
  if (gTable[number].handle != nullptr) return kBlockInUse;
  if (size < 0) return kBlockAllocFailed;
  // The user area (one byte behind the leading guard) is aligned for any
  // record the library keeps in it, the channel record included.
  void* memory = plat::memoryAllocate(static_cast<std::size_t>(size) + 3 + kUserAlignment);
  if (memory == nullptr) return kBlockAllocFailed;
  char* data = static_cast<char*>(memory) + leadingPad(memory);
  data[0] = kLeadingGuard;
  data[size + 1] = kTrailingGuard;
  data[size + 2] = '\0';
  gTable[number].data = data;
  gTable[number].size = size;
  gTable[number].handle = memory;
  return number;
}

char* blockPointer(int32_t number) {
  if (validate(number) != 0) return nullptr;
  const MemoryEntry& entry = gTable[number];
  if (entry.handle == nullptr || entry.data == nullptr) return nullptr;
  return entry.data + 1;
}

char* blockRawData(int32_t number) {
  if (validate(number) != 0 || gTable[number].handle == nullptr) return nullptr;
  return gTable[number].data;
}

int32_t blockCheck(int32_t number) {
  int32_t rc = validate(number);
  if (rc != 0) return rc;
  const MemoryEntry& entry = gTable[number];
  if (entry.handle == nullptr || entry.data == nullptr || entry.size == 0) return kBlockNotAllocated;
  if (entry.data[0] != kLeadingGuard || entry.data[entry.size + 1] != kTrailingGuard) return kBlockDamaged;
  return 1;
}

int32_t blockFree(int32_t number) {
  int32_t rc = validate(number);
  if (rc != 0) return rc;
  MemoryEntry& entry = gTable[number];
  if (entry.handle == nullptr) return kBlockNotAllocated;
  void* memory = entry.handle;
  entry.handle = nullptr;
  plat::memoryFree(memory);
  return 1;
}

int32_t blockIsAllocated(int32_t number) {
  int32_t rc = validate(number);
  if (rc != 0) return rc;
  return gTable[number].handle != nullptr ? 1 : 0;
}

int32_t blockSize(int32_t number) {
  int32_t rc = validate(number);
  if (rc != 0) return rc;
  if (gTable[number].handle == nullptr) return kBlockNotAllocated;
  return gTable[number].size;
}

char* channelAllocate(int32_t channel, int32_t slot, int32_t size) {
  int32_t number = blockNumber(channel, slot);
  int32_t rc = blockAllocate(number, size);
  if (rc < 0) {
    reportMemoryError("AllocateMemory Error", channel, slot, rc);
    return nullptr;
  }
  return blockPointer(number);
}

void channelFreeRange(int32_t channel, int32_t firstSlot, int32_t lastSlot) {
  for (int32_t slot = firstSlot; slot <= lastSlot; ++slot) {
    int32_t number = blockNumber(channel, slot);
    int32_t rc = blockCheck(number);
    if (rc == 1) {
      blockFree(number);
    } else if (rc == kBlockBadIdentity || rc == kBlockDamaged) {
      // A damaged block is left allocated and stops the range: freeing it
      // would hand corrupted memory back to the system.
      reportMemoryError("FreeMemory Error", channel, slot, rc);
      return;
    }
  }
}

char* allocAndCopy(int32_t channel, int32_t slot, const char* text) {
  int32_t length = textLength(text);
  if (length == 0) {
    reportMemoryError("AllocAndCopy Error 1", channel, slot, 0);
    return nullptr;
  }
  int32_t number = blockNumber(channel, slot);
  if (blockIsAllocated(number) == 1) blockFree(number);
  int32_t rc = blockAllocate(number, length + 2);
  if (rc < 0) {
    reportMemoryError("AllocAndCopy Error 2", channel, slot, rc);
    return nullptr;
  }
  char* copy = blockPointer(number);
  for (int32_t i = 0; i <= length; ++i) copy[i] = text[i];
  return copy;
}

void reportMemoryError(const char* label, int32_t channel, int32_t slot, int32_t code) {
  if (channel < 0 || channel >= kMaxChannels) return;
  ChannelRecord* record = channelTable[channel].record;
  if (record == nullptr) return;
  plat::formatText(record->log.text, fieldSize(kLogTextCap), "%s: Chan=%d, Index=%d, Code=%d\r\n", label,
                   channel, slot, code);
  logText(record, record->log.text);
}

int32_t memorySweep(const char* label) {
  int32_t damaged = 0;
  for (int32_t number = 0; number < kBlockCount; ++number) {
    if (gTable[number].handle == nullptr) continue;
    if (blockCheck(number) == kBlockDamaged) {
      char message[128];
      plat::formatText(message, sizeof message, "Memory Corrupted (%s): ID=%d Err=%d", label, number,
                       kBlockDamaged);
      plat::alert("Info", message);
      ++damaged;
    }
  }
  return damaged;
}

}  // namespace qel
