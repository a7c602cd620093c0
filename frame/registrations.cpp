#include "frame/registrations.h"

#include "frame/errors.h"

namespace qel {
namespace {

constexpr int32_t kMaxReleaseHooks = 8;
constexpr int32_t kMaxErrorDetails = 8;
constexpr int32_t kMaxDebugTexts = 4;

struct ReleaseHooks {
  ReleaseHook hooks[kMaxReleaseHooks] = {};
  int32_t count = 0;
};
ReleaseHooks& releaseHooks() {
  static ReleaseHooks registered;
  return registered;
}

struct ErrorDetails {
  int32_t codes[kMaxErrorDetails] = {};
  ErrorDetail details[kMaxErrorDetails] = {};
  int32_t count = 0;
};
ErrorDetails& errorDetails() {
  static ErrorDetails registered;
  return registered;
}

struct DebugTexts {
  int32_t indexes[kMaxDebugTexts] = {};
  DebugText reads[kMaxDebugTexts] = {};
  int32_t count = 0;
};
DebugTexts& debugTexts() {
  static DebugTexts registered;
  return registered;
}

// The tables the protocol folders registered (a few each).
constexpr int32_t kMaxTables = 8;
template <typename Entry>
struct Tables {
  const Entry* entries[kMaxTables] = {};
  int32_t counts[kMaxTables] = {};
  SettingPrepare prepares[kMaxTables] = {};
  int32_t count = 0;

  void add(const Entry* table, int32_t entryCount, SettingPrepare prepare = nullptr) {
    if (table == nullptr || count >= kMaxTables) return;
    entries[count] = table;
    prepares[count] = prepare;
    counts[count++] = entryCount;
  }
  // The entry of index, and its table's prepare step when prepare is given.
  const Entry* find(int32_t index, SettingPrepare* prepare = nullptr) const {
    for (int32_t t = 0; t < count; ++t) {
      for (int32_t i = 0; i < counts[t]; ++i) {
        if (entries[t][i].index != index) continue;
        if (prepare != nullptr) *prepare = prepares[t];
        return &entries[t][i];
      }
    }
    return nullptr;
  }
};
Tables<IntegerSettingEntry>& settingTables() {
  static Tables<IntegerSettingEntry> registered;
  return registered;
}
Tables<StringSettingEntry>& stringTables() {
  static Tables<StringSettingEntry> registered;
  return registered;
}
Tables<StatisticEntry>& statisticTables() {
  static Tables<StatisticEntry> registered;
  return registered;
}

}  // namespace

IntegerSettingRegistration::IntegerSettingRegistration(const IntegerSettingEntry* entries, int32_t count,
                                                       SettingPrepare prepare) {
  settingTables().add(entries, count, prepare);
}

StatisticRegistration::StatisticRegistration(const StatisticEntry* entries, int32_t count) {
  statisticTables().add(entries, count);
}

StringSettingRegistration::StringSettingRegistration(const StringSettingEntry* entries, int32_t count,
                                                     SettingPrepare prepare) {
  stringTables().add(entries, count, prepare);
}

int32_t storeIntegerSetting(ChannelRecord* record, int32_t index, int32_t value) {
  SettingPrepare prepare = nullptr;
  const IntegerSettingEntry* entry = settingTables().find(index, &prepare);
  if (entry == nullptr) return kIndexNotServed;
  int32_t rc = prepare != nullptr ? prepare(record) : 0;
  if (rc < 0) return rc;
  entry->store(record, value);
  return 1;
}

int32_t storeStringSetting(ChannelRecord* record, int32_t index, const char* text) {
  SettingPrepare prepare = nullptr;
  const StringSettingEntry* entry = stringTables().find(index, &prepare);
  if (entry == nullptr) return kIndexNotServed;
  int32_t rc = prepare != nullptr ? prepare(record) : 0;
  return rc < 0 ? rc : entry->store(record, text);
}

Statistic findStatistic(int32_t index) {
  const StatisticEntry* entry = statisticTables().find(index);
  return entry != nullptr ? entry->read : nullptr;
}

ReleaseHookRegistration::ReleaseHookRegistration(ReleaseHook hook) {
  ReleaseHooks& registered = releaseHooks();
  if (hook != nullptr && registered.count < kMaxReleaseHooks) registered.hooks[registered.count++] = hook;
}

void runReleaseHooks(ChannelRecord* record) {
  const ReleaseHooks& registered = releaseHooks();
  for (int32_t i = 0; i < registered.count; ++i) registered.hooks[i](record);
}

ErrorDetailRegistration::ErrorDetailRegistration(int32_t code, ErrorDetail detail) {
  ErrorDetails& registered = errorDetails();
  if (detail == nullptr || registered.count >= kMaxErrorDetails) return;
  registered.codes[registered.count] = code;
  registered.details[registered.count++] = detail;
}

ErrorDetail findErrorDetail(int32_t code) {
  const ErrorDetails& registered = errorDetails();
  for (int32_t i = 0; i < registered.count; ++i) {
    if (registered.codes[i] == code) return registered.details[i];
  }
  return nullptr;
}

DebugTextRegistration::DebugTextRegistration(int32_t index, DebugText read) {
  DebugTexts& registered = debugTexts();
  if (read == nullptr || registered.count >= kMaxDebugTexts) return;
  registered.indexes[registered.count] = index;
  registered.reads[registered.count++] = read;
}

DebugText findDebugText(int32_t index) {
  const DebugTexts& registered = debugTexts();
  for (int32_t i = 0; i < registered.count; ++i) {
    if (registered.indexes[i] == index) return registered.reads[i];
  }
  return nullptr;
}

}  // namespace qel
