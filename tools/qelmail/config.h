// qelmail's configuration file: named accounts whose settings stand in for
// the command-line options that were not given.
//
//   # a comment
//   defaults                  settings every account starts from
//   tls starttls
//   account work              an account and its settings
//   server mail.example.org
//   smtp-port 587             a key with "smtp-" or "pop3-" counts for that protocol only
//   user ann
//   passwordeval pass show mail/work
//   account default : work    the account used without --account
//
// One setting a line: a key and its value, separated by white space; a
// value in double quotes keeps its spaces.
#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace qelmail {

// The options that choose the file and the account.
const std::vector<OptionSpec>& accountOptions();

// Fills the options of `specs` that the command line did not give from the
// chosen account of the configuration file (--config FILE, else
// $XDG_CONFIG_HOME/qelmail/config or ~/.config/qelmail/config). `pop3`
// selects the keys of that protocol. Returns kExitOk, or kExitConfig after
// printing the problem (a syntax error with its line, an unknown account,
// a password in a file others can read, a failed passwordeval).
int applyAccount(Options& options, const std::vector<OptionSpec>& specs, bool pop3);

}  // namespace qelmail
