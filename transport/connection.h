// Host resolution, connecting and closing the connection's socket.
#pragma once

#include <cstdint>

#include "transport/connection_state.h"

namespace qel {

// Linger time when a socket is closed (the pause after the close is the
// closePause setting).
constexpr int32_t kCloseLingerSeconds = 1;

// 1 when the socket is writable before it shows an error condition, polling
// every pollInterval ms for at most wait ms (0: one poll); else 0.
int32_t connectionUsable(Connection* connection, int32_t wait);

// Whether text starts with four dotted decimal components (each 0..255,
// possibly empty); what follows the fourth component is not looked at.
bool isDottedAddress(const char* text);
uint32_t parseDottedAddress(const char* text);

// Resolves serverName (an IPv6 address in brackets or not, or a host name)
// into serverAddresses, in the resolver's order. 1 (found; serverAddress
// set when the first is an IPv4 address), 0 (no usable address) or a
// negated resolver error.
int32_t resolveServer(Connection* connection, const char* serverName);

// The resolver resolveServer asks, as plat::resolveAll; tests put one of
// their own in place to hand out address lists (nullptr: the system's).
using AddressResolver = int32_t (*)(const char* name, plat::NetAddress* found, int32_t room, int32_t* count);
void setAddressResolver(AddressResolver resolver);

// Starts the connection to the address serverAddressIndex of
// serverAddresses (serverAddress when the list is empty) at remotePort.
// 1, or a negated socket error; a non-blocking connect under way counts
// as 1. slotAddress (16 bytes, may be null) gets the target in the Windows
// Sockets layout of the channel table.
int32_t connectServer(Connection* connection, uint8_t* slotAddress);

// 1, -12 when the system returns an empty name, or a negated socket error.
int32_t localHostName(char* buffer, int32_t room);

// Closes the connection's socket (linger, then the pause, under the
// library lock) once; a socket already closed (or no connection) is left
// alone. 1 or a negated error. The logged form notes the close in the
// channel's log whether or not a socket was open.
int32_t closeSocket(Connection* connection);
int32_t closeSocketLogged(Connection* connection, ChannelLog& log);

}  // namespace qel
