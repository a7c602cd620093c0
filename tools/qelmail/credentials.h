// Where qelmail finds a password, so that it need not stand on the command
// line (where every user of the machine can read it).
#pragma once

#include <string>

#include "options.h"

namespace qelmail {

// The environment variable that may hold the password.
constexpr const char* kPasswordVariable = "QELMAIL_PASSWORD";

// The password for `user` at `server`, from the first of: --password,
// --password-file (its first line), $QELMAIL_PASSWORD, and ~/.netrc (the
// entry for the machine `server` whose login is `user`, else the default
// entry). False with `problem` set when there is none or a named file
// cannot be read; `problem` never holds the password.
bool findPassword(const Options& options, const std::string& server, const std::string& user,
                  std::string* password, std::string* problem);

// The .netrc lookup alone, on the text of a .netrc file: true and the
// password when an entry fits.
bool netrcPassword(const std::string& text, const std::string& machine, const std::string& user,
                   std::string* password);

}  // namespace qelmail
