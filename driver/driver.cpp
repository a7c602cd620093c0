// qelDriver: one state per call, with pauses, deadlines, the state trace and
// the failure wrap-up.
#include "driver/driver.h"

#include <cstdarg>

#include "driver/step_wait.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "qel32.h"
#include "transport/connection.h"
#include "transport/output.h"
#include "transport/readiness.h"
#include "transport/send.h"

namespace qel {
namespace {

constexpr int32_t kMaxCloseHooks = 8;
constexpr int32_t kErrorTextChars = 127;

StateHandler* handlerTable() {
  static StateHandler table[kMaxStateNumber + 1] = {};
  return table;
}

struct CloseHooks {
  CloseHook hooks[kMaxCloseHooks] = {};
  int32_t count = 0;
};

CloseHooks& closeHooks() {
  static CloseHooks registered;
  return registered;
}

CloseHooks& failHooks() {
  static CloseHooks registered;
  return registered;
}

void addHook(CloseHooks& registered, CloseHook hook) {
  if (hook != nullptr && registered.count < kMaxCloseHooks) registered.hooks[registered.count++] = hook;
}

void runHooks(const CloseHooks& registered, ChannelRecord* record) {
  for (int32_t i = 0; i < registered.count; ++i) registered.hooks[i](record);
}

// Writes the text of code (at most 127 characters, no line end) to the log.
void logErrorText(ChannelRecord* record, int32_t code) {
  char text[kErrorTextChars + 1];
  writeErrorText(record, code, text, sizeof text);
  logText(record, text);
}

}  // namespace

StateRegistration::StateRegistration(const StateEntry* entries, std::size_t count) {
  StateHandler* table = handlerTable();
  for (std::size_t i = 0; i < count; ++i) {
    int32_t state = entries[i].state;
    if (state > 0 && state <= kMaxStateNumber) table[state] = entries[i].handler;
  }
}

StateHandler findStateHandler(int32_t state) {
  if (state <= 0 || state > kMaxStateNumber) return nullptr;
  return handlerTable()[state];
}

CloseHookRegistration::CloseHookRegistration(CloseHook hook) { addHook(closeHooks(), hook); }

void runCloseHooks(ChannelRecord* record) { runHooks(closeHooks(), record); }

FailHookRegistration::FailHookRegistration(CloseHook hook) { addHook(failHooks(), hook); }

void runFailHooks(ChannelRecord* record) { runHooks(failHooks(), record); }

namespace {

void logFailure(ChannelRecord* record, int32_t socketCode, int32_t code) {
  if (!logOn(record)) return;
  logFormat(record, "ERROR(%d): SockCode=%d QelCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
            static_cast<int32_t>(plat::tickCount()), socketCode, code, record->step.prevState, record->step.thisState,
            record->step.nextState);
  if (code < 0) logErrorText(record, code);
  if (socketCode < 0) logErrorText(record, socketCode);
}

// The running sequence is over: the channel is idle again.
void endSequence(ChannelRecord* record, int32_t socketCode) {
  record->step.nextState = 0;
  record->step.prevState = record->step.thisState;
  record->step.thisState = -1;
  record->step.lastSocketCode = socketCode;
}

}  // namespace

int32_t failState(ChannelRecord* record, int32_t socketCode, int32_t code) {
  logFailure(record, socketCode, code);
  if (code < 0) {
    endSequence(record, socketCode);
    closeSocketLogged(record->connection, record->log);
    // Nothing of a failed operation stays open until the next one: a file
    // cut short is closed now, and never recorded as complete later.
    runFailHooks(record);
  }
  plat::yield();
  return code;
}

int32_t refuseState(ChannelRecord* record, int32_t code) {
  logFailure(record, 0, code);
  endSequence(record, 0);
  runFailHooks(record);
  return code;
}

int32_t runDriver(int32_t channel) {
  ChannelRecord* record = channelRecord(channel);
  int32_t result;
  while ((result = qelDriver(channel)) > 0) {
    if (record != nullptr) sleepUntilStep(record, result);
  }
  return result;
}

void stageSequence(ChannelRecord* record, int32_t firstState) {
  record->step.nextState = firstState;
  record->step.afterConnectState = 0;
  record->step.lastSocketCode = 0;
  record->step.dueTime = 0;
  record->step.deadline = 0;
}

int32_t sendCommand(ChannelRecord* record, const char* format, ...) {
  va_list args;
  va_start(args, format);
  // Room for the CR LF and NUL that sendLine puts behind the text.
  plat::formatTextV(record->texts.commandLine, fieldSize(kCommandLineCap) - 2, format, args);
  va_end(args);
  int32_t rc = sendLine(record->connection, record->texts.commandLine);
  if (rc < 0) return failState(record, rc, kErrSocketWrite);
  return kStateContinue;
}

void replyWait(ChannelRecord* record, uint32_t now) {
  record->step.dueTime = tickAfter(now, settings.minimumWait);
  record->step.deadline = tickAfter(now, settings.replyTimeout);
}

void loginReplyWait(ChannelRecord* record, uint32_t now) {
  record->step.dueTime = tickAfter(now, settings.minimumWait + loginPauseMs());
  record->step.deadline = tickAfter(now, settings.replyTimeout);
}

int32_t sentThen(ChannelRecord* record, int32_t sendResult, int32_t next, StepTiming timing, uint32_t now) {
  if (sendResult != kStateContinue) return sendResult;
  if (timing != nullptr) timing(record, now);
  record->step.nextState = next;
  return kStateContinue;
}

}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelDriver(int32_t chan) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  record->texts.commandLine[0] = '\0';
  record->texts.replyText[0] = '\0';
  record->step.stepWaitsOn = 0;
  if (record->connection != nullptr) record->connection->dataAwaited = false;
  uint32_t now = plat::tickCount();

  if (record->step.dueTime != 0 && tickBefore(now, record->step.dueTime)) {
    plat::yield();
    return kWaiting;
  }
  // An idle channel has no deadline to miss: after a failure the next call
  // completes the channel instead of failing it again.
  if (record->step.deadline != 0 && record->step.nextState != 0 && tickBefore(record->step.deadline, now)) {
    return failState(record, 0, kErrTimedOut);
  }
  if (record->step.awaitWritable != 0) {
    // A line that goes into the output buffer does not touch the socket.
    if (!outputHasRoomForLine(record->connection) && !readinessTest(record->connection, plat::Readiness::writable)) {
      plat::yield();
      return kWaiting;
    }
    record->step.awaitWritable = 0;
  }

  record->step.thisState = record->step.nextState;
  if (record->step.thisState > 0) ++record->step.stateCount;
  if (record->step.thisState != record->step.prevState) {
    logFormat(record, "<%3d:%d>\r\n", record->step.thisState, static_cast<int32_t>(now));
  }

  if (record->step.thisState == 0) {
    record->step.thisState = -1;
    record->step.dueTime = 0;
    record->step.deadline = 0;
    return 0;
  }

  StateHandler handler = findStateHandler(record->step.thisState);
  if (handler == nullptr) {
    logFormat(record, "ERROR! Unknown state %d\r\n", record->step.thisState);
  } else {
    int32_t result = handler(record, now);
    // A read of the step that found no data yet: the step waits for it.
    if (record->connection != nullptr && record->connection->dataAwaited) record->step.stepWaitsOn = kStepWaitsForData;
    if (result != kStateContinue) {
      // A handler that returned without the failure wrap-up still ends its
      // step.
      if (record->step.thisState != -1) {
        record->step.prevState = record->step.thisState;
        record->step.thisState = -1;
      }
      return result;
    }
  }
  record->step.prevState = record->step.thisState;
  record->step.thisState = -1;
  return record->step.nextState;
}
