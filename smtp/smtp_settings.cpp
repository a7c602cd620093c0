// The settings, statistics and text of an SMTP channel's own fields, served
// through the frame's registrations. A setting of the session makes its
// block first.
#include <cstdint>
#include <iterator>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/memory.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "qel32.h"
#include "smtp/smtp_session.h"

namespace qel {
namespace {

uint16_t low16(int32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }
uint8_t low8(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

const IntegerSettingEntry kSettings[] = {
    {QEL_PARAM_BODY_TYPE, [](ChannelRecord* record, int32_t value) { record->smtp->bodyType = static_cast<uint32_t>(value) & 15u; }},
    {QEL_PARAM_SMTP_PORT, [](ChannelRecord* record, int32_t value) { record->smtp->smtpPort = low16(value); }},
    {QEL_PARAM_IMAGE_TYPES, [](ChannelRecord* record, int32_t value) { record->smtp->imageTypes = low8(value); }},
    {QEL_PARAM_USE_ESMTP, [](ChannelRecord* record, int32_t value) { record->smtp->useEsmtp = low8(value); }},
    {QEL_PARAM_EXTENSIONS, [](ChannelRecord* record, int32_t value) { record->smtp->useExtensions = low8(value); }},
    {QEL_PARAM_STANDARD_HEADER, [](ChannelRecord* record, int32_t value) { record->smtp->standardHeader = value != 0 ? 1 : 0; }},
    {QEL_PARAM_PIPELINING, [](ChannelRecord* record, int32_t value) { record->smtp->usePipelining = value != 0 ? 1 : 0; }},
};
const IntegerSettingRegistration settingsRegistered(kSettings, static_cast<int32_t>(std::size(kSettings)),
                                                    openSmtpSession);

// Texts that go into the message as they are (the sender's address) are
// stored whole or not at all: a cut one would still pass every later check.
// The characters stored, or -150.
int32_t copyWhole(char* field, const char* text, int32_t capacity) {
  if (textLength(text) > capacity) return kErrTextTooLong;
  return copyText(field, text, capacity);
}

// The greeting name goes on the EHLO/HELO line as one word: printable
// ASCII only. The characters stored, -150 or -180 (nothing stored).
int32_t setHelloName(ChannelRecord* record, const char* text) {
  for (const char* c = text; *c != '\0'; ++c) {
    auto byte = static_cast<unsigned char>(*c);
    if (byte <= ' ' || byte >= 0x7F) return kErrBadHelloName;
  }
  return copyWhole(record->smtp->helloName, text, kHelloNameCap);
}

// The result of setting extra header lines: the copy's last three characters
// are examined; at the first CR or LF among them the text is cut. Returns 1 +
// the number of those characters before the cut (all of them when there is
// none), or 0 when no copy exists.
int32_t finishExtraHeader(ChannelRecord* record) {
  char* copy = extraHeader(record);
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
    return 0;
  }
  allocAndCopy(channel, kSlotExtraHeader, text);
  return finishExtraHeader(record);
}

int32_t appendExtraHeader(ChannelRecord* record, const char* text) {
  int32_t channel = record->channelNumber;
  char* scratch = record->log.text;
  scratch[0] = '\0';
  if (extraHeader(record) != nullptr) {
    copyText(scratch, extraHeader(record), kLogTextCap);
    appendText(scratch, "\r\n", 2, kLogTextCap);
    channelFreeRange(channel, kSlotExtraHeader, kSlotExtraHeader);
  }
  appendText(scratch, text, kLogTextCap, kLogTextCap);
  allocAndCopy(channel, kSlotExtraHeader, scratch);
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
    record->smtp->charsetName[0] = '\0';
    return kIndexNotServed;
  }
  return copyText(record->smtp->charsetName, text, kCharsetCap);
}

const StringSettingEntry kStringSettings[] = {
    {QEL_STRING_FROM, [](ChannelRecord* record, const char* text) { return copyWhole(record->smtp->fromAddress, text, kAddressCap); }},
    {QEL_STRING_REPLY_TO, [](ChannelRecord* record, const char* text) { return copyWhole(record->smtp->replyToAddress, text, kAddressCap); }},
    {QEL_STRING_HELLO_NAME, setHelloName},
    {QEL_STRING_CHARSET, setCharset},
};
const StringSettingRegistration stringsRegistered(kStringSettings, static_cast<int32_t>(std::size(kStringSettings)),
                                                  openSmtpSession);

// The extra header lines live in a tracked block of their own.
const StringSettingEntry kHeaderSettings[] = {
    {QEL_STRING_EXTRA_HEADER, setExtraHeader},
    {QEL_STRING_ADD_HEADER, appendExtraHeader},
};
const StringSettingRegistration headersRegistered(kHeaderSettings, static_cast<int32_t>(std::size(kHeaderSettings)));

const StatisticEntry kStatistics[] = {
    {QEL_STAT_VERIFY_RESULT, [](const ChannelRecord* record) { return smtpOf(record).verifyResult; }},
};
const StatisticRegistration statisticsRegistered(kStatistics, static_cast<int32_t>(std::size(kStatistics)));

}  // namespace
}  // namespace qel
