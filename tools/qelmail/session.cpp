#include "session.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "config.h"
#include "credentials.h"
#include "login.h"
#include "qel32.h"
#include "system.h"

namespace qelmail {
namespace {

constexpr long kMaxPort = 65535;
constexpr long kSmtpsPort = 465;
constexpr long kSubmissionPort = 587;
constexpr long kPop3Port = 110;
constexpr long kPop3sPort = 995;
constexpr long kMaxMilliseconds = 24L * 3600 * 1000;
constexpr long kDefaultReplyMs = 25000;
constexpr long kDefaultConnectMs = 60000;
constexpr int32_t kErrorTextRoom = 1200;
constexpr int32_t kPop3Refusal = 500;  // QEL_STAT_REPLY_CODE after "-ERR"
constexpr int32_t kWaitSliceMs = 100;

const std::vector<OptionSpec> kCommonOptions = {
    {"server", true, false,
     "The mail server: a host name, an IPv4 address or an IPv6 address (default 127.0.0.1), with :PORT if wanted "
     "([IPv6]:PORT)."},
    {"port", true, false, "The server port (default SMTP 25, 587 with STARTTLS, 465 with --tls; POP3 110, 995 with --tls)."},
    {"tls", false, false, "Speaks TLS from the first byte (SMTPS, POP3S)."},
    {"starttls", false, false, "Requires STARTTLS/STLS (the default for a server not on this machine)."},
    {"no-tls", false, false, "Talks in clear (the default for 127.x, ::1 and localhost)."},
    {"ca-file", true, false, "A PEM file of CA certificates to trust besides the system's."},
    {"insecure", false, false, "Does not check the server's certificate."},
    {"timeout", true, false, "How many milliseconds the server may stay silent (default 25000)."},
    {"connect-timeout", true, false, "How many milliseconds connecting may take, over all addresses (default 60000)."},
    {"log", true, false, "Writes the channel log, with every command and reply, to this file."},
    {"quiet", false, false, "Shows no progress display."},
    {"default-timing", false, false,
     "Keeps the library's pauses between steps (25 ms after commands, 200 ms more at login, 500 ms after "
     "closing) and the system's delayed acknowledgements; without it qelmail only waits for the server and "
     "acknowledges what it receives before each wait."},
    {"help", false, false, "Shows this help."},
};

const std::vector<OptionSpec> kPop3Options = {
    {"user", true, false, "The POP3 user name (required)."},
    {"password", true, false, "The POP3 password (see also --password-file, QELMAIL_PASSWORD and ~/.netrc)."},
    {"password-file", true, false, "Reads the password from the first line of this file."},
    {"apop", false, false, "Logs in with APOP instead of AUTH or USER and PASS."},
    negotiationOptions()[0],
    negotiationOptions()[1],
    negotiationOptions()[2],
};

std::string oneLine(const char* text) {
  std::string result = text;
  for (char& c : result) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!result.empty() && result.back() == ' ') result.pop_back();
  return result;
}

// A server on this machine needs no TLS by default; any other does.
bool isLocalServer(const std::string& server) {
  return server == "localhost" || server.compare(0, 4, "127.") == 0 || server == "::1" || server == "[::1]";
}

std::string libraryText(int32_t code) {
  char text[kErrorTextRoom];
  text[0] = '\0';
  qelErrorText(kChannel, code, text, sizeof text);
  return oneLine(text);
}

}  // namespace

std::vector<OptionSpec> withCommon(std::vector<OptionSpec> specs, bool pop3) {
  if (pop3) specs.insert(specs.end(), kPop3Options.begin(), kPop3Options.end());
  specs.insert(specs.end(), accountOptions().begin(), accountOptions().end());
  specs.insert(specs.end(), kCommonOptions.begin(), kCommonOptions.end());
  return specs;
}

