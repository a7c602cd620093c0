// The settings and statistics of an SMTP channel's own fields, served
// through the frame's registrations.
#include <cstdint>
#include <iterator>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/memory.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "qel32.h"

namespace qel {
namespace {

uint16_t low16(int32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }
uint8_t low8(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

const IntegerSettingEntry kSettings[] = {
    {QEL_PARAM_BODY_TYPE, [](ChannelRecord* record, int32_t value) { record->bodyType = static_cast<uint32_t>(value) & 15u; }},
    {QEL_PARAM_SMTP_PORT, [](ChannelRecord* record, int32_t value) { record->smtpPort = low16(value); }},
    {QEL_PARAM_IMAGE_TYPES, [](ChannelRecord* record, int32_t value) { record->imageTypes = low8(value); }},
    {QEL_PARAM_USE_ESMTP, [](ChannelRecord* record, int32_t value) { record->useEsmtp = low8(value); }},
    {QEL_PARAM_EXTENSIONS, [](ChannelRecord* record, int32_t value) { record->useExtensions = low8(value); }},
    {QEL_PARAM_STANDARD_HEADER, [](ChannelRecord* record, int32_t value) { record->standardHeader = value != 0 ? 1 : 0; }},
    {QEL_PARAM_PIPELINING, [](ChannelRecord* record, int32_t value) { record->usePipelining = value != 0 ? 1 : 0; }},
};
const IntegerSettingRegistration settingsRegistered(kSettings, static_cast<int32_t>(std::size(kSettings)));

// The result of setting extra header lines: the copy's last three characters
// are examined; at the first CR or LF among them the text is cut. Returns 1 +
// the number of those characters before the cut (all of them when there is
// none), or 0 when no copy exists.
int32_t finishExtraHeader(ChannelRecord* record) {
  char* copy = record->extraHeader;
  int32_t length = textLength(copy);
  if (copy == nullptr || length == 0) return 0;
  int32_t start = length < 3 ? 0 : length - 3;
  for (int32_t i = start; i < length; ++i) {
    if (copy[i] == '\r' || copy[i] == '\n') {
      copy[i] = '\0';
      return 1 + (i - start);
    }
  }
  return 1 + (length - start);
}

int32_t setExtraHeader(ChannelRecord* record, const char* text) {
  int32_t channel = record->channelNumber;
  if (text[0] == '\0') {
    channelFreeRange(channel, kSlotExtraHeader, kSlotExtraHeader);
    record->extraHeader = nullptr;
    return 0;
  }
  record->extraHeader = allocAndCopy(channel, kSlotExtraHeader, text);
  return finishExtraHeader(record);
}

int32_t appendExtraHeader(ChannelRecord* record, const char* text) {
  int32_t channel = record->channelNumber;
  char* scratch = record->log.text;
  scratch[0] = '\0';
  if (record->extraHeader != nullptr) {
    copyText(scratch, record->extraHeader, kLogTextCap);
    appendText(scratch, "\r\n", 2, kLogTextCap);
    channelFreeRange(channel, kSlotExtraHeader, kSlotExtraHeader);
    record->extraHeader = nullptr;
  }
  appendText(scratch, text, kLogTextCap, kLogTextCap);
  record->extraHeader = allocAndCopy(channel, kSlotExtraHeader, scratch);
  return finishExtraHeader(record);
}

// A charset name goes into header lines and encoded words: only the
// characters of an RFC 2978 name are taken, anything else leaves it off.
int32_t setCharset(ChannelRecord* record, const char* text) {
  int32_t length = textLength(text);
  bool usable = length <= kCharsetCap;
  for (int32_t i = 0; usable && i < length; ++i) {
    char c = text[i];
    usable = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
             c == '.' || c == ':' || c == '+';
  }
  if (!usable) {
    record->charsetName[0] = '\0';
    return kIndexNotServed;
  }
  return copyText(record->charsetName, text, kCharsetCap);
}

const StringSettingEntry kStringSettings[] = {
    {QEL_STRING_EXTRA_HEADER, setExtraHeader},
    {QEL_STRING_ADD_HEADER, appendExtraHeader},
    {QEL_STRING_CHARSET, setCharset},
};
const StringSettingRegistration stringsRegistered(kStringSettings, static_cast<int32_t>(std::size(kStringSettings)));

const StatisticEntry kStatistics[] = {
    {QEL_STAT_VERIFY_RESULT, [](const ChannelRecord* record) { return record->verifyResult; }},
};
const StatisticRegistration statisticsRegistered(kStatistics, static_cast<int32_t>(std::size(kStatistics)));

}  // namespace
}  // namespace qel
