// QUIT: states 258 and 259, used by qelClose on SMTP and POP3 channels.
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "frame/ticks.h"
#include "transport/connection.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "driver/connection_use.h"

namespace qel {
namespace {

constexpr int32_t kStateQuitReply = 259;

int32_t sendQuit(ChannelRecord* record, uint32_t now) {
  int32_t rc = sendCommand(record, "QUIT");
  if (rc != kStateContinue) return rc;
  record->step.dueTime = tickAfter(now, settings.minimumWait);
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  record->step.nextState = kStateQuitReply;
  return kStateContinue;
}

int32_t readQuitReply(ChannelRecord* record, uint32_t) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = record->protocol == kProtocolSmtp ? readSmtpReply(record) : readPop3Reply(record);
  // A server that hangs up instead of answering QUIT has done what QUIT asks.
  if (rc < 0 && rc != kErrSocketClosed) return failState(record, 0, rc);
  closeSocketLogged(record->connection, record->log);
  record->step.nextState = 0;
  return kStateContinue;
}

constexpr StateEntry kQuitStates[] = {
    {258, sendQuit},
    {kStateQuitReply, readQuitReply},
};
const StateRegistration registered(kQuitStates, std::size(kQuitStates));

}  // namespace
}  // namespace qel
