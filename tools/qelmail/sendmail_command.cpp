// qelmail sendmail (also when run through a link named "sendmail") and
// qelmail send --message: a ready-made message handed to the server as it
// is, with the envelope the caller gives.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "config.h"
#include "prepared_message.h"
#include "qel32.h"
#include "session.h"

namespace qelmail {
namespace {

// Exit codes of sendmail's own (sysexits.h) beside those of exit_status.h.
constexpr int kExitSendmailUsage = 64;  // EX_USAGE
constexpr int kExitNoInput = 66;        // EX_NOINPUT: the message file cannot be read
constexpr int kExitIoError = 74;        // EX_IOERR: standard input cannot be read
constexpr char kListSeparator = ',';

const char kSendmailUsage[] =
    "qelmail sendmail [-t] [-i|-oi] [-f FROM] [-F NAME] [-a ACCOUNT] [--server HOST] [--message FILE|DIR]...\n"
    "                        [options] [RECIPIENT...]";
const char kSendmailAbout[] =
    "Reads a message on standard input and sends it as it is (line ends made CR LF)\n"
    "to the recipients named, and with -t also to those of its To, Cc and Bcc\n"
    "fields; -t removes the Bcc field. Without -i (or -oi) a line holding only \".\"\n"
    "ends the message. The envelope sender is -f FROM, else the -a (--account)\n"
    "account's from address, else the address of the message's From field, else\n"
    "$USER@localhost; -F NAME adds \"From: NAME <FROM>\"\n"
    "to a message that has no From field. Other -o flags, -bm and -v are accepted\n"
    "and ignored. The server comes from the options below and the account\n"
    "(default 127.0.0.1, port 25). With --message, the messages are read from the\n"
    "files (and the files of the directories, in name order) instead, each with\n"
    "its own envelope, and sent over one connection.\n"
    "Exit codes follow sysexits.h: 64 usage, 65 refused, 66 no input, 69\n"
    "unavailable, 74 input error, 75 try again later, 77 login refused.";

struct Envelope {
  std::string sender;                   // the address, without brackets ("" = the null sender)
  std::vector<std::string> recipients;  // addresses, without brackets
};

// One ready-made message: its envelope, its text (from `path` when that is
// not empty), and the file it came from ("" for standard input).
struct Prepared {
  Envelope envelope;
  std::string message;
  std::string path;
  std::string file;
};

std::string bracketed(const std::string& address) { return "<" + address + ">"; }

std::string recipientList(const std::vector<std::string>& recipients) {
  std::string list;
  for (const std::string& address : recipients) {
    if (!list.empty()) list += kListSeparator;
    list += bracketed(address);
  }
  return list;
}

// Checks an envelope and makes each recipient unique; "" or the usage
// problem.
std::string checkEnvelope(Envelope* envelope) {
  // A recipient named twice (in To and Bcc, say) gets the message once.
  std::vector<std::string> unique;
  for (const std::string& address : envelope->recipients) {
    if (std::find(unique.begin(), unique.end(), address) == unique.end()) unique.push_back(address);
  }
  envelope->recipients = unique;
  for (const std::string& address : envelope->recipients) {
    if (address.find_first_of("\r\n<>") != std::string::npos) return "unusable recipient '" + address + "'";
  }
  if (envelope->sender.find_first_of("\r\n<>") != std::string::npos || envelope->sender.size() + 2 > kAddressCap) {
    return "unusable sender '" + envelope->sender + "'";
  }
  return "";
}

// The exit code of a failed send.
int sendFailure(const std::string& what, int32_t rc) {
  int code = fail(what, rc);
  if (rc == QEL_ERR_CANNOT_OPEN_FILE) return kExitNoInput;
  if (rc == QEL_ERR_MESSAGE_TOO_BIG || rc == QEL_ERR_NEEDS_SMTPUTF8) return kExitDataError;
  return code;
}

// Sends the messages, in order, over one connection the options set up (a
// new one when a failure has closed it). Each message is reported; the exit
// code is that of the first failure.
int sendPrepared(Options& options, std::vector<Prepared> items, bool quiet) {
  for (Prepared& item : items) {
    std::string problem = checkEnvelope(&item.envelope);
    if (!problem.empty()) return usageError(problem);
  }
  if (int rc = applyCommon(options, QEL_PARAM_SMTP_PORT); rc != kExitOk) return rc;
  if (int rc = applyLogin(options); rc != kExitOk) return rc;
  qelIntegerParam(kChannel, QEL_PARAM_EXTENSIONS, 1);
  qelIntegerParam(kChannel, QEL_PARAM_RECIPIENT_SEPARATOR, kListSeparator);
  std::string server = serverName(options);
  std::string from = bracketed(items.front().envelope.sender);
  auto connect = [&]() -> int {
    int32_t rc = drive(qelSmtpConnect(kChannel, server.c_str(), from.c_str(), ""));
    if (rc < 0) return fail("connecting to " + serverLabel(options, false), rc, Step::connect);
    return checkLoggedIn(options);
  };
  if (int rc = connect(); rc != kExitOk) return rc;
  const bool several = items.size() > 1;
  int result = kExitOk;
  for (const Prepared& item : items) {
    std::string sender = bracketed(item.envelope.sender);
    std::string recipients = recipientList(item.envelope.recipients);
    std::string name = several ? " " + (item.file.empty() ? std::string("-") : item.file) : "";
    int32_t rc = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      int32_t staged = item.path.empty()
                           ? qelSendPreparedMemory(kChannel, sender.c_str(), recipients.c_str(), item.message.data(),
                                                   static_cast<int32_t>(item.message.size()))
                           : qelSendPreparedFile(kChannel, sender.c_str(), recipients.c_str(), item.path.c_str());
      Progress progress(!quiet && showProgress(options), "sending", item.path.empty() ? item.message.size() : 0);
      rc = drive(staged, &progress, QEL_STAT_BYTES_SENT);
      // An earlier failure closed the connection: the rest go over a new one.
      if (rc != QEL_ERR_NOT_CONNECTED || attempt > 0) break;
      if (int connected = connect(); connected != kExitOk) return result != kExitOk ? result : connected;
    }
    if (rc == kStopped) return fail("sending" + name, rc);
    if (rc < 0) {
      int code = sendFailure("sending" + name, rc);
      if (result == kExitOk) result = code;
      continue;
    }
    auto sent = static_cast<uint32_t>(qelStatistics(kChannel, QEL_STAT_MESSAGE_BYTES_SENT));
    if (!quiet) std::printf("sent %u bytes of message%s\n", sent, name.c_str());
  }
  int32_t rc = drive(qelClose(kChannel));
  if (rc < 0 && result == kExitOk) {
    std::fprintf(stderr, "qelmail: the message was accepted, but QUIT failed: %s\n", errorText(rc).c_str());
  }
  return result;
}

// The files of --message: each file as it is, each directory's regular
// files (not those whose names begin with ".") in name order. False, with
// the problem, when one is neither.
bool messageFiles(const std::vector<std::string>& given, std::vector<std::string>* paths, std::string* problem) {
  for (const std::string& path : given) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      paths->push_back(path);
      continue;
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
      *problem = "cannot read the directory " + path;
      return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
      std::string file = path + "/" + entry->d_name;
      if (entry->d_name[0] != '.' && ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(file);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.empty()) {
      *problem = "no message file in " + path;
      return false;
    }
    paths->insert(paths->end(), names.begin(), names.end());
  }
  return true;
}

