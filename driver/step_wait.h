// When a channel's next step can do something: the pause it asked for, the
// socket event its step found missing, and the deadline that bounds both.
// Blocking operations sleep on this between driver calls instead of calling
// the driver over and over, and qelWait does the same for many channels.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Longest single sleep when nothing else bounds it (no deadline): the
// channel is looked at again after it, so no wait can hang for ever.
constexpr uint32_t kLongestStepSleepMs = 1000;

struct StepWait {
  bool runNow;        // the next driver call can run a step (or complete)
  uint8_t socketFor;  // 0, kStepWaitsForData or kStepWaitsForWritable
  uint32_t ms;        // longest sleep before the next call is due anyway
};

// What the channel waits for at tick count now.
StepWait planStepWait(const ChannelRecord* record, uint32_t now);

// Sleeps until the channel can make progress or a time limit of its own
// comes, without holding the library lock. lastResult is what qelDriver
// returned last: a step that moved on runs again at once.
void sleepUntilStep(ChannelRecord* record, int32_t lastResult);

}  // namespace qel
