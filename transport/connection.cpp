#include "transport/connection.h"

#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "transport/readiness.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "transport/receive.h"
#include "transport/output.h"
#include "transport/addresses.h"
#include "transport/stream.h"

namespace qel {
namespace {

constexpr int32_t kDottedComponents = 4;
constexpr uint32_t kOctetLimit = 256;
constexpr uint8_t kAddressFamilyInet = 2;
constexpr uint8_t kAddressFamilyInet6 = 23;  // the Windows Sockets number
constexpr int kSlotAddressBytes = 16;

AddressResolver addressResolver = plat::resolveAll;

void waitWhileBlockingCall() {
  while (plat::netBlockingCallInProgress()) plat::sleepMs(pollPause(UINT32_MAX));
}

// Reads the four components; false when the text is not dotted.
bool readDotted(const char* text, uint32_t* address) {
  if (text == nullptr) return false;
  uint32_t value = 0;
  const char* p = text;
  for (int32_t component = 0; component < kDottedComponents; ++component) {
    uint32_t octet = 0;
    while (*p != '.' && *p != '\0') {
      if (*p < '0' || *p > '9') return false;
      octet = octet * 10 + static_cast<uint32_t>(*p - '0');
      if (octet >= kOctetLimit) return false;
      ++p;
    }
    value = (value << 8) | octet;
    if (component < kDottedComponents - 1) {
      // Fewer than four components: the name goes to the resolver.
      if (*p != '.') return false;
      ++p;
    }
  }
  *address = value;
  return true;
}

// An address whose bytes spell the name's first four characters is the
// name echoed back by the resolver, not a real address.
bool echoesName(uint32_t address, const char* name) {
  return textLength(name) >= 4 && static_cast<uint8_t>(name[0]) == ((address >> 24) & 0xFFu) &&
         static_cast<uint8_t>(name[1]) == ((address >> 16) & 0xFFu) &&
         static_cast<uint8_t>(name[2]) == ((address >> 8) & 0xFFu) &&
         static_cast<uint8_t>(name[3]) == (address & 0xFFu);
}

// The slot's socket address of an IPv6 connection: the layout holds no
// IPv6 address, so only the family and the port are there.
void fillSlotIpv6(uint8_t* socketAddress, uint16_t port) {
  for (int i = 0; i < kSlotAddressBytes; ++i) socketAddress[i] = 0;
  socketAddress[0] = kAddressFamilyInet6;
  socketAddress[2] = static_cast<uint8_t>(port >> 8);
  socketAddress[3] = static_cast<uint8_t>(port);
}

int32_t connectIpv6(Connection* connection, const plat::NetAddress& target, uint8_t* slotAddress) {
  char text[kAddressTextRoom];
  formatNetAddress(target, text, sizeof text);
  logFormat(*connection->log, "Socket=%d, RemoteAddr=%s, RemotePort=%d\r\n", static_cast<int32_t>(connection->socket),
            text, static_cast<int16_t>(connection->remotePort));
  if (slotAddress != nullptr) fillSlotIpv6(slotAddress, connection->remotePort);
  int32_t rc = plat::socketConnectTo(connection->socket, target, connection->remotePort);
  if (rc != 0 && rc != plat::kWsaWouldBlock) return -rc;
  return 1;
}

}  // namespace

int32_t connectionUsable(Connection* connection, int32_t wait) {
  uint32_t end = 0;
  bool first = true;
  for (;;) {
    if (readinessTest(connection, plat::Readiness::error)) return 0;
    if (readinessTest(connection, plat::Readiness::writable)) return 1;
    uint32_t now = plat::tickCount();
    if (first) {
      end = now + static_cast<uint32_t>(wait < 0 ? 0 : wait);
      first = false;
    }
    if (!tickBeforeOrAt(now, end)) return 0;
    // The pause ends early when the socket becomes writable; a poll
    // interval of 0 waits for that instead of testing in a busy loop.
    uint32_t pause = pauseMs(settings.pollInterval);
    uint32_t left = end - now + 1;
    plat::SocketWait entry{connection->socket, false, true, false};
    if (!socketIsOpen(connection) || plat::socketWaitAny(&entry, 1, pause > 0 && pause < left ? pause : left) < 0) {
      plat::sleepMs(pause);
    }
  }
}

bool isDottedAddress(const char* text) {
  uint32_t ignored = 0;
  return readDotted(text, &ignored);
}

uint32_t parseDottedAddress(const char* text) {
  uint32_t address = 0;
  return readDotted(text, &address) ? address : 0;
}

void setAddressResolver(AddressResolver resolver) {
  addressResolver = resolver != nullptr ? resolver : plat::resolveAll;
}

int32_t resolveServer(Connection* connection, const char* serverName) {
  waitWhileBlockingCall();
  connection->serverAddressCount = 0;
  char host[fieldSize(kServerNameCap)];
  hostWithoutBrackets(serverName, host, sizeof host);
  int32_t count = 0;
  int32_t rc = addressResolver(host, connection->serverAddresses, kMaxServerAddresses, &count);
  if (rc != 0) return -rc;
  const plat::NetAddress& first = connection->serverAddresses[0];
  if (first.family == plat::kFamilyIpv4) {
    uint32_t address = ipv4Value(first);
    if (address == 0 || echoesName(address, serverName)) return 0;
    connection->serverAddress = address;
  }
  connection->serverAddressCount = count;
  return 1;
}

int32_t connectServer(Connection* connection, uint8_t* slotAddress) {
  int32_t index = connection->serverAddressIndex;
  if (index >= 0 && index < connection->serverAddressCount &&
      connection->serverAddresses[index].family == plat::kFamilyIpv6) {
    return connectIpv6(connection, connection->serverAddresses[index], slotAddress);
  }
  logFormat(*connection->log, "Socket=%d, RemoteAddr=%x, RemotePort=%d\r\n",
            static_cast<int32_t>(connection->socket), connection->serverAddress,
            static_cast<int16_t>(connection->remotePort));
  if (slotAddress != nullptr) {
    uint8_t* socketAddress = slotAddress;
    uint32_t address = connection->serverAddress;
    uint16_t port = connection->remotePort;
    const uint8_t layout[16] = {kAddressFamilyInet,
                                0,
                                static_cast<uint8_t>(port >> 8),
                                static_cast<uint8_t>(port),
                                static_cast<uint8_t>(address >> 24),
                                static_cast<uint8_t>(address >> 16),
                                static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address),
                                0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < kSlotAddressBytes; ++i) socketAddress[i] = layout[i];
  }
  int32_t rc = plat::socketConnect(connection->socket, connection->serverAddress, connection->remotePort);
  if (rc != 0 && rc != plat::kWsaWouldBlock) return -rc;
  return 1;
}

