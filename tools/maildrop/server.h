// The listening side: two sockets on 127.0.0.1, one thread per connection,
// and a clean stop on SIGTERM or SIGINT.
#pragma once

#include "options.h"

namespace maildrop {

// Runs until SIGTERM or SIGINT; returns the process exit code (0 after a
// clean stop).
int runServer(const Options& options);

}  // namespace maildrop
