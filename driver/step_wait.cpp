#include "driver/step_wait.h"

#include "driver/driver.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "transport/output.h"

namespace qel {
namespace {

// How often a run of steps that all made progress yields the processor:
// after every step would cost more than a body line.
constexpr uint32_t kStepsPerYield = 32;

// Pause after a failed wait call, so that a wait that keeps failing cannot
// turn into a busy loop.
constexpr uint32_t kFailedWaitPauseMs = 1;

uint32_t smaller(uint32_t a, uint32_t b) { return a < b ? a : b; }

// Whether the last call ran the current state and found it could not go on.
bool stepStalled(const ChannelRecord* record) {
  return record->step.stepWaitsOn != 0 && record->step.thisState == -1 && record->step.nextState == record->step.prevState;
}

}  // namespace

StepWait planStepWait(const ChannelRecord* record, uint32_t now) {
  StepWait plan{true, 0, 0};
  if (record->step.nextState == 0) return plan;
  if (record->step.dueTime != 0 && tickBefore(now, record->step.dueTime)) {
    plan.runNow = false;
    plan.ms = record->step.dueTime - now;
    return plan;
  }
  // The driver fails the channel once the deadline lies behind now.
  if (record->step.deadline != 0 && tickBefore(record->step.deadline, now)) return plan;
  bool needsWritable = record->step.awaitWritable != 0 && !outputHasRoomForLine(record->connection);
  uint8_t event = needsWritable ? kStepWaitsForWritable : stepStalled(record) ? record->step.stepWaitsOn : 0;
  // A closed socket has nothing to wait for: the step meets the error.
  if (event == 0 || !socketIsOpen(record->connection)) return plan;
  plan.runNow = false;
  plan.socketFor = event;
  plan.ms = record->step.deadline != 0 ? record->step.deadline - now + 1 : kLongestStepSleepMs;
  // A connect that may go on to the server's next address gives up on this
  // one at its own time.
  uint32_t attemptDeadline = record->connection->attemptDeadline;
  if (event == kStepWaitsForWritable && attemptDeadline != 0 && tickBefore(now, attemptDeadline)) {
    plan.ms = smaller(plan.ms, attemptDeadline - now + 1);
  }
  return plan;
}

void sleepUntilStep(ChannelRecord* record, int32_t lastResult) {
  static thread_local uint32_t steps = 0;
  if (lastResult != kWaiting && !stepStalled(record)) {
    if ((++steps % kStepsPerYield) == 0) plat::yield();
    return;
  }
  StepWait plan = planStepWait(record, plat::tickCount());
  if (plan.runNow) {
    plat::yield();
    return;
  }
  uint32_t ms = smaller(plan.ms, kLongestStepSleepMs);
  if (plan.socketFor == 0) {
    plat::sleepMs(ms);
    return;
  }
  plat::SocketWait entry{record->connection->socket, plan.socketFor == kStepWaitsForData,
                         plan.socketFor == kStepWaitsForWritable, false};
  if (plat::socketWaitAny(&entry, 1, ms) < 0) plat::sleepMs(kFailedWaitPauseMs);
}

}  // namespace qel
