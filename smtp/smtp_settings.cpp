// The integer settings and statistics of an SMTP channel's own fields, served
// through the frame's registrations.
#include <cstdint>
#include <iterator>

#include "frame/channel.h"
#include "frame/registrations.h"
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
};
const IntegerSettingRegistration settingsRegistered(kSettings, static_cast<int32_t>(std::size(kSettings)));

const StatisticEntry kStatistics[] = {
    {QEL_STAT_VERIFY_RESULT, [](const ChannelRecord* record) { return record->verifyResult; }},
};
const StatisticRegistration statisticsRegistered(kStatistics, static_cast<int32_t>(std::size(kStatistics)));

}  // namespace
}  // namespace qel
