// What every qelmail command shares: the one channel it works on, driving
// that channel by hand, the common options, and error reports.
//
// qelmail turns the channel's autoCall off and drives it itself: after an
// operation has staged its work, qelDriver is called until it returns 0
// (done) or a negative code (failed). Between calls the byte counters are
// read with qelStatistics for the progress display. This is how an
// application serves one or many channels from its own loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exit_status.h"
#include "options.h"
#include "progress.h"

namespace qelmail {

constexpr int32_t kChannel = 0;
// What drive() returns when SIGINT or SIGTERM stopped it (no library code).
constexpr int32_t kStopped = INT32_MIN;

// Text capacities of the library: a longer text would be cut silently, so
// the tool refuses it instead.
constexpr size_t kServerCap = 128;
constexpr size_t kAddressCap = 128;
constexpr size_t kLoginCap = 255;       // user names and passwords (the negotiated login's settings)
constexpr size_t kContentTypeCap = 64;
constexpr size_t kRawCommandCap = 32;
constexpr size_t kCaFileCap = 260;

// Separates attachment items, and the saved attachment names of a
// download: a character that no file name holds.
constexpr char kItemSeparator = '\x1f';

// The options every command takes, and those of the POP3 commands.
std::vector<OptionSpec> withCommon(std::vector<OptionSpec> specs, bool pop3);

// Drives the staged operation to its end; after SIGINT or SIGTERM it
// aborts the channel and returns kStopped. `progress` (may be null) is fed
// statistic `counter` between driver calls.
int32_t drive(int32_t staged, Progress* progress = nullptr, int32_t counter = 0);

// The library's text for a code, with the server's reply where the library
// keeps one, and the socket error behind it when there is one ("connection
// refused" too when it came while the connect was under way); on one line.
std::string errorText(int32_t code);

// Prints "qelmail: WHAT failed (CODE): TEXT" and returns the exit code for
// the failure (exitCodeFor); after SIGINT or SIGTERM it says so instead and
// returns 128 + the signal number.
int fail(const std::string& what, int32_t code, Step step = Step::transfer);
// Says once that a signal stopped the command; returns 128 + signal.
int reportStopped(int signal);
// Prints a usage error and returns kExitUsage.
int usageError(const std::string& message);
// Prints a failure that is the tool's own (a file, a server answer).
int failPlain(const std::string& message);

// True when the progress display is wanted: stderr is a terminal and
// --quiet was not given.
bool showProgress(const Options& options);

// Opens the log, applies --timeout, --connect-timeout and --port (to
// `portParam`), turns autoCall off. Returns kExitOk, or the exit code of
// the problem it has already reported.
int applyCommon(Options& options, int32_t portParam);

// The TLS mode of the options (QEL_TLS_*): --tls, --starttls, --no-tls, or
// by default STARTTLS for any server but this machine.
int32_t tlsMode(const Options& options);

// --server HOST:PORT, or [IPv6]:PORT, names the port as well: it becomes
// --server HOST and --port PORT. False, with the options' error set, when
// the port is no port or --port is given too.
bool splitServerPort(Options& options);

// The server named by --server (127.0.0.1 by default).
std::string serverName(const Options& options);
// "SERVER port PORT" for messages; the default port when --port is absent.
std::string serverLabel(const Options& options, bool pop3);

// Checks that option `name`, when given, is at most `cap` characters long.
bool withinCap(Options& options, const std::string& name, size_t cap);

// Logs in to the POP3 server of the options (APOP with --apop).
int32_t pop3Connect(Options& options);

// Puts the password for --user at --server into the options' "password"
// (see findPassword); kExitOk or a usage error.
int resolvePassword(Options& options);

// Checks the options a POP3 command needs and finds the password; kExitOk
// or a usage error.
int checkPop3Options(Options& options);

// The server's answer to the last POP3 command was an error ("-ERR").
bool pop3Refused();

}  // namespace qelmail
