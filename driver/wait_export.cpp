// qelWait and qelWaitPlan: for callers that drive channels themselves
// (autoCall 0), one thread can sleep until any of many channels has work,
// or put the channels' sockets into an event loop of its own.
#include "driver/step_wait.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "transport/readiness.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "qel32.h"

namespace qel {
namespace {

// The sockets one round of qelWait sleeps on.
struct WaitRound {
  plat::SocketWait sockets[kMaxChannels];
  Connection* owners[kMaxChannels];
  int32_t socketCount = 0;
  int32_t readyNow = 0;    // channels whose next driver call can run at once
  int32_t running = 0;     // channels looked at
  uint32_t sleepMs = kLongestStepSleepMs;
};

void addChannel(WaitRound* round, const ChannelRecord* record, uint32_t now) {
  ++round->running;
  StepWait plan = planStepWait(record, now);
  if (plan.runNow) {
    ++round->readyNow;
    return;
  }
  if (plan.ms < round->sleepMs) round->sleepMs = plan.ms;
  if (plan.socketFor == 0) return;
  // A plan that waits on the socket has an open one.
  round->owners[round->socketCount] = record->connection;
  plat::SocketWait& entry = round->sockets[round->socketCount++];
  entry = plat::SocketWait{record->connection->socket, plan.socketFor == kStepWaitsForData,
                           plan.socketFor == kStepWaitsForWritable, false};
}

// Waits up to ms on the round's sockets, and notes each channel whose step
// waits for data that has not come, so that its next driver step need not
// test the socket again. As socketWaitAny.
int32_t waitOnSockets(WaitRound* round, uint32_t ms) {
  int32_t ready = plat::socketWaitAny(round->sockets, round->socketCount, ms);
  if (ready < 0) return ready;
  for (int32_t i = 0; i < round->socketCount; ++i) {
    if (round->sockets[i].readable && !round->sockets[i].ready) noteNoDataAtWait(round->owners[i]);
  }
  return ready;
}

// One look at the channels in scope: which can run now, which sockets to
// watch, and how long the sleep may be.
void planRound(WaitRound* round, const ChannelRecord* only) {
  uint32_t now = plat::tickCount();
  if (only != nullptr) {
    addChannel(round, only, now);
    return;
  }
  for (int32_t i = 0; i < channelCount && i < kMaxChannels; ++i) {
    const ChannelRecord* record = channelTable[i].record;
    // An idle channel has nothing to wait for.
    if (record != nullptr && record->step.nextState != 0) addChannel(round, record, now);
  }
}

}  // namespace
}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelWait(int32_t chan, int32_t timeoutMs) {
  ChannelRecord* only = nullptr;
  if (chan == QEL_WAIT_ANY_CHANNEL) {
    if (channelCount == 0) return kErrNotAttached;
  } else {
    int32_t rc = checkChannel(chan, &only);
    if (rc != 0) return rc;
  }
  uint32_t start = plat::tickCount();
  for (;;) {
    WaitRound round;
    startWaitLook();
    planRound(&round, only);
    if (round.readyNow > 0) {
      // The caller drives every channel next: one look tells which of the
      // waiting ones have nothing to read yet.
      if (round.socketCount > 0) waitOnSockets(&round, 0);
      return round.readyNow;
    }
    if (round.running == 0) return 0;
    uint32_t sleepMs = round.sleepMs;
    bool lastRound = false;
    if (timeoutMs >= 0) {
      uint32_t spent = plat::tickCount() - start;
      uint32_t left = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : static_cast<uint32_t>(timeoutMs) - spent;
      if (left <= sleepMs) {
        sleepMs = left;
        lastRound = true;
      }
    }
    int32_t ready = 0;
    if (round.socketCount > 0) {
      ready = waitOnSockets(&round, sleepMs);
      if (ready > 0) return ready;
      // A failed wait must not turn into a busy loop.
      if (ready < 0) plat::sleepMs(1);
    } else {
      plat::sleepMs(sleepMs);
    }
    if (lastRound) {
      // A pause that ended with the time-out has work ready now.
      WaitRound after;
      planRound(&after, only);
      return after.readyNow;
    }
  }
}

extern "C" QEL_API int32_t QEL_CALL qelWaitPlan(int32_t chan, int32_t* socket, int32_t* events) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  StepWait plan = planStepWait(record, plat::tickCount());
  if (socket != nullptr) {
    *socket = socketIsOpen(record->connection) ? static_cast<int32_t>(record->connection->socket) : -1;
  }
  if (events != nullptr) {
    *events = plan.socketFor == kStepWaitsForData       ? QEL_WAIT_READ
              : plan.socketFor == kStepWaitsForWritable ? QEL_WAIT_WRITE
                                                        : 0;
  }
  if (plan.runNow) return 0;
  // Without a deadline only the socket can end the wait.
  if (plan.socketFor != 0 && record->step.deadline == 0) return QEL_WAIT_NO_LIMIT;
  return plan.ms > static_cast<uint32_t>(QEL_WAIT_NO_LIMIT) ? QEL_WAIT_NO_LIMIT : static_cast<int32_t>(plan.ms);
}
