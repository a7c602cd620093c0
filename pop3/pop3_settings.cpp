// The POP3 session of a channel (pop3/session.h): made at its first
// setting or operation, and the settings, statistics and release of its own
// fields and of the decoder settings, served through the frame's
// registrations.
#include <cstdint>
#include <iterator>

#include "driver/driver.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/memory.h"
#include "frame/text.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "pop3/session.h"
#include "qel32.h"

namespace qel {
namespace {

uint16_t low16(int32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }
uint8_t low8(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

Pop3Session defaultSession() {
  Pop3Session session{};
  session.pop3Port = kPop3DefaultPort;
  return session;
}

const IntegerSettingEntry kSessionSettings[] = {
    {QEL_PARAM_POP3_PORT, [](ChannelRecord* record, int32_t value) { record->pop3->pop3Port = low16(value); }},
    {QEL_PARAM_USE_APOP, [](ChannelRecord* record, int32_t value) { record->pop3->useApop = low8(value); }},
    {QEL_PARAM_RAW_MESSAGE_ONLY, [](ChannelRecord* record, int32_t value) { record->pop3->rawMessageOnly = value != 0 ? 1 : 0; }},
    {QEL_PARAM_STEP_LINES, [](ChannelRecord* record, int32_t value) { record->pop3->stepLines = static_cast<uint16_t>(value < 1 ? 1 : value > UINT16_MAX ? UINT16_MAX : value); }},
};
const IntegerSettingRegistration sessionSettingsRegistered(kSessionSettings,
                                                           static_cast<int32_t>(std::size(kSessionSettings)),
                                                           openPop3Session);

const IntegerSettingEntry kDecoderSettings[] = {
    {QEL_PARAM_NUMBER_NAMES, [](ChannelRecord* record, int32_t value) { record->decoder->numberNames = static_cast<uint32_t>(value); }},
    {QEL_PARAM_KEEP_EXISTING_FILES, [](ChannelRecord* record, int32_t value) { record->decoder->keepExistingFiles = value != 0 ? 1 : 0; }},
    {QEL_PARAM_SAVE_UNNAMED, [](ChannelRecord* record, int32_t value) { record->decoder->saveUnnamed = static_cast<uint32_t>(value); }},
    {QEL_PARAM_DECODE_STATE, [](ChannelRecord* record, int32_t value) { record->decoder->decodeState = static_cast<int16_t>(low16(value)); }},
    {QEL_PARAM_FULL_MIME, [](ChannelRecord* record, int32_t value) { record->decoder->fullMime = value != 0 ? 1 : 0; }},
};
const IntegerSettingRegistration decoderSettingsRegistered(kDecoderSettings,
                                                           static_cast<int32_t>(std::size(kDecoderSettings)),
                                                           openDecoder);

// The path is stored whole or not at all: a cut one names another file.
int32_t setOriginalFile(ChannelRecord* record, const char* text) {
  if (textLength(text) > kOriginalPathCap) return kErrTextTooLong;
  return copyText(record->decoder->originalPath, text, kOriginalPathCap);
}
const StringSettingEntry kDecoderStrings[] = {{QEL_STRING_ORIGINAL_FILE, setOriginalFile}};
const StringSettingRegistration decoderStringsRegistered(kDecoderStrings,
                                                         static_cast<int32_t>(std::size(kDecoderStrings)), openDecoder);

const StatisticEntry kStatistics[] = {
    {QEL_STAT_MESSAGE_COUNT, [](const ChannelRecord* record) { return pop3View(record).messageCount; }},
    {QEL_STAT_MESSAGE_SIZE, [](const ChannelRecord* record) { return pop3View(record).messageSize; }},
    {QEL_STAT_LINE_BYTES, [](const ChannelRecord* record) { return pop3View(record).lineBufferUsed; }},
    {QEL_STAT_SAVED_COUNT, [](const ChannelRecord* record) { return decoderView(record).savedCount; }},
};
const StatisticRegistration statisticsRegistered(kStatistics, static_cast<int32_t>(std::size(kStatistics)));

// QEL_STRING_SAVE_LINES: the lines block of TOP goes into a file and is
// freed. The bytes written, -47 (no block) or -67 (no file).
int32_t saveLinesBlock(ChannelRecord* record, const char* path) {
  int32_t number = record->channelNumber * kSlotsPerChannel + kSlotLines;
  char* lines = blockPointer(number);
  if (lines == nullptr) return kErrNullPointer;
  int32_t handle = plat::fileCreate(path);
  if (handle <= 0) return kErrCannotCreateFile;
  int32_t length = textLength(lines);
  int32_t written = plat::fileWrite(handle, lines, length);
  plat::fileClose(handle);
  channelFreeRange(record->channelNumber, kSlotLines, kSlotLines);
  // A TOP that the caller still drives stores nothing more into the freed
  // block.
  if (record->pop3 != nullptr && record->pop3->lineBuffer == lines) {
    record->pop3->lineBuffer = nullptr;
    record->pop3->lineBufferSize = 0;
  }
  return written;
}
const StringSettingEntry kStringSettings[] = {{QEL_STRING_SAVE_LINES, saveLinesBlock}};
const StringSettingRegistration stringSettingsRegistered(kStringSettings,
                                                         static_cast<int32_t>(std::size(kStringSettings)));

// A close frees the lines block after its QUIT: no answer is stored
// anywhere once the close has begun.
void forgetAnswerBuffer(ChannelRecord* record) {
  if (record->pop3 != nullptr) record->pop3->lineBuffer = nullptr;
}
const CloseHookRegistration closeHook(forgetAnswerBuffer);

void releaseSession(ChannelRecord* record) {
  plat::memoryFree(record->pop3);
  record->pop3 = nullptr;
}
const ReleaseHookRegistration releaseHook(releaseSession);

}  // namespace

int32_t openPop3Session(ChannelRecord* record) {
  if (record->pop3 != nullptr) return 0;
  auto* session = static_cast<Pop3Session*>(plat::memoryAllocate(sizeof(Pop3Session)));
  if (session == nullptr) return kErrNoMemory;
  *session = defaultSession();
  record->pop3 = session;
  return 0;
}

const Pop3Session& pop3View(const ChannelRecord* record) {
  static const Pop3Session defaults = defaultSession();
  return record->pop3 != nullptr ? *record->pop3 : defaults;
}

}  // namespace qel
