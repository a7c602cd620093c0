// What the protocol folders hook into the frame's exports, each from a
// static object as the state tables are (driver/driver.h): work done for
// every channel at qelRelease, and details that qelErrorText appends to the
// text of a code.
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

}  // namespace qel
