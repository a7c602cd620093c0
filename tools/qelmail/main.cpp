// qelmail: send, verify, list, top, fetch, delete and raw commands on the
// command line, built only on the public interface of the library.
//
// The tool drives every channel itself (autoCall off): after an operation
// has staged its work, it calls qelDriver until the result is 0 (done) or
// negative (failed), and between calls reads the byte counters for the
// progress display. This is how an application serves many channels from one
// thread.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"
#include "progress.h"
#include "qel32.h"

namespace qelmail {
namespace {

constexpr int32_t kChannel = 0;
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr char kAttachListSeparator = '\x1f';  // never part of a file path
constexpr int32_t kUidRoom = 1024;
constexpr int32_t kSavedNamesRoom = 1024;

const std::vector<OptionSpec> kCommonOptions = {
    {"server", true, false, "mail server host name or IPv4 address (default 127.0.0.1)"},
    {"port", true, false, "server port (default 25 for SMTP, 110 for POP3)"},
    {"log", true, false, "write the channel log (every command and reply) to this file"},
    {"timeout", true, false, "milliseconds a reply may take (default 25000)"},
    {"connect-timeout", true, false, "milliseconds a connection may take (default 60000)"},
    {"quiet", false, false, "no progress display"},
    {"help", false, false, "show this help"},
};

const std::vector<OptionSpec> kPop3Options = {
    {"user", true, false, "POP3 user name"},
    {"password", true, false, "POP3 password"},
    {"apop", false, false, "log in with APOP instead of USER/PASS"},
};

std::vector<OptionSpec> withCommon(std::vector<OptionSpec> specs, bool pop3) {
  if (pop3) specs.insert(specs.end(), kPop3Options.begin(), kPop3Options.end());
  specs.insert(specs.end(), kCommonOptions.begin(), kCommonOptions.end());
  return specs;
}

// The text of an error code, with the server's reply where the library
// keeps it, on one line.
std::string errorText(int32_t code) {
  char text[1200];
  qelErrorText(kChannel, code, text, sizeof text);
  std::string result = text;
  for (char& c : result) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!result.empty() && result.back() == ' ') result.pop_back();
  return result;
}

int fail(const std::string& what, int32_t code) {
  std::fprintf(stderr, "qelmail: %s failed (%d): %s\n", what.c_str(), static_cast<int>(code),
               errorText(code).c_str());
  return kExitFailed;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "qelmail: %s (see --help)\n", message.c_str());
  return kExitUsage;
}

bool showProgress(const Options& options) { return !options.has("quiet") && ::isatty(STDERR_FILENO) == 1; }

// Drives the staged operation to its end; `counter` is the statistic shown
// as progress (0: none).
int32_t drive(int32_t staged, Progress* progress = nullptr, int32_t counter = 0) {
  if (staged < 0) return staged;
  int32_t rc;
  while ((rc = qelDriver(kChannel)) > 0) {
    if (progress != nullptr && counter != 0) progress->update(static_cast<uint32_t>(qelStatistics(kChannel, counter)));
  }
  if (progress != nullptr && counter != 0) progress->finish(static_cast<uint32_t>(qelStatistics(kChannel, counter)));
  return rc;
}

// Settings shared by every command; false on a bad value.
bool applyCommon(Options& options, int32_t portParam) {
  long value = 0;
  if (!options.number("port", 0, &value)) return false;
  if (options.has("port")) qelIntegerParam(kChannel, portParam, static_cast<int32_t>(value));
  if (!options.number("timeout", 25000, &value)) return false;
  qelIntegerParam(kChannel, QEL_PARAM_REPLY_TIMEOUT, static_cast<int32_t>(value));
  qelIntegerParam(kChannel, QEL_PARAM_LINE_AND_READ_WAIT, static_cast<int32_t>(value));
  if (!options.number("connect-timeout", 60000, &value)) return false;
  qelIntegerParam(kChannel, QEL_PARAM_CONNECT_TIMEOUT, static_cast<int32_t>(value));
  if (options.has("log") && qelStringParam(kChannel, QEL_STRING_LOG_FILE, options.get("log").c_str()) <= 0) {
    std::fprintf(stderr, "qelmail: cannot create log file %s\n", options.get("log").c_str());
  }
  qelIntegerParam(kChannel, QEL_PARAM_AUTO_CALL, 0);
  return true;
}

