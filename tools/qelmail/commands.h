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
// send --message: a ready-made message from a file or standard input.
int cmdSendMessage(Options& options);
// sendmail's command line (argv[first..]): its flags, the qelmail options
// of `specs`, and recipients.
int runSendmail(int argc, char** argv, int first, const std::vector<OptionSpec>& specs);
// Whether the program was started through a link named "sendmail".
bool calledAsSendmail(const char* argv0);

// The options of the SMTP login (EHLO and AUTH), shared by send, verify and
// raw.
extern const std::vector<OptionSpec> kSmtpLoginOptions;

// --user and --password of an SMTP command: EHLO and AUTH. kExitOk or
// the exit code of a usage error.
int applyLogin(Options& options);

// Puts each bare "user@host" of --from, --to, --cc, --bcc and --reply-to
// (also inside comma-separated lists) in angle brackets.
void bracketAddressOptions(Options& options);

// After an SMTP connect with --user: kExitOk when the server took the
// login, otherwise the reported failure's exit code.
int checkLoggedIn(Options& options);

}  // namespace qelmail
