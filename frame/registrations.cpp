#include "frame/registrations.h"

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

// The tables the protocol folders registered (a few each).
constexpr int32_t kMaxTables = 8;
template <typename Entry>
struct Tables {
  const Entry* entries[kMaxTables] = {};
  int32_t counts[kMaxTables] = {};
  SettingRoom rooms[kMaxTables] = {};
  int32_t count = 0;

  void add(const Entry* table, int32_t entryCount, SettingRoom room = nullptr) {
    if (table == nullptr || count >= kMaxTables) return;
    entries[count] = table;
    rooms[count] = room;
    counts[count++] = entryCount;
  }
  const Entry* find(int32_t index, SettingRoom* room = nullptr) const {
    for (int32_t t = 0; t < count; ++t) {
      for (int32_t i = 0; i < counts[t]; ++i) {
        if (entries[t][i].index != index) continue;
        if (room != nullptr) *room = rooms[t];
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

struct DebugTexts {
  int32_t indexes[kMaxDebugTexts] = {};
  DebugText texts[kMaxDebugTexts] = {};
  int32_t count = 0;
};
DebugTexts& debugTexts() {
  static DebugTexts registered;
  return registered;
}

}  // namespace

IntegerSettingRegistration::IntegerSettingRegistration(const IntegerSettingEntry* entries, int32_t count,
                                                       SettingRoom room) {
  settingTables().add(entries, count, room);
}

StatisticRegistration::StatisticRegistration(const StatisticEntry* entries, int32_t count) {
  statisticTables().add(entries, count);
}

StringSettingRegistration::StringSettingRegistration(const StringSettingEntry* entries, int32_t count) {
  stringTables().add(entries, count);
}

StringSetting findStringSetting(int32_t index) {
  const StringSettingEntry* entry = stringTables().find(index);
  return entry != nullptr ? entry->store : nullptr;
}

IntegerSetting findIntegerSetting(int32_t index, SettingRoom* room) {
  SettingRoom found = nullptr;
  const IntegerSettingEntry* entry = settingTables().find(index, &found);
  if (room != nullptr) *room = entry != nullptr ? found : nullptr;
  return entry != nullptr ? entry->store : nullptr;
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

DebugTextRegistration::DebugTextRegistration(int32_t index, DebugText text) {
  DebugTexts& registered = debugTexts();
  if (text == nullptr || registered.count >= kMaxDebugTexts) return;
  registered.indexes[registered.count] = index;
  registered.texts[registered.count++] = text;
}

DebugText findDebugText(int32_t index) {
  const DebugTexts& registered = debugTexts();
  for (int32_t i = 0; i < registered.count; ++i) {
    if (registered.indexes[i] == index) return registered.texts[i];
  }
  return nullptr;
}

ErrorDetail findErrorDetail(int32_t code) {
  const ErrorDetails& registered = errorDetails();
  for (int32_t i = 0; i < registered.count; ++i) {
    if (registered.codes[i] == code) return registered.details[i];
  }
  return nullptr;
}

}  // namespace qel