int32_t drive(int32_t staged, Progress* progress, int32_t counter) {
  if (staged < 0) return staged;
  int32_t rc;
  int32_t lastRc = 0;
  int64_t lastBytes = -1;
  for (;;) {
    if (stopSignal() != 0) {
      qelAbort(kChannel);
      rc = kStopped;
      break;
    }
    rc = qelDriver(kChannel);
    if (rc <= 0) break;
    int64_t bytes = static_cast<int64_t>(static_cast<uint32_t>(qelStatistics(kChannel, QEL_STAT_BYTES_SENT))) +
                    static_cast<uint32_t>(qelStatistics(kChannel, QEL_STAT_BYTES_READ));
    if (progress != nullptr) progress->update(static_cast<uint32_t>(qelStatistics(kChannel, counter)));
    // A call moved on when the next step or a byte count changed. After a
    // call that only waited (a pause, a socket that cannot take more, a
    // reply not there yet) qelWait sleeps until the channel can go on; its
    // bound keeps the progress display redrawing.
    bool moved = rc != lastRc || bytes != lastBytes;
    lastRc = rc;
    lastBytes = bytes;
    if (!moved || rc == QEL_WAITING) qelWait(kChannel, kWaitSliceMs);
  }
  if (progress != nullptr) progress->finish(static_cast<uint32_t>(qelStatistics(kChannel, counter)), rc == 0);
  return rc;
}

std::string errorText(int32_t code) {
  std::string text = libraryText(code);
  if (text.empty()) text = "error " + std::to_string(code);
  int32_t socketCode = qelStatistics(kChannel, QEL_STAT_SOCKET_CODE);
  // A connect that failed while under way leaves socket code 0; the
  // channel still knows why.
  if (socketCode == 0 && code == QEL_ERR_CONNECT_FAILED) socketCode = qelConnectError(kChannel);
  if (socketCode < 0 && socketCode != code) {
    std::string socketText = libraryText(socketCode);
    text += " (socket error " + std::to_string(socketCode) + (socketText.empty() ? "" : ": " + socketText) + ")";
  }
  return text;
}

int fail(const std::string& what, int32_t code, Step step) {
  if (int signal = stopSignal(); signal != 0) return reportStopped(signal);
  std::fprintf(stderr, "qelmail: %s failed (%d): %s\n", what.c_str(), static_cast<int>(code),
               errorText(code).c_str());
  // Servers often offer a login only over TLS: the mechanisms named are
  // those of the clear connection.
  if (code == QEL_ERR_NO_COMMON_MECHANISM && qelStatistics(kChannel, QEL_STAT_TLS_OFFERED) == 1) {
    std::fprintf(stderr, "qelmail: the server offers %s: with --starttls it may offer a way to log in\n",
                 step == Step::login ? "STLS" : "STARTTLS");
  }
  return exitCodeFor(code, step);
}

int reportStopped(int signal) {
  static bool reported = false;
  if (!reported) {
    const char* name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "a signal";
    std::fprintf(stderr, "qelmail: stopped by %s; the connection was aborted\n", name);
    reported = true;
  }
  return kExitSignalBase + signal;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "qelmail: %s (see --help)\n", message.c_str());
  return kExitUsage;
}

int failPlain(const std::string& message) {
  std::fprintf(stderr, "qelmail: %s\n", message.c_str());
  return kExitFailed;
}

bool showProgress(const Options& options) { return !options.has("quiet") && ::isatty(STDERR_FILENO) == 1; }

bool withinCap(Options& options, const std::string& name, size_t cap) {
  for (const std::string& value : options.all(name)) {
    if (value.size() > cap) {
      options.setError("--" + name + " holds more than " + std::to_string(cap) + " characters");
      return false;
    }
  }
  return true;
}

bool splitServerPort(Options& options) {
  std::string server = options.get("server");
  size_t colon = server.rfind(':');
  if (colon == std::string::npos) return true;
  std::string host = server.substr(0, colon);
  bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  // An IPv6 address without brackets has colons of its own and no port.
  if (!bracketed && host.find(':') != std::string::npos) return true;
  std::string port = server.substr(colon + 1);
  long number = 0;
  if (host.empty() || !parseNumber(port, 1, kMaxPort, &number)) {
    options.setError("--server HOST:PORT needs a port from 1 to " + std::to_string(kMaxPort));
    return false;
  }
  if (options.has("port")) {
    options.setError("give the port in --server or with --port, not both");
    return false;
  }
  options.set("server", host);
  options.set("port", port);
  return true;
}

std::string serverName(const Options& options) { return options.get("server", "127.0.0.1"); }

int32_t tlsMode(const Options& options) {
  if (options.has("tls")) return QEL_TLS_IMPLICIT;
  if (options.has("starttls")) return QEL_TLS_STARTTLS;
  if (options.has("no-tls") || isLocalServer(serverName(options))) return QEL_TLS_OFF;
  return QEL_TLS_STARTTLS;
}

