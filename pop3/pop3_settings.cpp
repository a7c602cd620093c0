// The integer settings and statistics of a POP3 channel's own fields, served
// through the frame's registrations.
#include <cstdint>
#include <iterator>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "frame/registrations.h"
#include "platform/platform.h"
#include "qel32.h"

namespace qel {
namespace {

uint16_t low16(int32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }
uint8_t low8(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

const IntegerSettingEntry kSettings[] = {
    {QEL_PARAM_NUMBER_NAMES, [](ChannelRecord* record, int32_t value) { record->numberNames = static_cast<uint32_t>(value); }},
    {QEL_PARAM_KEEP_EXISTING_FILES, [](ChannelRecord* record, int32_t value) { record->keepExistingFiles = value != 0 ? 1 : 0; }},
    {QEL_PARAM_SAVE_UNNAMED, [](ChannelRecord* record, int32_t value) { record->saveUnnamed = static_cast<uint32_t>(value); }},
    {QEL_PARAM_POP3_PORT, [](ChannelRecord* record, int32_t value) { record->pop3Port = low16(value); }},
    {QEL_PARAM_DECODE_STATE, [](ChannelRecord* record, int32_t value) { record->decodeState = static_cast<int16_t>(low16(value)); }},
    {QEL_PARAM_USE_APOP, [](ChannelRecord* record, int32_t value) { record->useApop = low8(value); }},
    {QEL_PARAM_FULL_MIME, [](ChannelRecord* record, int32_t value) { record->fullMime = value != 0 ? 1 : 0; }},
    {QEL_PARAM_RAW_MESSAGE_ONLY, [](ChannelRecord* record, int32_t value) { record->rawMessageOnly = value != 0 ? 1 : 0; }},
    {QEL_PARAM_STEP_LINES, [](ChannelRecord* record, int32_t value) { record->stepLines = static_cast<uint16_t>(value < 1 ? 1 : value > UINT16_MAX ? UINT16_MAX : value); }},
};
const IntegerSettingRegistration settingsRegistered(kSettings, static_cast<int32_t>(std::size(kSettings)));

// The path is stored whole or not at all: a cut one names another file.
int32_t setOriginalFile(ChannelRecord* record, const char* text) {
  if (textLength(text) > kOriginalPathCap) return kErrTextTooLong;
  return copyText(record->originalPath, text, kOriginalPathCap);
}
const StringSettingEntry kStringSettings[] = {{QEL_STRING_ORIGINAL_FILE, setOriginalFile}};
const StringSettingRegistration stringsRegistered(kStringSettings, static_cast<int32_t>(std::size(kStringSettings)));

const StatisticEntry kStatistics[] = {
    {QEL_STAT_MESSAGE_COUNT, [](const ChannelRecord* record) { return record->messageCount; }},
    {QEL_STAT_MESSAGE_SIZE, [](const ChannelRecord* record) { return record->messageSize; }},
    {QEL_STAT_LINE_BYTES, [](const ChannelRecord* record) { return record->lineBufferUsed; }},
    {QEL_STAT_SAVED_COUNT, [](const ChannelRecord* record) { return record->savedCount; }},
};
const StatisticRegistration statisticsRegistered(kStatistics, static_cast<int32_t>(std::size(kStatistics)));

// At release: the names a download took, and its walk still running (full
// MIME mode), each one block.
void releaseDownload(ChannelRecord* record) {
  plat::memoryFree(record->takenNames);
  record->takenNames = nullptr;
  plat::memoryFree(record->mimeWalk);
  record->mimeWalk = nullptr;
}
const ReleaseHookRegistration releaseHook(releaseDownload);

}  // namespace
}  // namespace qel