std::string joinList(const std::vector<std::string>& items, char separator) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += separator;
    joined += item;
  }
  return joined;
}

int64_t fileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

int32_t bodyTypeFrom(const std::string& name) {
  if (name == "plain") return QEL_BODY_PLAIN;
  if (name == "text") return QEL_BODY_TEXT;
  if (name == "html") return QEL_BODY_HTML;
  if (name == "enriched") return QEL_BODY_ENRICHED;
  if (name == "iso8859") return QEL_BODY_ISO8859;
  if (name == "custom") return QEL_BODY_CUSTOM;
  return -1;
}

// ---- SMTP -----------------------------------------------------------------

int32_t smtpConnect(Options& options, const std::string& from) {
  std::string server = options.get("server", "127.0.0.1");
  std::string replyTo = options.get("reply-to");
  return drive(qelSmtpConnect(kChannel, server.c_str(), from.c_str(), replyTo.c_str()));
}

int cmdSend(Options& options) {
  if (!options.has("from")) return usageError("send needs --from");
  if (!options.has("to")) return usageError("send needs at least one --to");
  if (options.has("text") && options.has("body-file")) return usageError("give --text or --body-file, not both");
  if (!applyCommon(options, QEL_PARAM_SMTP_PORT)) return usageError(options.error());
  if (options.has("body-type")) {
    int32_t type = bodyTypeFrom(options.get("body-type"));
    if (type < 0) return usageError("unknown --body-type " + options.get("body-type"));
    qelIntegerParam(kChannel, QEL_PARAM_BODY_TYPE, type);
  }
  if (options.has("content-type")) qelStringParam(kChannel, QEL_STRING_CONTENT_TYPE, options.get("content-type").c_str());
  if (options.has("user") || options.has("password") || options.has("ehlo")) {
    qelIntegerParam(kChannel, QEL_PARAM_USE_ESMTP, 1);
    qelStringParam(kChannel, QEL_STRING_USER, options.get("user").c_str());
    qelStringParam(kChannel, QEL_STRING_PASSWORD, options.get("password").c_str());
  }
  for (const std::string& header : options.all("header")) {
    qelStringParam(kChannel, QEL_STRING_ADD_HEADER, header.c_str());
  }

  std::string message = options.get("text");
  int64_t total = static_cast<int64_t>(message.size());
  if (options.has("body-file")) {
    message = "@" + options.get("body-file");
    total = fileSize(options.get("body-file"));
  }
  std::vector<std::string> attachments = options.all("attach");
  for (const std::string& item : attachments) {
    std::string path = item.substr(0, item.find('|'));
    // Base64 lines carry 57 bytes in 78 characters.
    total += fileSize(path) * 78 / 57;
  }
  qelIntegerParam(kChannel, QEL_PARAM_ATTACH_SEPARATOR, kAttachListSeparator);

  int32_t rc = smtpConnect(options, options.get("from"));
  if (rc < 0) return fail("connect to " + options.get("server", "127.0.0.1"), rc);

  std::string to = joinList(options.all("to"), ',');
  std::string cc = joinList(options.all("cc"), ',');
  std::string bcc = joinList(options.all("bcc"), ',');
  std::string subject = options.get("subject");
  std::string attachList = joinList(attachments, kAttachListSeparator);
  Progress progress(showProgress(options), "sending", total);
  rc = drive(qelSendEmail(kChannel, to.c_str(), cc.c_str(), bcc.c_str(), subject.c_str(), message.c_str(),
                          attachList.c_str()),
             &progress, QEL_STAT_BYTES_SENT);
  if (rc < 0) return fail("send", rc);
  int32_t sent = qelStatistics(kChannel, QEL_STAT_BYTES_SENT);
  drive(qelClose(kChannel));
  std::printf("sent %d bytes of body and attachments to %s\n", static_cast<int>(sent), to.c_str());
  return kExitOk;
}

