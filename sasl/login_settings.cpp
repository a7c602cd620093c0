// The settings, statistic and error detail of the login, served through the
// frame's registrations. A login setting makes the login block first.
#include <cstdint>
#include <iterator>

#include "frame/errors.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "qel32.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

const IntegerSettingEntry kSettings[] = {
    {QEL_PARAM_NEGOTIATE_LOGIN, [](ChannelRecord* record, int32_t value) { record->login->negotiateLogin = value != 0 ? 1 : 0; }},
    {QEL_PARAM_AUTH_MECHANISMS, [](ChannelRecord* record, int32_t value) { record->login->mechanismMask = static_cast<uint32_t>(value); }},
    {QEL_PARAM_LOGIN_CLEAR_TEXT, [](ChannelRecord* record, int32_t value) { record->login->loginClearText = value != 0 ? 1 : 0; }},
};
const IntegerSettingRegistration settingsRegistered(kSettings, static_cast<int32_t>(std::size(kSettings)), openLoginState);

// A long credential set again is meant for the next login, whichever
// protocol runs it.
int32_t setLoginUser(ChannelRecord* record, const char* text) {
  record->login->loginSettingsUsedBySmtp = 0;
  return copyText(record->login->loginUser, text, kLoginUserCap);
}

int32_t setLoginPassword(ChannelRecord* record, const char* text) {
  record->login->loginSettingsUsedBySmtp = 0;
  return copyText(record->login->loginPassword, text, kLoginPasswordCap);
}

const StringSettingEntry kStringSettings[] = {
    {QEL_STRING_PASSWORD, [](ChannelRecord* record, const char* text) { return copyText(record->login->password, text, kCredentialCap); }},
    {QEL_STRING_USER, [](ChannelRecord* record, const char* text) { return copyText(record->login->userName, text, kCredentialCap); }},
    {QEL_STRING_LOGIN_USER, setLoginUser},
    {QEL_STRING_LOGIN_PASSWORD, setLoginPassword},
    {QEL_STRING_BEARER_TOKEN, storeBearerToken},
};
const StringSettingRegistration stringsRegistered(kStringSettings, static_cast<int32_t>(std::size(kStringSettings)),
                                                  openLoginState);

const StatisticEntry kStatistics[] = {
    {QEL_STAT_TLS_OFFERED, [](const ChannelRecord* record) { return static_cast<int32_t>(loginOf(record).tlsOffered); }},
};
const StatisticRegistration statisticsRegistered(kStatistics, static_cast<int32_t>(std::size(kStatistics)));

// The login codes append what the server offered, or what it got wrong.
int32_t loginReason(const ChannelRecord* record, char* out, int32_t room) {
  return plat::formatText(out, room, " %s", loginOf(record).loginReason);
}
const ErrorDetailRegistration noMechanismDetail(kErrNoCommonMechanism, loginReason);
const ErrorDetailRegistration notProvenDetail(kErrServerNotProven, loginReason);

}  // namespace
}  // namespace qel
