// The connect states every SMTP and POP3 sequence runs before its greeting:
// local host name, server address, socket and connect, connect wait.
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/socket_state.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "transport/connection.h"

namespace qel {
namespace {

constexpr int32_t kStateServerAddress = 104;
constexpr int32_t kStateSocket = 105;
constexpr int32_t kStateConnectWait = 106;
constexpr int32_t kDottedRoom = 17;

// 101 (102, 103): the local host name, for the log. A failed lookup only
// leaves the name empty.
int32_t lookUpLocalHost(ChannelRecord* record, uint32_t) {
  record->commandLine[0] = '\0';
  localHostName(record->replyText, fieldSize(kReplyTextCap) - kTextSlack);
  logFormat(record, "LocalHost = '%s'\r\n", record->replyText);
  record->nextState = kStateServerAddress;
  return kStateContinue;
}

// 104: the server's address, from a dotted text or the resolver.
int32_t findServerAddress(ChannelRecord* record, uint32_t) {
  logFormat(record, "Server = '%s'\r\n", record->serverName);
  if (isDottedAddress(record->serverName)) {
    record->serverAddress = parseDottedAddress(record->serverName);
  } else {
    int32_t rc = resolveServer(record);
    if (rc < 1) return failState(record, rc, kErrServerNotFound);
  }
  char dotted[kDottedRoom + 1];
  formatDottedAddress(record->serverAddress, dotted, sizeof dotted);
  logFormat(record, "ServerIP = %s\r\n", dotted);
  record->nextState = kStateSocket;
  return kStateContinue;
}

// 105: a new socket and the start of the connection.
int32_t openAndConnect(ChannelRecord* record, uint32_t now) {
  // A socket left open by an earlier connection of this channel is closed
  // first, so that no descriptor leaks.
  if (record->socketOpen) {
    plat::socketClose(record->socket, 0);
    record->socketOpen = false;
  }
  plat::SocketHandle handle = 0;
  plat::lockEnter();
  int32_t opened = plat::socketOpen(&handle);
  plat::lockLeave();
  // Nothing is logged and the state stays: the next driver call tries again.
  if (opened != 0) return kErrInvalidSocket;
  if (record->nonBlockingConnect != 0) plat::socketSetNonBlocking(handle, true);
  adoptSocket(record, handle);
  if (static_cast<int32_t>(handle) < 0) return failState(record, static_cast<int32_t>(handle), kErrCannotCreateSocket);
  int32_t rc = connectServer(record);
  if (rc < 0) return failState(record, rc, kErrConnectFailed);
  record->dueTime = tickAfter(now, settings.minimumWait);
  record->deadline = tickAfter(now, settings.connectTimeout);
  record->nextState = kStateConnectWait;
  return kStateContinue;
}

// 106: wait until the connection stands or fails.
int32_t awaitConnection(ChannelRecord* record, uint32_t now) {
  if (readinessTest(record, plat::Readiness::error)) return failState(record, 0, kErrConnectFailed);
  if (!readinessTest(record, plat::Readiness::writable)) return kStateContinue;
  if (record->nonBlockingConnect != 0) plat::socketSetNonBlocking(record->socket, false);
  // Sends block from here on; a peer that stops taking data must not hold
  // the caller for ever.
  int32_t sendLimit = settings.lineTimeout > settings.replyTimeout ? settings.lineTimeout : settings.replyTimeout;
  if (sendLimit > 0) plat::socketSetSendTimeout(record->socket, static_cast<uint32_t>(sendLimit));
  record->dueTime = tickAfter(now, settings.minimumWait);
  record->deadline = tickAfter(now, settings.replyTimeout);
  record->nextState = record->afterConnectState;
  return kStateContinue;
}

constexpr StateEntry kConnectStates[] = {
    {101, lookUpLocalHost},         {102, lookUpLocalHost}, {103, lookUpLocalHost},
    {kStateServerAddress, findServerAddress}, {kStateSocket, openAndConnect},
    {kStateConnectWait, awaitConnection},
};
const StateRegistration registered(kConnectStates, std::size(kConnectStates));

}  // namespace
}  // namespace qel
