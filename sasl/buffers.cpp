// The memory of the negotiated login: the exchange's buffers, taken when
// an exchange starts and wiped and given back when it ends, and the token
// setting, taken only when a caller sets one. A channel that never logs in
// this way holds neither.
#include <cstring>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "qel32.h"
#include "sasl/sasl.h"

namespace qel {
namespace {

// Wipes and frees a block that held credentials.
void wipeAndFree(void* block, size_t size) {
  if (block == nullptr) return;
  std::memset(block, 0, size);
  plat::memoryFree(block);
}

void dropToken(ChannelRecord* record) {
  wipeAndFree(record->bearerToken, fieldSize(kBearerTokenCap));
  record->bearerToken = nullptr;
}

// QEL_STRING_BEARER_TOKEN: "" forgets the token.
int32_t storeBearerToken(ChannelRecord* record, const char* text) {
  if (text[0] == '\0') {
    dropToken(record);
    return 0;
  }
  if (record->bearerToken == nullptr) {
    record->bearerToken = static_cast<char*>(plat::memoryAllocate(fieldSize(kBearerTokenCap)));
    if (record->bearerToken == nullptr) return kErrNoMemory;
  }
  return copyText(record->bearerToken, text, kBearerTokenCap);
}

constexpr StringSettingEntry kSaslSettings[] = {{QEL_STRING_BEARER_TOKEN, storeBearerToken}};
const StringSettingRegistration settingsRegistered(kSaslSettings, 1);

void releaseSasl(ChannelRecord* record) {
  dropSaslBuffers(record);
  dropToken(record);
}
const ReleaseHookRegistration releaseRegistered(releaseSasl);
// A login cut off by a failure or a close gives its buffers back too.
const CloseHookRegistration closeRegistered(dropSaslBuffers);
const FailHookRegistration failRegistered(dropSaslBuffers);

}  // namespace

int32_t takeSaslBuffers(ChannelRecord* record) {
  if (record->saslBuffers == nullptr) {
    record->saslBuffers = static_cast<SaslBuffers*>(plat::memoryAllocate(sizeof(SaslBuffers)));
    if (record->saslBuffers == nullptr) return kErrNoMemory;
  }
  return 0;
}

void dropSaslBuffers(ChannelRecord* record) {
  wipeAndFree(record->saslBuffers, sizeof(SaslBuffers));
  record->saslBuffers = nullptr;
}

const char* bearerToken(const ChannelRecord* record) {
  return record->bearerToken != nullptr ? record->bearerToken : "";
}

}  // namespace qel