int cmdVerify(Options& options) {
  if (options.positional().empty()) return usageError("verify needs at least one name");
  if (!applyCommon(options, QEL_PARAM_SMTP_PORT)) return usageError(options.error());
  int32_t rc = smtpConnect(options, options.get("from", "qelmail <qelmail@localhost>"));
  if (rc < 0) return fail("connect", rc);
  int result = kExitOk;
  for (const std::string& name : options.positional()) {
    rc = drive(qelVerifyUser(kChannel, name.c_str()));
    if (rc < 0) return fail("verify " + name, rc);
    char reply[200];
    qelDebug(kChannel, QEL_DEBUG_LAST_REPLY, reply, sizeof reply - 1);
    bool verified = qelStatistics(kChannel, QEL_STAT_VERIFY_RESULT) == 1;
    int32_t code = qelStatistics(kChannel, QEL_STAT_REPLY_CODE);
    std::printf("%s\t%d\t%s\n", name.c_str(), static_cast<int>(code), verified ? "verified" : "not verified");
    if (code >= 500) result = kExitFailed;
  }
  drive(qelClose(kChannel));
  return result;
}

// ---- POP3 -----------------------------------------------------------------

int32_t pop3Connect(Options& options) {
  if (options.has("apop")) qelIntegerParam(kChannel, QEL_PARAM_USE_APOP, 1);
  std::string server = options.get("server", "127.0.0.1");
  std::string user = options.get("user");
  std::string password = options.get("password");
  return drive(qelPop3Connect(kChannel, server.c_str(), user.c_str(), password.c_str()));
}

// Message numbers from --message (repeatable) or every message.
bool messageNumbers(Options& options, int32_t count, std::vector<int32_t>* numbers) {
  if (!options.has("message")) {
    for (int32_t n = 1; n <= count; ++n) numbers->push_back(n);
    return true;
  }
  for (const std::string& text : options.all("message")) {
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 1 || n > 2147483647L) return false;
    numbers->push_back(static_cast<int32_t>(n));
  }
  return true;
}

int32_t messageCount(int32_t* count) {
  int32_t rc = drive(qelGetEmailCount(kChannel));
  *count = qelStatistics(kChannel, QEL_STAT_MESSAGE_COUNT);
  return rc;
}

// The unique id from a "+OK n uid" answer, or "".
std::string uidOf(int32_t number) {
  char buffer[kUidRoom];
  buffer[0] = '\0';
  if (drive(qelGetEmailUID(kChannel, number, buffer, sizeof buffer)) < 0) return "";
  if (std::strncmp(buffer, "+OK", 3) != 0) return "";
  std::string line = buffer;
  size_t end = line.find_first_of("\r\n");
  line = line.substr(0, end);
  size_t last = line.find_last_of(' ');
  return last == std::string::npos ? "" : line.substr(last + 1);
}

int cmdList(Options& options) {
  if (!applyCommon(options, QEL_PARAM_POP3_PORT)) return usageError(options.error());
  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("log in", rc);
  int32_t count = 0;
  rc = messageCount(&count);
  if (rc < 0) return fail("count", rc);
  std::printf("%d messages\n", static_cast<int>(count));
  for (int32_t n = 1; n <= count; ++n) {
    rc = drive(qelGetEmailSize(kChannel, n));
    if (rc < 0) return fail("size of message " + std::to_string(n), rc);
    int32_t size = qelStatistics(kChannel, QEL_STAT_MESSAGE_SIZE);
    std::string uid = uidOf(n);
    std::printf("%d\t%d\t%s\n", static_cast<int>(n), static_cast<int>(size), uid.c_str());
  }
  drive(qelClose(kChannel));
  return kExitOk;
}

int cmdTop(Options& options) {
  long message = 0;
  long lines = 0;
  if (!options.number("message", 0, &message) || !options.number("lines", 0, &lines)) return usageError(options.error());
  if (message < 1) return usageError("top needs --message N (from 1)");
  if (!applyCommon(options, QEL_PARAM_POP3_PORT)) return usageError(options.error());
  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("log in", rc);
  std::vector<char> buffer(1 << 20);
  rc = drive(qelGetEmailLines(kChannel, static_cast<int32_t>(message), static_cast<int32_t>(lines), buffer.data(),
                              static_cast<int32_t>(buffer.size())));
  if (rc < 0) return fail("top of message " + std::to_string(message), rc);
  int32_t stored = qelStatistics(kChannel, QEL_STAT_LINE_BYTES);
  std::fwrite(buffer.data(), 1, static_cast<size_t>(stored), stdout);
  drive(qelClose(kChannel));
  return kExitOk;
}

