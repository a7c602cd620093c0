// Server names as TLS checks them, the same for every backend: literal
// addresses and the RFC 6125 host-name rules.
#pragma once

#include <cstddef>

namespace qel::plat {

// The four components of a dotted IPv4 text in their plain form (a server
// name such as "127.0.0.01" is checked as 127.0.0.1), into out (room bytes);
// false when the text is not a dotted IPv4 address.
bool plainDottedAddress(const char* name, char* out, size_t room);

// Whether a certificate's DNS name (pattern) covers the host name, by
// RFC 6125: letters compare case-blind, and a wildcard is allowed only as
// the whole left-most label ("*.example.test"), standing for exactly one
// label that is not empty.
bool hostNameMatches(const char* pattern, size_t patternLength, const char* name);

}  // namespace qel::plat