// Reads a whole message file.
bool readMessageFile(const std::string& path, std::string* message) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  bool ok = readMessage(in, true, message);
  std::fclose(in);
  return ok;
}

// sendmail's own flags; everything beginning with "--" is left for the
// qelmail options.
struct SendmailFlags {
  bool fromHeaders = false;  // -t
  bool ignoreDots = false;   // -i, -oi
  bool help = false;
  std::string sender;        // -f
  bool senderGiven = false;
  std::string fullName;      // -F
  std::vector<std::string> recipients;
  std::vector<std::string> longOptions;
};

// Takes the value of -f or -F: the rest of the flag, or the next argument.
bool flagValue(int argc, char** argv, int* i, std::string* value) {
  if (argv[*i][2] != '\0') {
    *value = argv[*i] + 2;
    return true;
  }
  if (*i + 1 >= argc) return false;
  *value = argv[++*i];
  return true;
}

// Returns "" or the usage problem.
std::string parseSendmail(int argc, char** argv, int first, const std::vector<OptionSpec>& specs,
                          SendmailFlags* flags) {
  bool optionsEnded = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      for (const std::string& address : addressesIn(arg)) flags->recipients.push_back(address);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg.compare(0, 2, "--") == 0) {
      flags->longOptions.push_back(arg);
      if (arg == "--help") flags->help = true;
      // An option's value follows it unless given with "=".
      bool takesValue = false;
      for (const OptionSpec& option : specs) {
        if ("--" + std::string(option.name) == arg) takesValue = option.takesValue;
      }
      if (takesValue && i + 1 < argc) flags->longOptions.push_back(argv[++i]);
    } else if (arg == "-t") {
      flags->fromHeaders = true;
    } else if (arg == "-i" || arg == "-oi") {
      flags->ignoreDots = true;
    } else if (arg == "-h") {
      flags->help = true;
    } else if (arg[1] == 'f') {
      if (!flagValue(argc, argv, &i, &flags->sender)) return "-f needs an address";
      flags->senderGiven = true;
    } else if (arg[1] == 'F') {
      if (!flagValue(argc, argv, &i, &flags->fullName)) return "-F needs a name";
    } else if (arg[1] == 'a') {
      std::string account;
      if (!flagValue(argc, argv, &i, &account)) return "-a needs an account name";
      flags->longOptions.push_back("--account=" + account);
    } else if (arg[1] == 'o' || arg == "-bm" || arg == "-v") {
      // Queue and error-report flags (-oem, -odi, ...): nothing to do here.
    } else {
      return "unknown sendmail flag " + arg;
    }
  }
  return "";
}

