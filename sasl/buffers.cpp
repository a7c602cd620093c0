// The memory of the login: its block (sasl/login_state.h), made at the
// first login setting or when a connection starts and wiped and freed at
// release; the exchange's buffers, taken when an exchange starts and wiped
// and given back when it ends; and the token setting, taken only when a
// caller sets one. A channel that never logs in this way holds neither.
#include <cstring>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

// Wipes and frees a block that held credentials.
void wipeAndFree(void* block, size_t size) {
  if (block == nullptr) return;
  std::memset(block, 0, size);
  plat::memoryFree(block);
}

void releaseLogin(ChannelRecord* record) {
  if (record->login == nullptr) return;
  dropSaslBuffers(record);
  dropBearerToken(record);
  wipeAndFree(record->login, sizeof(LoginState));
  record->login = nullptr;
}
const ReleaseHookRegistration releaseRegistered(releaseLogin);
// A login cut off by a failure or a close gives its buffers back too.
const CloseHookRegistration closeRegistered(dropSaslBuffers);
const FailHookRegistration failRegistered(dropSaslBuffers);

}  // namespace

int32_t openLoginState(ChannelRecord* record) {
  if (record->login != nullptr) return 0;
  record->login = static_cast<LoginState*>(plat::memoryAllocate(sizeof(LoginState)));
  return record->login != nullptr ? 0 : kErrNoMemory;
}

const LoginState& loginOf(const ChannelRecord* record) {
  static const LoginState kNoLogin{};
  return record->login != nullptr ? *record->login : kNoLogin;
}

int32_t storeBearerToken(ChannelRecord* record, const char* text) {
  if (text[0] == '\0') {
    dropBearerToken(record);
    return 0;
  }
  if (record->login->bearerToken == nullptr) {
    record->login->bearerToken = static_cast<char*>(plat::memoryAllocate(fieldSize(kBearerTokenCap)));
    if (record->login->bearerToken == nullptr) return kErrNoMemory;
  }
  return copyText(record->login->bearerToken, text, kBearerTokenCap);
}

void dropBearerToken(ChannelRecord* record) {
  if (record->login == nullptr) return;
  wipeAndFree(record->login->bearerToken, fieldSize(kBearerTokenCap));
  record->login->bearerToken = nullptr;
}

int32_t takeSaslBuffers(ChannelRecord* record) {
  if (record->login->saslBuffers == nullptr) {
    record->login->saslBuffers = static_cast<SaslBuffers*>(plat::memoryAllocate(sizeof(SaslBuffers)));
    if (record->login->saslBuffers == nullptr) return kErrNoMemory;
  }
  return 0;
}

void dropSaslBuffers(ChannelRecord* record) {
  if (record->login == nullptr) return;
  wipeAndFree(record->login->saslBuffers, sizeof(SaslBuffers));
  record->login->saslBuffers = nullptr;
}

const char* bearerToken(const ChannelRecord* record) {
  const char* token = loginOf(record).bearerToken;
  return token != nullptr ? token : "";
}

}  // namespace qel
