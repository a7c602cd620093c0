// The qelmail commands; each returns the process exit code.
#pragma once

#include <vector>

#include "options.h"

namespace qelmail {

int cmdSend(Options& options);
int cmdVerify(Options& options);
int cmdList(Options& options);
int cmdTop(Options& options);
int cmdFetch(Options& options);
int cmdDelete(Options& options);
int cmdRaw(Options& options);

// The options of the SMTP login (EHLO and AUTH), shared by send, verify and
// raw.
extern const std::vector<OptionSpec> kSmtpLoginOptions;

}  // namespace qelmail
