// Tick-count arithmetic for pauses and deadlines. Tick counts wrap every
// 49.7 days; they are compared through their signed difference so that a
// time set just before the wrap neither fires at once nor never.
#pragma once

#include <cstdint>

namespace qel {

// now + ms as a tick count; never 0, because 0 means "no pause" or "no
// deadline" in the channel record.
inline uint32_t tickAfter(uint32_t now, int32_t ms) {
  uint32_t when = now + static_cast<uint32_t>(ms);
  return when == 0 ? 1 : when;
}

// Whether tick count a lies before b.
inline bool tickBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// Whether tick count a lies before b or equals it.
inline bool tickBeforeOrAt(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) <= 0; }

}  // namespace qel