std::string serverLabel(const Options& options, bool pop3) {
  int32_t mode = tlsMode(options);
  const char* port = mode == QEL_TLS_IMPLICIT ? (pop3 ? "995" : "465")
                     : mode == QEL_TLS_STARTTLS && !pop3 ? "587"
                                                          : (pop3 ? "110" : "25");
  return serverName(options) + " port " + options.get("port", port);
}

int applyCommon(Options& options, int32_t portParam) {
  long port = 0;
  long replyMs = 0;
  long connectMs = 0;
  if (!options.number("port", 0, 1, kMaxPort, &port) ||
      !options.number("timeout", kDefaultReplyMs, 1, kMaxMilliseconds, &replyMs) ||
      !options.number("connect-timeout", kDefaultConnectMs, 1, kMaxMilliseconds, &connectMs) ||
      !withinCap(options, "server", kServerCap)) {
    return usageError(options.error());
  }
  // The log comes first, so that it records every setting below.
  if (options.has("log") && qelStringParam(kChannel, QEL_STRING_LOG_FILE, options.get("log").c_str()) <= 0) {
    return failPlain("cannot create the log file " + options.get("log"));
  }
  int tlsOptions = (options.has("tls") ? 1 : 0) + (options.has("starttls") ? 1 : 0) + (options.has("no-tls") ? 1 : 0);
  if (tlsOptions > 1) return usageError("--tls, --starttls and --no-tls exclude each other");
  if (!withinCap(options, "ca-file", kCaFileCap)) return usageError(options.error());
  int32_t mode = tlsMode(options);
  qelIntegerParam(kChannel, QEL_PARAM_TLS_MODE, mode);
  if (options.has("ca-file")) qelStringParam(kChannel, QEL_STRING_CA_FILE, options.get("ca-file").c_str());
  if (options.has("insecure")) qelIntegerParam(kChannel, QEL_PARAM_TLS_VERIFY, 0);
  if (!options.has("port") && mode != QEL_TLS_OFF) {
    bool pop3 = portParam == QEL_PARAM_POP3_PORT;
    port = mode == QEL_TLS_IMPLICIT ? (pop3 ? kPop3sPort : kSmtpsPort) : (pop3 ? kPop3Port : kSubmissionPort);
  }
  if (port != 0) qelIntegerParam(kChannel, portParam, static_cast<int32_t>(port));
  qelIntegerParam(kChannel, QEL_PARAM_REPLY_TIMEOUT, static_cast<int32_t>(replyMs));
  qelIntegerParam(kChannel, QEL_PARAM_LINE_AND_READ_WAIT, static_cast<int32_t>(replyMs));
  qelIntegerParam(kChannel, QEL_PARAM_CONNECT_TIMEOUT, static_cast<int32_t>(connectMs));
  qelIntegerParam(kChannel, QEL_PARAM_AUTO_CALL, 0);
  if (!options.has("default-timing")) {
    // Fast timing: no pauses between steps, and what has arrived is
    // acknowledged before each wait for more, so a server's held-back last
    // write is not delayed. Waits end when the server's data arrives.
    qelIntegerParam(kChannel, QEL_PARAM_FAST_TIMING, 1);
  }
  return kExitOk;
}

int resolvePassword(Options& options) {
  std::string password;
  std::string problem;
  if (!findPassword(options, serverName(options), options.get("user"), &password, &problem)) {
    return usageError(problem);
  }
  if (password.size() > kLoginCap) {
    return usageError("the password holds more than " + std::to_string(kLoginCap) + " characters");
  }
  options.set("password", password);
  return kExitOk;
}

int checkPop3Options(Options& options) {
  if (!options.has("user")) return usageError("--user is needed");
  if (options.has("password") && options.has("password-file")) {
    return usageError("give --password or --password-file, not both");
  }
  if (!withinCap(options, "user", kLoginCap)) return usageError(options.error());
  if (!wantsToken(options)) {
    if (int rc = resolvePassword(options); rc != kExitOk) return rc;
  }
  return applyNegotiation(options, true);
}

int32_t pop3Connect(Options& options) {
  if (options.has("apop")) qelIntegerParam(kChannel, QEL_PARAM_USE_APOP, 1);
  std::string server = serverName(options);
  std::string user = options.get("user");
  std::string password = options.get("password");
  return drive(qelPop3Connect(kChannel, server.c_str(), user.c_str(), password.c_str()));
}

bool pop3Refused() { return qelStatistics(kChannel, QEL_STAT_REPLY_CODE) == kPop3Refusal; }

}  // namespace qelmail
