// Tracked memory blocks. Every dynamic block of the library lives in one
// table of kBlockCount entries, addressed by block number = channel * 9 +
// slot, with a guard byte before ("U") and after ("z") its user area so that
// an overrun is found when the block is freed or swept.
#pragma once

#include <cstdint>

namespace qel {

constexpr int32_t kBlockCount = 1152;  // 128 channels x 9 slots

// Block slots of a channel.
enum BlockSlot : int32_t {
  kSlotRecord = 0,
  kSlotTo = 1,
  kSlotCc = 2,
  kSlotBcc = 3,
  kSlotSubject = 4,
  kSlotMessage = 5,
  kSlotAttachments = 6,
  kSlotExtraHeader = 7,
  kSlotLines = 8,
};

// Internal result codes of the block table (logged, never returned by an
// export).
constexpr int32_t kBlockOutOfRange = -100;
constexpr int32_t kBlockAllocFailed = -102;
constexpr int32_t kBlockInUse = -103;
constexpr int32_t kBlockNotAllocated = -104;
constexpr int32_t kBlockBadIdentity = -105;
constexpr int32_t kBlockDamaged = -106;

constexpr char kLeadingGuard = 'U';
constexpr char kTrailingGuard = 'z';

// Table operations on one block number.
void blockTableInitialise();
int32_t blockAllocate(int32_t number, int32_t size);
char* blockPointer(int32_t number);
int32_t blockCheck(int32_t number);
int32_t blockFree(int32_t number);
int32_t blockIsAllocated(int32_t number);
int32_t blockSize(int32_t number);

// Test hook: the raw first byte (leading guard) of a block, or null.
char* blockRawData(int32_t number);

// Channel operations.
char* channelAllocate(int32_t channel, int32_t slot, int32_t size);
void channelFreeRange(int32_t channel, int32_t firstSlot, int32_t lastSlot);
char* allocAndCopy(int32_t channel, int32_t slot, const char* text);
void reportMemoryError(const char* label, int32_t channel, int32_t slot, int32_t code);

// Checks every allocated block; shows an alert titled "Info" for each
// damaged one. Returns the number of damaged blocks.
int32_t memorySweep(const char* label);

}  // namespace qel
