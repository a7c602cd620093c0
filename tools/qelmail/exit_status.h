// qelmail's exit codes. Failures follow sysexits.h, as sendmail and msmtp
// do, so that a script or a mail queue can tell a failure worth retrying
// (75) from one that will not go away by itself.
#pragma once

#include <cstdint>

namespace qelmail {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;        // a failure of the tool's own (a local file ...)
constexpr int kExitUsage = 2;
constexpr int kExitDataError = 65;    // EX_DATAERR: the server refused the message, an address or a request
constexpr int kExitUnavailable = 69;  // EX_UNAVAILABLE: unknown host, service refused for good
constexpr int kExitTemporary = 75;    // EX_TEMPFAIL: any 4xx reply, time-out, refused or dropped connection
constexpr int kExitNoPermission = 77; // EX_NOPERM: the login was refused
constexpr int kExitConfig = 78;       // EX_CONFIG: the configuration file is unusable
constexpr int kExitSignalBase = 128;  // stopped by signal N: 128 + N (130 SIGINT, 143 SIGTERM)

// Where in a session a failure happened: the answers to the same code
// differ (a 5xx reply to the greeting is not a refused recipient).
enum class Step { connect, login, transfer };

// The exit code for the library's failure `code` at `step`, from the code,
// the socket code, and the server's last reply on the channel.
int exitCodeFor(int32_t code, Step step);

}  // namespace qelmail