int32_t localHostName(char* buffer, int32_t room) {
  if (buffer == nullptr || room <= 0) return kErrNoHostName;
  buffer[0] = '\0';
  int32_t rc = plat::localHostName(buffer, room);
  if (rc != 0) return -rc;
  if (buffer[0] == '\0') return kErrNoHostName;
  return 1;
}

int32_t closeSocket(Connection* connection) {
  waitWhileBlockingCall();
  // The message data buffered so far goes out before the close, as it did
  // when every line was written on its own.
  stopBatchedOutput(connection);
  // What was received and not read goes with the connection.
  closeReceiveRing(connection);
  if (!socketIsOpen(connection)) return 1;
  logLinesEnd(*connection->log);
  endTlsSession(connection);
  plat::lockEnter();
  int32_t rc = plat::socketClose(connection->socket, kCloseLingerSeconds);
  // Marked closed at once: the system may hand the same number to someone
  // else, and a later close or readiness test must never touch it.
  connection->socketOpen = false;
  plat::lockLeave();
  // The pause runs outside the lock, so other channels are not held up
  // while this one closes.
  uint32_t pause = pauseMs(settings.closePause);
  if (pause > 0) plat::sleepMs(pause);
  return rc == 0 ? 1 : -rc;
}

int32_t closeSocketLogged(Connection* connection, ChannelLog& log) {
  logText(log, "Closing socket\r\n");
  return closeSocket(connection);
}

}  // namespace qel
