// Socket addresses in and out of the library's NetAddress, the same on
// every platform: the sockaddr a connect takes, and the addresses of a
// resolver's list.
#pragma once

#if defined(_WIN32)
#include "platform/win32/windows_api.h"
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>

#include "platform/platform.h"

namespace qel::plat {

// Fills target with address and port (host byte order); returns the length
// of the filled sockaddr.
int fillSocketAddress(const NetAddress& address, uint16_t port, sockaddr_storage* target);

// The IPv4 and IPv6 entries of a getaddrinfo list, in its order, at most
// room of them, into found; returns how many.
int32_t takeAddresses(const addrinfo* list, NetAddress* found, int32_t room);

}  // namespace qel::plat
