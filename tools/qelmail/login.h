// The negotiated login of qelmail's commands.
#pragma once

#include <vector>

#include "options.h"

namespace qelmail {

// --auth, --token and --token-file (a function, so that the option lists
// of other files can take them while they are initialised).
const std::vector<OptionSpec>& negotiationOptions();

// Whether a bearer token is given: no password is then looked for.
bool wantsToken(const Options& options);

// Turns the negotiated login on for the channel, with the mechanism of
// --auth, the token, and the user name and password of the options (the
// password already resolved); clear-text mechanisms only when the channel
// talks in clear by choice. With --apop (POP3) the login stays APOP.
// kExitOk or a usage error.
int applyNegotiation(Options& options, bool pop3);

}  // namespace qelmail
