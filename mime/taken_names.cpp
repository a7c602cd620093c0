#include "mime/taken_names.h"

#include <cstring>

#include "frame/text.h"
#include "mime/decoder_state.h"
#include "mime/name_fold.h"
#include "platform/platform.h"

namespace qel {

namespace {

struct Entry {
  uint64_t hash;  // 0: free
  uint32_t nextNumber;
};

// One block: this header, then capacity entries.
struct TakenNames {
  uint32_t capacity;  // a power of two
  uint32_t used;
};
static_assert(sizeof(TakenNames) % alignof(Entry) == 0, "entries follow the header aligned");

Entry* entriesOf(TakenNames* table) { return reinterpret_cast<Entry*>(table + 1); }
const Entry* entriesOf(const TakenNames* table) { return reinterpret_cast<const Entry*>(table + 1); }

constexpr uint32_t kFirstCapacity = 64;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;
constexpr uint32_t kFirstNumber = 2;
constexpr int32_t kNumberRoom = 16;  // " (4294967295)" and its NUL

std::size_t tableBytes(uint32_t capacity) { return sizeof(TakenNames) + capacity * sizeof(Entry); }

TakenNames* tableOf(const ChannelRecord* record) { return static_cast<TakenNames*>(record->decoder->takenNames); }

// FNV-1a over the name's characters as a Windows file system compares
// them; never 0, which marks a free entry.
uint64_t nameHash(const char* name) {
  uint64_t hash = kFnvOffset;
  int32_t end = foldedLength(name);
  for (int32_t at = 0; at < end;) hash = (hash ^ nextFoldedChar(name, end, &at)) * kFnvPrime;
  return hash != 0 ? hash : 1;
}

Entry* findEntry(const TakenNames* table, uint64_t hash) {
  if (table == nullptr) return nullptr;
  uint32_t mask = table->capacity - 1;
  for (uint32_t i = static_cast<uint32_t>(hash) & mask;; i = (i + 1) & mask) {
    const Entry& entry = entriesOf(table)[i];
    if (entry.hash == hash) return const_cast<Entry*>(&entry);
    if (entry.hash == 0) return nullptr;
  }
}

// The free entry for hash (the table is never more than half full).
Entry* freeEntry(TakenNames* table, uint64_t hash) {
  uint32_t mask = table->capacity - 1;
  uint32_t i = static_cast<uint32_t>(hash) & mask;
  Entry* entries = entriesOf(table);
  while (entries[i].hash != 0) i = (i + 1) & mask;
  return &entries[i];
}

// A table with room for one more name: the first one, or twice as large.
bool makeRoom(ChannelRecord* record) {
  TakenNames* table = tableOf(record);
  if (table != nullptr && (table->used + 1) * 2 <= table->capacity) return true;
  uint32_t capacity = table != nullptr ? table->capacity * 2 : kFirstCapacity;
  if (capacity > 2 * kMaxTakenNames) return false;
  auto* grown = static_cast<TakenNames*>(plat::memoryAllocate(tableBytes(capacity)));
  if (grown == nullptr) return false;
  grown->capacity = capacity;
  if (table != nullptr) {
    const Entry* old = entriesOf(table);
    for (uint32_t i = 0; i < table->capacity; ++i) {
      if (old[i].hash != 0) *freeEntry(grown, old[i].hash) = old[i];
    }
    grown->used = table->used;
    plat::memoryFree(table);
  }
  record->decoder->takenNames = grown;
  return true;
}

}  // namespace

bool nameTaken(const ChannelRecord* record, const char* name) {
  return findEntry(tableOf(record), nameHash(name)) != nullptr;
}

bool takeName(ChannelRecord* record, const char* name) {
  uint64_t hash = nameHash(name);
  if (findEntry(tableOf(record), hash) != nullptr) return true;
  if (!makeRoom(record)) return false;
  TakenNames* table = tableOf(record);
  *freeEntry(table, hash) = Entry{hash, kFirstNumber};
  table->used += 1;
  return true;
}

uint32_t nextNameNumber(const ChannelRecord* record, const char* name) {
  const Entry* entry = findEntry(tableOf(record), nameHash(name));
  return entry != nullptr ? entry->nextNumber : kFirstNumber;
}

void setNextNameNumber(ChannelRecord* record, const char* name, uint32_t number) {
  Entry* entry = findEntry(tableOf(record), nameHash(name));
  if (entry != nullptr) entry->nextNumber = number;
}

void forgetTakenNames(ChannelRecord* record) {
  plat::memoryFree(record->decoder->takenNames);
  record->decoder->takenNames = nullptr;
}

int32_t numberedName(const char* name, uint32_t number, char* out, int32_t room) {
  char suffix[kNumberRoom];
  int32_t suffixLength = plat::formatText(suffix, sizeof suffix, " (%u)", number);
  int32_t length = textLength(name);
  const char* dot = std::strrchr(name, '.');
  int32_t stem = dot != nullptr && dot != name ? static_cast<int32_t>(dot - name) : length;
  int32_t extension = length - stem;
  int32_t fits = room - 1 - suffixLength;
  if (fits < 1) {
    out[0] = '\0';
    return 0;
  }
  // The number stays visible: the text before the extension is cut, or the
  // whole name when the extension alone leaves no room.
  if (stem + extension > fits) {
    if (extension < fits) {
      stem = fits - extension;
    } else {
      stem = fits;
      extension = 0;
    }
    // Never inside a UTF-8 character: a full-MIME name cut there would be
    // an invalid name, which Windows makes U+FFFD, the same for any
    // character cut.
    while (stem > 0 && (static_cast<uint8_t>(name[stem]) & 0xC0) == 0x80) --stem;
  }
  std::memcpy(out, name, static_cast<std::size_t>(stem));
  std::memcpy(out + stem, suffix, static_cast<std::size_t>(suffixLength));
  std::memcpy(out + stem + suffixLength, name + length - extension, static_cast<std::size_t>(extension));
  out[stem + suffixLength + extension] = '\0';
  return stem + suffixLength + extension;
}

}  // namespace qel