// The envelope sender: -f, else the account's from address, else the
// message's From, else $USER@localhost.
std::string senderOf(const SendmailFlags& flags, const Options& options, const std::string& message) {
  if (flags.senderGiven || options.has("from")) {
    std::vector<std::string> given = addressesIn(flags.senderGiven ? flags.sender : options.get("from"));
    return given.empty() ? "" : given[0];
  }
  for (const std::string& from : headerValues(message, "From")) {
    std::vector<std::string> addresses = addressesIn(from);
    if (!addresses.empty()) return addresses[0];
  }
  const char* user = nullptr;
  for (const char* variable : {"USER", "LOGNAME", "USERNAME"}) {
    if (user == nullptr || user[0] == '\0') user = std::getenv(variable);
  }
  return std::string(user != nullptr && user[0] != '\0' ? user : "qelmail") + "@localhost";
}

int sendmailUsage(const std::string& problem) {
  std::fprintf(stderr, "qelmail: %s\nusage: %s\n", problem.c_str(), kSendmailUsage);
  return kExitSendmailUsage;
}

}  // namespace

int runSendmail(int argc, char** argv, int first, const std::vector<OptionSpec>& specs) {
  SendmailFlags flags;
  std::string problem = parseSendmail(argc, argv, first, specs, &flags);
  if (!problem.empty()) return sendmailUsage(problem);
  std::vector<char*> longArgs{argv[0]};
  for (std::string& arg : flags.longOptions) longArgs.push_back(&arg[0]);
  Options options;
  if (!options.parse(specs, static_cast<int>(longArgs.size()), longArgs.data(), 1)) {
    return sendmailUsage(options.error());
  }
  if (flags.help) {
    printHelp(kSendmailUsage, kSendmailAbout, specs);
    return kExitOk;
  }
  if (!splitServerPort(options)) return sendmailUsage(options.error());
  // The account's from address is the envelope sender when -f is missing.
  std::vector<OptionSpec> withFrom = specs;
  withFrom.push_back({"from", true, false, ""});
  if (int rc = applyAccount(options, withFrom, false); rc != kExitOk) return rc;
  // The message on standard input, or the --message files.
  std::vector<Prepared> items;
  std::vector<std::string> paths;
  if (!messageFiles(options.all("message"), &paths, &problem)) return sendmailUsage(problem);
  if (paths.empty()) {
    items.emplace_back();
    if (!readMessage(stdin, flags.ignoreDots, &items.back().message)) {
      std::fprintf(stderr, "qelmail: cannot read the message on standard input\n");
      return kExitIoError;
    }
  }
  for (const std::string& path : paths) {
    items.emplace_back();
    items.back().file = path;
    if (!readMessageFile(path, &items.back().message)) {
      std::fprintf(stderr, "qelmail: cannot read the message file %s\n", path.c_str());
      return kExitNoInput;
    }
  }
  for (Prepared& item : items) {
    std::string& message = item.message;
    Envelope& envelope = item.envelope;
    envelope.sender = senderOf(flags, options, message);
    envelope.recipients = flags.recipients;
    if (flags.fromHeaders) {
      for (const char* field : {"To", "Cc", "Bcc"}) {
        for (const std::string& value : headerValues(message, field)) {
          for (const std::string& address : addressesIn(value)) envelope.recipients.push_back(address);
        }
      }
      message = withoutHeader(message, "Bcc");
    }
    if (envelope.recipients.empty()) return sendmailUsage("no recipients given");
    if (!flags.fullName.empty() && headerValues(message, "From").empty()) {
      if (flags.fullName.find_first_of("\r\n") != std::string::npos) return sendmailUsage("unusable -F name");
      message = "From: " + flags.fullName + " " + bracketed(envelope.sender) + "\n" + message;
    }
  }
  options.set("quiet", "");
  return sendPrepared(options, std::move(items), true);
}

