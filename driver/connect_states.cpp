// The connect states every SMTP and POP3 sequence runs before its greeting:
// local host name, server address, socket and connect, connect wait.
#include <iterator>

#include "driver/connection_use.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "transport/addresses.h"
#include "transport/connection.h"
#include "transport/readiness.h"
#include "transport/receive.h"
#include "transport/stream.h"
#include "transport/tls_channel.h"

namespace qel {
namespace {

constexpr int32_t kStateServerAddress = 104;
constexpr int32_t kStateSocket = 105;
constexpr int32_t kStateConnectWait = 106;
constexpr int32_t kWsaTimedOut = 10060;

// 101 (102, 103): the local host name, for the log. A failed lookup only
// leaves the name empty.
int32_t lookUpLocalHost(ChannelRecord* record, uint32_t) {
  record->texts.commandLine[0] = '\0';
  localHostName(record->texts.replyText, fieldSize(kReplyTextCap) - kTextSlack);
  logFormat(record, "LocalHost = '%s'\r\n", record->texts.replyText);
  record->step.nextState = kStateServerAddress;
  return kStateContinue;
}

// 104: the server's addresses, from a dotted text or the resolver.
int32_t findServerAddress(ChannelRecord* record, uint32_t) {
  logFormat(record, "Server = '%s'\r\n", record->serverName);
  Connection* connection = useConnection(record);
  if (connection == nullptr) return failState(record, 0, kErrNoMemory);
  connection->serverAddressIndex = 0;
  connection->connectError = 0;
  if (isDottedAddress(record->serverName)) {
    connection->serverAddress = parseDottedAddress(record->serverName);
    connection->serverAddresses[0] = ipv4NetAddress(connection->serverAddress);
    connection->serverAddressCount = 1;
  } else {
    int32_t rc = resolveServer(connection, record->serverName);
    if (rc < 1) return failState(record, rc, kErrServerNotFound);
  }
  char text[kAddressTextRoom];
  formatNetAddress(connection->serverAddresses[0], text, sizeof text);
  logFormat(record, "ServerIP = %s\r\n", text);
  record->step.nextState = kStateSocket;
  return kStateContinue;
}

bool moreAddresses(const Connection* connection) {
  return connection->serverAddressIndex + 1 < connection->serverAddressCount;
}

// The attempt on the current address failed (connectError says why): its
// socket is dropped without the closing pause and the next address is tried
// on the next call, within the deadline of the first attempt.
int32_t tryNextAddress(ChannelRecord* record) {
  Connection* connection = record->connection;
  logFormat(record, "Connect failed (%d), trying the next address\r\n", connection->connectError);
  if (connection->socketOpen) {
    plat::socketClose(connection->socket, 0);
    connection->socketOpen = false;
  }
  ++connection->serverAddressIndex;
  record->step.nextState = kStateSocket;
  return kStateContinue;
}

// Each attempt gets an equal share of what is left of connectTimeout, so
// that an address that never answers leaves time for the ones after it;
// the last one gets all of it.
uint32_t attemptEnd(const ChannelRecord* record, uint32_t now) {
  const Connection* connection = record->connection;
  uint32_t left = static_cast<uint32_t>(connection->serverAddressCount - connection->serverAddressIndex);
  uint32_t remaining = tickBefore(now, record->step.deadline) ? record->step.deadline - now : 0;
  return now + remaining / (left == 0 ? 1 : left);
}

// 105: a new socket and the start of the connection.
int32_t openAndConnect(ChannelRecord* record, uint32_t now) {
  Connection* connection = useConnection(record);
  if (connection == nullptr) return failState(record, 0, kErrNoMemory);
  // A socket left open by an earlier connection of this channel is closed
  // first, so that no descriptor leaks.
  if (connection->socketOpen) {
    endTlsSession(connection);
    plat::socketClose(connection->socket, 0);
    connection->socketOpen = false;
  }
  // A sequence that did not run state 104 connects to serverAddress.
  if (connection->serverAddressCount <= 0 || connection->serverAddressIndex >= connection->serverAddressCount) {
    connection->serverAddresses[0] = ipv4NetAddress(connection->serverAddress);
    connection->serverAddressCount = 1;
    connection->serverAddressIndex = 0;
  }
  const plat::NetAddress& target = connection->serverAddresses[connection->serverAddressIndex];
  connection->tlsDeclined = 0;
  if (!openReceiveRing(connection)) return failState(record, 0, kErrNoMemory);
  plat::SocketHandle handle = 0;
  plat::lockEnter();
  int32_t opened = plat::socketOpenFamily(&handle, target.family);
  plat::lockLeave();
  if (opened != 0 && moreAddresses(connection)) {
    connection->connectError = -opened;
    return tryNextAddress(record);
  }
  // Nothing is logged and the state stays: the next driver call tries again.
  if (opened != 0) return kErrInvalidSocket;
  if (record->step.nonBlockingConnect != 0) plat::socketSetNonBlocking(handle, true);
  adoptSocket(record, handle);  // the connection is there: this cannot fail
  if (static_cast<int32_t>(handle) < 0) return failState(record, static_cast<int32_t>(handle), kErrCannotCreateSocket);
  // serverAddress holds IPv4 only: 0 (0.0.0.0 for qelDebug) while on IPv6.
  connection->serverAddress = target.family == plat::kFamilyIpv4 ? ipv4Value(target) : 0;
  int32_t channel = record->channelNumber;
  int32_t rc = connectServer(connection, channel >= 0 && channel < kMaxChannels ? channelTable[channel].remoteAddress
                                                                                : nullptr);
  if (rc < 0) {
    connection->connectError = rc;
    if (moreAddresses(connection)) return tryNextAddress(record);
    return failState(record, rc, kErrConnectFailed);
  }
  record->step.dueTime = tickAfter(now, settings.minimumWait);
  // connectTimeout bounds every address together: from the first attempt
  // that got as far as a connect under way.
  if (record->step.deadline == 0) record->step.deadline = tickAfter(now, settings.connectTimeout);
  connection->attemptDeadline = attemptEnd(record, now);
  record->step.nextState = kStateConnectWait;
  return kStateContinue;
}

// 106: wait until the connection stands or fails.
int32_t awaitConnection(ChannelRecord* record, uint32_t now) {
  Connection* connection = useConnection(record);
  if (connection == nullptr) return failState(record, 0, kErrNoMemory);
  if (readinessTest(connection, plat::Readiness::error)) {
    int32_t pending = plat::socketPendingError(connection->socket);
    connection->connectError = pending > 0 ? -pending : 0;
    if (moreAddresses(connection)) return tryNextAddress(record);
    return failState(record, 0, kErrConnectFailed);
  }
  if (!readinessTest(connection, plat::Readiness::writable)) {
    if (moreAddresses(connection) && tickBefore(connection->attemptDeadline, now)) {
      connection->connectError = -kWsaTimedOut;
      return tryNextAddress(record);
    }
    record->step.stepWaitsOn = kStepWaitsForWritable;
    return kStateContinue;
  }
  if (record->step.nonBlockingConnect != 0) plat::socketSetNonBlocking(connection->socket, false);
  // Sends block from here on; a peer that stops taking data must not hold
  // the caller for ever.
  int32_t sendLimit = settings.lineTimeout > settings.replyTimeout ? settings.lineTimeout : settings.replyTimeout;
  if (sendLimit > 0) plat::socketSetSendTimeout(connection->socket, static_cast<uint32_t>(sendLimit));
  record->step.dueTime = tickAfter(now, settings.minimumWait);
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  // Implicit TLS: the handshake is part of the connect and shares its time.
  if (record->tls.mode == kTlsImplicit) {
    return startTlsHandshake(record, now, record->step.afterConnectState, settings.connectTimeout);
  }
  record->step.nextState = record->step.afterConnectState;
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
