// Shared pieces of the fuzz targets: a work directory of the process, a
// channel fed from memory through a socket pair, and the check that stops a
// run when a contract is broken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "frame/channel.h"

namespace qel::fuzz {

// Stops the run (libFuzzer keeps the input) when a contract does not hold.
void require(bool holds, const char* contract);

// A directory of this process below the system's temporary directory,
// made on first use and removed at exit.
const std::string& workDir();

// Makes path an empty directory (inside workDir only).
void emptyDirectory(const std::string& path);

// Every path below root, at any depth, that lies outside the allowed
// directories (which must be direct children of root); "" when none.
std::string strayPath(const std::string& root, const std::string& allowedA, const std::string& allowedB);

// Gives the channel's record one end of a socket pair that holds bytes and
// then the end of the connection, with an empty receive ring. Returns the
// other end, to be passed to endFeed.
int feedChannel(ChannelRecord* record, const std::string& bytes);
void endFeed(ChannelRecord* record, int peer);

}  // namespace qel::fuzz
