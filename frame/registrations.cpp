#include "frame/registrations.h"

namespace qel {
namespace {

constexpr int32_t kMaxReleaseHooks = 8;
constexpr int32_t kMaxErrorDetails = 8;

struct ReleaseHooks {
  ReleaseHook hooks[kMaxReleaseHooks] = {};
  int32_t count = 0;
};
ReleaseHooks& releaseHooks() {
  static ReleaseHooks registered;
  return registered;
}

struct ErrorDetails {
  int32_t codes[kMaxErrorDetails] = {};
  ErrorDetail details[kMaxErrorDetails] = {};
  int32_t count = 0;
};
ErrorDetails& errorDetails() {
  static ErrorDetails registered;
  return registered;
}

}  // namespace

ReleaseHookRegistration::ReleaseHookRegistration(ReleaseHook hook) {
  ReleaseHooks& registered = releaseHooks();
  if (hook != nullptr && registered.count < kMaxReleaseHooks) registered.hooks[registered.count++] = hook;
}

void runReleaseHooks(ChannelRecord* record) {
  const ReleaseHooks& registered = releaseHooks();
  for (int32_t i = 0; i < registered.count; ++i) registered.hooks[i](record);
}

ErrorDetailRegistration::ErrorDetailRegistration(int32_t code, ErrorDetail detail) {
  ErrorDetails& registered = errorDetails();
  if (detail == nullptr || registered.count >= kMaxErrorDetails) return;
  registered.codes[registered.count] = code;
  registered.details[registered.count++] = detail;
}

ErrorDetail findErrorDetail(int32_t code) {
  const ErrorDetails& registered = errorDetails();
  for (int32_t i = 0; i < registered.count; ++i) {
    if (registered.codes[i] == code) return registered.details[i];
  }
  return nullptr;
}

}  // namespace qel