int cmdFetch(Options& options) {
  if (!options.has("dir")) return usageError("fetch needs --dir");
  if (!applyCommon(options, QEL_PARAM_POP3_PORT)) return usageError(options.error());
  std::string dir = options.get("dir");
  std::string attachDir = options.get("attach-dir", dir);
  if (options.has("raw")) qelIntegerParam(kChannel, QEL_PARAM_DECODE_STATE, 1);
  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("log in", rc);
  int32_t count = 0;
  rc = messageCount(&count);
  if (rc < 0) return fail("count", rc);
  std::vector<int32_t> numbers;
  if (!messageNumbers(options, count, &numbers)) return usageError("--message needs a number from 1");
  for (int32_t n : numbers) {
    rc = drive(qelGetEmailSize(kChannel, n));
    if (rc < 0) return fail("size of message " + std::to_string(n), rc);
    int32_t size = qelStatistics(kChannel, QEL_STAT_MESSAGE_SIZE);
    std::string name = "message-" + std::to_string(n) + ".eml";
    Progress progress(showProgress(options), "fetching " + std::to_string(n), size);
    rc = drive(qelGetEmailFile(kChannel, n, name.c_str(), dir.c_str(), attachDir.c_str()), &progress,
               QEL_STAT_BYTES_READ);
    if (rc < 0) return fail("download of message " + std::to_string(n), rc);
    char saved[kSavedNamesRoom + 1];
    qelDebug(kChannel, QEL_DEBUG_SAVED_NAMES, saved, kSavedNamesRoom);
    std::printf("%d\t%s/%s\t%d attachments%s%s\n", static_cast<int>(n), dir.c_str(), name.c_str(),
                static_cast<int>(qelStatistics(kChannel, QEL_STAT_SAVED_COUNT)), saved[0] ? "\t" : "", saved);
    if (options.has("delete")) {
      rc = drive(qelDeleteEmail(kChannel, n));
      if (rc < 0) return fail("delete of message " + std::to_string(n), rc);
    }
  }
  rc = drive(qelClose(kChannel));
  if (rc < 0 && options.has("delete")) return fail("closing (deletions take effect here)", rc);
  return kExitOk;
}

int cmdDelete(Options& options) {
  if (!options.has("message")) return usageError("delete needs --message N");
  if (!applyCommon(options, QEL_PARAM_POP3_PORT)) return usageError(options.error());
  int32_t rc = pop3Connect(options);
  if (rc < 0) return fail("log in", rc);
  std::vector<int32_t> numbers;
  if (!messageNumbers(options, 0, &numbers)) return usageError("--message needs a number from 1");
  for (int32_t n : numbers) {
    rc = drive(qelDeleteEmail(kChannel, n));
    if (rc < 0) return fail("delete of message " + std::to_string(n), rc);
  }
  rc = drive(qelClose(kChannel));
  if (rc < 0) return fail("closing (deletions take effect here)", rc);
  std::printf("deleted %zu messages\n", numbers.size());
  return kExitOk;
}

int cmdRaw(Options& options) {
  if (options.positional().size() != 1) return usageError("raw needs exactly one command text");
  bool pop3 = options.has("pop3");
  if (!applyCommon(options, pop3 ? QEL_PARAM_POP3_PORT : QEL_PARAM_SMTP_PORT)) return usageError(options.error());
  int32_t rc = pop3 ? pop3Connect(options) : smtpConnect(options, options.get("from", "qelmail <qelmail@localhost>"));
  if (rc < 0) return fail("connect", rc);
  rc = drive(qelCommand(kChannel, options.positional()[0].c_str()));
  char reply[200];
  qelDebug(kChannel, QEL_DEBUG_LAST_REPLY, reply, sizeof reply - 1);
  if (rc < 0) return fail("command", rc);
  std::printf("%s\n", reply);
  drive(qelClose(kChannel));
  return kExitOk;
}

// ---- dispatch -------------------------------------------------------------