int cmdSendMessage(Options& options) {
  for (const char* composing : {"subject", "text", "body-file", "body-type", "content-type", "charset", "attach",
                                "reply-to", "header"}) {
    if (options.has(composing)) return usageError(std::string("--message sends a message as it is: no --") + composing);
  }
  if (!options.positional().empty()) return usageError("send takes no argument '" + options.positional()[0] + "'");
  if (!options.has("from")) return usageError("send needs --from");
  Envelope envelope;
  std::vector<std::string> sender = addressesIn(options.get("from"));
  envelope.sender = sender.empty() ? "" : sender[0];
  for (const char* field : {"to", "cc", "bcc"}) {
    for (const std::string& list : options.all(field)) {
      for (const std::string& address : addressesIn(list)) envelope.recipients.push_back(address);
    }
  }
  if (envelope.recipients.empty()) return usageError("send needs at least one --to");
  const std::vector<std::string>& given = options.all("message");
  std::vector<Prepared> items;
  if (given.size() == 1 && given[0] == "-") {
    items.push_back({envelope, "", "", ""});
    if (!readMessage(stdin, true, &items.back().message)) return failPlain("cannot read the message on standard input");
    return sendPrepared(options, std::move(items), false);
  }
  std::vector<std::string> paths;
  std::string problem;
  for (const std::string& path : given) {
    if (path.empty() || path == "-") return usageError("--message needs a file name, a directory, or - alone");
  }
  if (!messageFiles(given, &paths, &problem)) return usageError(problem);
  for (const std::string& path : paths) items.push_back({envelope, "", path, path});
  return sendPrepared(options, std::move(items), false);
}

bool calledAsSendmail(const char* argv0) {
  const char* base = argv0;
  for (const char* c = argv0; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\') base = c + 1;
  }
  return std::strcmp(base, "sendmail") == 0 || std::strcmp(base, "sendmail.exe") == 0;
}

}  // namespace qelmail
