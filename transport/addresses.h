// Server addresses as the connect states use them: IPv4 and IPv6 alike,
// written as text for the log, and server names with IPv6 brackets.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel {

// Room for the longest address text (an IPv6 address with an embedded
// IPv4 tail is 45 characters) and its NUL.
constexpr int32_t kAddressTextRoom = 48;

plat::NetAddress ipv4NetAddress(uint32_t hostOrder);
// The address in host byte order; only meaningful for an IPv4 address.
uint32_t ipv4Value(const plat::NetAddress& address);

// Dotted IPv4, or IPv6 in the RFC 5952 form ("::1", "2001:db8::7").
// Returns the length, or 0 (nothing written) when room is below
// kAddressTextRoom.
int32_t formatNetAddress(const plat::NetAddress& address, char* buffer, int32_t room);

// The name the resolver is asked for: "[::1]" becomes "::1", anything else
// is copied as it stands. room is the size of host.
void hostWithoutBrackets(const char* name, char* host, int32_t room);

}  // namespace qel
