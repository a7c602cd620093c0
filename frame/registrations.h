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

// A text that qelDebug answers with for an index (QEL_DEBUG_*), read from a
// protocol's own fields; never null.
using DebugText = const char* (*)(const ChannelRecord* record);
class DebugTextRegistration {
 public:
  DebugTextRegistration(int32_t index, DebugText read);
};
// The registered text of index, or null.
DebugText findDebugText(int32_t index);

// An integer or text setting (qelIntegerParam, qelStringParam; the text is
// never null) or a statistic (qelStatistics) that
// a protocol folder serves: one handler per index.
// A table may name a prepare step that makes the block its settings store
// into (the owner's struct, taken at the first setting that needs it): 0,
// or -55 when it cannot be had; the setting is then not stored.
using SettingPrepare = int32_t (*)(ChannelRecord* record);
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
  StringSettingRegistration(const StringSettingEntry* entries, int32_t count, SettingPrepare prepare = nullptr);
};
using Statistic = int32_t (*)(const ChannelRecord* record);
struct StatisticEntry {
  int32_t index;
  Statistic read;
};
class IntegerSettingRegistration {
 public:
  IntegerSettingRegistration(const IntegerSettingEntry* entries, int32_t count, SettingPrepare prepare = nullptr);
};
class StatisticRegistration {
 public:
  StatisticRegistration(const StatisticEntry* entries, int32_t count);
};
// Stores a registered setting: 1 for an integer, the handler's result for
// a text; the prepare step's code when it fails; kIndexNotServed (-1) when
// no table serves index.
int32_t storeIntegerSetting(ChannelRecord* record, int32_t index, int32_t value);
int32_t storeStringSetting(ChannelRecord* record, int32_t index, const char* text);
// The registered statistic of index, or null.
Statistic findStatistic(int32_t index);

}  // namespace qel
