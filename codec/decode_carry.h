// What a streaming decoder keeps between the pieces of its text: a base64
// group or a quoted-printable escape that the end of a piece cut short.
// Both incoming decoders hold one per download.
#pragma once

#include <cstdint>

namespace qel {

struct DecodeCarry {
  char bytes[4];
  int32_t count;  // 0: nothing carried
};

}  // namespace qel
