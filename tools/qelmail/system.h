// The few system calls of qelmail that differ between POSIX and Windows.
#pragma once

#include <string>

namespace qelmail {

// Creates one directory; false when it cannot be made (errno says why).
bool makeDirectory(const std::string& path);

// Creates a directory of the user's own under TMPDIR (else /tmp); its
// path, or empty when none can be made.
std::string makeTemporaryDirectory();

// The absolute form of an existing path; empty when it cannot be had.
std::string absolutePath(const std::string& path);

// Whether users other than the owner (its group, everyone) may read the
// file; false on Windows, whose files have no such mode bits.
bool othersMayRead(const std::string& path);

// Runs `command` through the shell (/bin/sh; cmd.exe on Windows) and puts
// the first line of its output, without its line end, in `line`. False
// when it could not run or exited with a status other than 0 (`status`).
bool commandFirstLine(const std::string& command, std::string* line, int* status);

// SIGINT and SIGTERM only set a flag: the driver loop sees it between two
// steps, aborts the channel, and the command removes what it had half
// written before it exits with 128 + the signal number.
void installStopSignals();
// The signal number that asked to stop, or 0.
int stopSignal();

}  // namespace qelmail
