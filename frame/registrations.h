// What the protocol folders hook into the frame's exports, each from a
// static object as the state tables are (driver/driver.h): work done for
// every channel at qelRelease, details that qelErrorText appends to the
// text of a code, and the settings and statistics of their own fields.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Frees what a protocol's operations left allocated on a channel, before
// the record goes.
using ReleaseHook = void (*)(ChannelRecord* record);
class ReleaseHookRegistration {
 public:
  explicit ReleaseHookRegistration(ReleaseHook hook);
};
void runReleaseHooks(ChannelRecord* record);

// Writes the detail of an error code into out (room bytes with the
// terminator); returns the characters written.
using ErrorDetail = int32_t (*)(const ChannelRecord* record, char* out, int32_t room);
class ErrorDetailRegistration {
 public:
  ErrorDetailRegistration(int32_t code, ErrorDetail detail);
};
// The registered detail of code, or null.
ErrorDetail findErrorDetail(int32_t code);

// An integer or text setting (qelIntegerParam, qelStringParam; the text is
// never null) or a statistic (qelStatistics) that
// a protocol folder serves: one handler per index.
using IntegerSetting = void (*)(ChannelRecord* record, int32_t value);
struct IntegerSettingEntry {
  int32_t index;
  IntegerSetting store;
};
using StringSetting = int32_t (*)(ChannelRecord* record, const char* text);
struct StringSettingEntry {
  int32_t index;
  StringSetting store;
};
class StringSettingRegistration {
 public:
  StringSettingRegistration(const StringSettingEntry* entries, int32_t count);
};
StringSetting findStringSetting(int32_t index);
using Statistic = int32_t (*)(const ChannelRecord* record);
struct StatisticEntry {
  int32_t index;
  Statistic read;
};
// Makes the struct a table's settings are stored in when the channel has
// none yet: 0, or -55 (kErrNoMemory) when it cannot be had; the setting is
// then not stored.
using SettingRoom = int32_t (*)(ChannelRecord* record);
class IntegerSettingRegistration {
 public:
  IntegerSettingRegistration(const IntegerSettingEntry* entries, int32_t count, SettingRoom room = nullptr);
};
class StatisticRegistration {
 public:
  StatisticRegistration(const StatisticEntry* entries, int32_t count);
};
// The registered handler of index, or null; *room (when given) is what
// must be made before it stores (null: nothing).
IntegerSetting findIntegerSetting(int32_t index, SettingRoom* room = nullptr);
Statistic findStatistic(int32_t index);

// A text that qelDebug answers with (never null), served by the folder
// that owns it.
using DebugText = const char* (*)(const ChannelRecord* record);
class DebugTextRegistration {
 public:
  DebugTextRegistration(int32_t index, DebugText text);
};
// The registered text of index, or null.
DebugText findDebugText(int32_t index);

}  // namespace qel
