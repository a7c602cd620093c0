// The channel-wide operations: close (QUIT), abort, and one raw command.
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/memory.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "qel32.h"
#include "transport/connection.h"
#include "transport/receive.h"

namespace qel {
namespace {

constexpr int32_t kQuitState = 258;
constexpr int32_t kMaxRawProtocols = 4;

struct RawCommandStart {
  char protocol;
  int32_t state;
  RawReplyReader readReply;
};

// Filled by the protocols' static registrations before any call can come.
RawCommandStart* rawCommandStarts() {
  static RawCommandStart starts[kMaxRawProtocols] = {};
  return starts;
}

const RawCommandStart* rawCommandStart(char protocol) {
  const RawCommandStart* starts = rawCommandStarts();
  for (int32_t i = 0; i < kMaxRawProtocols; ++i) {
    if (protocol != 0 && starts[i].protocol == protocol) return &starts[i];
  }
  return nullptr;
}

// The sending state: the text that qelCommand stored, then the reply state.
int32_t sendRawCommand(ChannelRecord* record, uint32_t now) {
  copyText(record->texts.commandLine, record->texts.commandText, kCommandTextCap);
  return sentThen(record, sendCommand(record, "%s", record->texts.commandText), record->step.thisState + 1, replyWait, now);
}

// The reply state: read with the reader of the channel's protocol.
int32_t readRawReply(ChannelRecord* record, uint32_t) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  const RawCommandStart* start = rawCommandStart(record->protocol);
  int32_t rc = start != nullptr ? start->readReply(record) : 0;
  if (rc < 0) return failState(record, 0, rc);
  record->step.nextState = 0;
  return kStateContinue;
}

}  // namespace

RawCommandRegistration::RawCommandRegistration(char protocol, int32_t firstState, RawReplyReader readReply) {
  RawCommandStart* starts = rawCommandStarts();
  for (int32_t i = 0; i < kMaxRawProtocols; ++i) {
    if (starts[i].protocol == 0 || starts[i].protocol == protocol) {
      starts[i] = {protocol, firstState, readReply};
      const StateEntry states[] = {{firstState, sendRawCommand}, {firstState + 1, readRawReply}};
      const StateRegistration registered(states, std::size(states));
      return;
    }
  }
}

int32_t rawCommandState(char protocol) {
  const RawCommandStart* start = rawCommandStart(protocol);
  return start != nullptr ? start->state : 0;
}

}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelClose(int32_t chan) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  logText(record, "*** qelClose\r\n");
  runCloseHooks(record);
  record->step.awaitWritable = 1;
  stageSequence(record, kQuitState);
  if (record->step.autoCall == 0) return 0;
  int32_t result = runDriver(chan);
  channelFreeRange(record->channelNumber, kSlotTo, kSlotLines);
  record->protocol = kProtocolNone;
  return result;
}

extern "C" QEL_API int32_t QEL_CALL qelAbort(int32_t chan) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  logText(record, "*** qelAbort\r\n");
  record->step.afterConnectState = 0;
  record->step.lastSocketCode = 0;
  record->step.autoCall = 1;
  record->step.nextState = 0;
  closeSocketLogged(record->connection, record->log);
  // An aborted operation is a failed one: its files are closed, and a file
  // cut short is never recorded as complete.
  runFailHooks(record);
  return 1;
}

extern "C" QEL_API int32_t QEL_CALL qelCommand(int32_t chan, const char* text) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  logText(record, "*** qelCommand\r\n");
  if (text == nullptr) return kErrNullPointer;
  copyText(record->texts.commandText, text, kCommandTextCap);
  record->step.afterConnectState = 0;
  record->step.lastSocketCode = 0;
  int32_t first = rawCommandState(record->protocol);
  if (first == 0) return kErrBadServerName;
  record->step.nextState = first;
  record->step.dueTime = 0;
  record->step.deadline = 0;
  if (record->step.autoCall == 0) return 0;
  return runDriver(chan);
}