struct Command {
  const char* name;
  const char* usage;
  const char* about;
  std::vector<OptionSpec> options;
  int (*run)(Options&);
};

std::vector<Command> commands() {
  return {
      {"send", "qelmail send --from ADDR --to ADDR [options]",
       "Sends one message through an SMTP server. Addresses are written as 'Name <user@host>' or '<user@host>'.",
       withCommon({{"from", true, false, "sender address"},
                   {"to", true, true, "recipient"},
                   {"cc", true, true, "copy recipient"},
                   {"bcc", true, true, "blind copy recipient (in no header)"},
                   {"subject", true, false, "subject line"},
                   {"text", true, false, "message text"},
                   {"body-file", true, false, "read the message text from this file"},
                   {"body-type", true, false, "plain, text, html, enriched, iso8859 or custom"},
                   {"content-type", true, false, "content-type line of the text part for --body-type custom"},
                   {"attach", true, true, "attach a file; PATH|NAME shows NAME in the message"},
                   {"reply-to", true, false, "Reply-To address"},
                   {"header", true, true, "extra header line, such as 'X-Priority: 1'"},
                   {"ehlo", false, false, "greet with EHLO"},
                   {"user", true, false, "authenticate with this user name (AUTH CRAM-MD5 or LOGIN, implies --ehlo)"},
                   {"password", true, false, "authentication password"}},
                  false),
       cmdSend},
      {"verify", "qelmail verify [options] NAME...", "Asks an SMTP server to verify names (VRFY).",
       withCommon({{"from", true, false, "address to greet with"}}, false), cmdVerify},
      {"list", "qelmail list --user U --password P [options]",
       "Lists the messages of a POP3 mailbox: number, size in bytes, unique id.", withCommon({}, true), cmdList},
      {"top", "qelmail top --message N [--lines K] --user U --password P [options]",
       "Prints the header and the first K body lines of a message.",
       withCommon({{"message", true, false, "message number, from 1"}, {"lines", true, false, "body lines (default 0)"}},
                  true),
       cmdTop},
      {"fetch", "qelmail fetch --dir DIR --user U --password P [options]",
       "Downloads messages into DIR as message-N.eml, with their attachments decoded into files.",
       withCommon({{"dir", true, false, "directory for the message files"},
                   {"attach-dir", true, false, "directory for attachments (default: --dir)"},
                   {"message", true, true, "message number (default: every message)"},
                   {"raw", false, false, "store messages exactly as received, without decoding"},
                   {"delete", false, false, "delete each message after it was downloaded"}},
                  true),
       cmdFetch},
      {"delete", "qelmail delete --message N --user U --password P [options]",
       "Deletes messages from a POP3 mailbox.",
       withCommon({{"message", true, true, "message number"}}, true), cmdDelete},
      {"raw", "qelmail raw [--pop3] [options] COMMAND",
       "Sends one raw command (at most 32 characters) and prints the last reply line.",
       withCommon({{"pop3", false, false, "POP3 instead of SMTP"}, {"from", true, false, "SMTP greeting address"}},
                  true),
       cmdRaw},
  };
}

void printMainHelp() {
  std::printf(
      "usage: qelmail COMMAND [options]\n\n"
      "commands:\n");
  for (const Command& command : commands()) std::printf("  %-8s %s\n", command.name, command.about);
  std::printf("\n'qelmail COMMAND --help' shows a command's options.\n");
}

}  // namespace
}  // namespace qelmail

int main(int argc, char** argv) {
  using namespace qelmail;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    printMainHelp();
    return argc < 2 ? kExitUsage : kExitOk;
  }
  for (const Command& command : commands()) {
    if (std::strcmp(argv[1], command.name) != 0) continue;
    Options options;
    if (!options.parse(command.options, argc, argv, 2)) return usageError(options.error());
    if (options.has("help")) {
      printHelp(command.usage, command.about, command.options);
      return kExitOk;
    }
    if (qelAttach(1, 0) != 1) {
      std::fprintf(stderr, "qelmail: cannot attach the library\n");
      return kExitFailed;
    }
    int result = command.run(options);
    qelRelease();
    return result;
  }
  return usageError(std::string("unknown command '") + argv[1] + "'");
}
