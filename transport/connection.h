// Host resolution, connecting and closing the channel's socket.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Linger time when a socket is closed (the pause after the close is the
// closePause setting).
constexpr int32_t kCloseLingerSeconds = 1;

// 1 when the socket is writable before it shows an error condition, polling
// every pollInterval ms for at most wait ms (0: one poll); else 0.
int32_t connectionUsable(ChannelRecord* record, int32_t wait);

// Whether text starts with four dotted decimal components (each 0..255,
// possibly empty); what follows the fourth component is not looked at.
bool isDottedAddress(const char* text);
uint32_t parseDottedAddress(const char* text);

// Resolves serverName (an IPv6 address in brackets or not, or a host name)
// into serverAddresses, in the resolver's order. 1 (found; serverAddress
// set when the first is an IPv4 address), 0 (no usable address) or a
// negated resolver error.
int32_t resolveServer(ChannelRecord* record);

// The resolver resolveServer asks, as plat::resolveAll; tests put one of
// their own in place to hand out address lists (nullptr: the system's).
using AddressResolver = int32_t (*)(const char* name, plat::NetAddress* found, int32_t room, int32_t* count);
void setAddressResolver(AddressResolver resolver);

// Starts the connection to the address serverAddressIndex of
// serverAddresses (serverAddress when the list is empty) at remotePort.
// 1, or a negated socket error; a non-blocking connect under way counts
// as 1.
int32_t connectServer(ChannelRecord* record);

// 1, -12 when the system returns an empty name, or a negated socket error.
int32_t localHostName(char* buffer, int32_t room);

// Closes the channel's socket (linger, then the pause, under the library
// lock) once; a socket already closed is left alone. 1 or a negated error.
int32_t closeSocket(ChannelRecord* record);
int32_t closeSocketLogged(ChannelRecord* record);

}  // namespace qel
