// A ready-made message as qelmail sendmail and send --message take it:
// reading it from standard input the way sendmail does, the addresses of
// its To, Cc and Bcc fields, and the message without its Bcc field.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qelmail {

// Reads a whole message from `in`. Unless `ignoreDots`, a line holding only
// "." ends it (as sendmail reads without -i). False on a read error.
bool readMessage(std::FILE* in, bool ignoreDots, std::string* message);

// The addresses (bare, without brackets) of an RFC 5322 address list:
// quoted display names, comments, groups ("team: a@x, b@y;") and bare
// addresses.
std::vector<std::string> addressesIn(const std::string& list);

// The unfolded values of the header fields named `name` (case-blind), in
// order.
std::vector<std::string> headerValues(const std::string& message, const std::string& name);

// The message without the header fields named `name` (their continuation
// lines included); every other byte as it was.
std::string withoutHeader(const std::string& message, const std::string& name);

}  // namespace qelmail
