// qelmail: send, verify, list, top, fetch, delete and raw on the command
// line, built only on the public interface of the library (qel32.h).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "config.h"
#include "options.h"
#include "qel32.h"
#include "session.h"
#include "system.h"

namespace qelmail {
namespace {

struct Command {
  const char* name;
  const char* summary;  // one sentence, for the list of commands
  const char* usage;
  const char* about;
  std::vector<OptionSpec> options;
  int (*run)(Options&);
};

std::vector<OptionSpec> plus(std::vector<OptionSpec> specs, const std::vector<OptionSpec>& more) {
  specs.insert(specs.end(), more.begin(), more.end());
  return specs;
}

std::vector<Command> commands() {
  return {
      {"send", "Sends one message through an SMTP server.", "qelmail send --from ADDR --to ADDR [options]",
       "Sends one message through an SMTP server. Addresses are written 'user@host',\n"
       "'<user@host>' or 'Name <user@host>'; --to, --cc and --bcc also take\n"
       "comma-separated lists. The text comes from --text, or from --body-file\n"
       "(- for standard input).",
       withCommon(plus({{"from", true, false, "The sender's address."},
                        {"to", true, true, "A recipient."},
                        {"cc", true, true, "A recipient of a copy."},
                        {"bcc", true, true, "A recipient of a blind copy, named in no header line."},
                        {"subject", true, false, "The subject line."},
                        {"text", true, false, "The message text."},
                        {"body-file", true, false, "Reads the message text from this file."},
                        {"body-type", true, false, "The kind of text: plain (the default), text, html, enriched, iso8859 or custom."},
                        {"content-type", true, false,
                         "The content type of the text for --body-type custom: a bare type such as\n"
                         "                         'text/markdown; charset=utf-8', or the whole header line."},
                        {"charset", true, false,
                         "The charset of the texts (default utf-8): encoded header words and names,\n"
                         "                         SIZE and SMTPUTF8 when offered; 'none' sends 8-bit texts as given."},
                        {"attach", true, true,
                         "Attaches a file; PATH|NAME shows it as NAME. With --body-type html,\n"
                         "                         .gif .jpg .bmp and .tif files go inline, the first as cid:message-root.1."},
                        {"reply-to", true, false, "The Reply-To address."},
                        {"header", true, true, "An extra header line, such as 'X-Priority: 1'."},
                        {"message", true, true,
                         "Sends this ready-made message file (- for standard input) as it is, to --to,\n"
                         "                         --cc and --bcc, from --from; no header is added or changed. Several\n"
                         "                         files, or a directory (its files in name order), go over one connection."}},
                       kSmtpLoginOptions),
                  false),
       cmdSend},
      {"verify", "Asks an SMTP server to verify names (VRFY).", "qelmail verify [options] NAME...",
       "Asks an SMTP server to verify names (VRFY) and prints each answer. Exits 1\n"
       "when a name is refused.",
       withCommon(plus({{"from", true, false, "The address given when connecting."}}, kSmtpLoginOptions), false),
       cmdVerify},
      {"list", "Lists the messages of a POP3 mailbox.", "qelmail list --user U [options]",
       "Lists the messages of a POP3 mailbox: a count line, then one line per message:\n"
       "number, size in bytes and unique id, separated by tabs.",
       withCommon({}, true), cmdList},
      {"top", "Prints the header and the first lines of a message.",
       "qelmail top --message N [--lines K] --user U [options]",
       "Prints the header and the first K lines of the text of a message.",
       withCommon({{"message", true, false, "The message number, from 1."},
                   {"lines", true, false, "How many lines of the text follow the header (default 0)."}},
                  true),
       cmdTop},
      {"fetch", "Downloads messages into files, with their attachments.",
       "qelmail fetch --dir DIR|--maildir DIR|--mbox FILE|--mda COMMAND --user U [options]",
       "Downloads messages. Each is saved as DIR/ID.eml (ID: its unique id, or message-N),\n"
       "its readable text decoded, every other part (attachments, inline images, forwarded\n"
       "messages as .eml) decoded into DIR/ID/ under its own name. Prints one line per file:\n"
       "'message N PATH' or 'attachment N PATH', and 'deleted N' with --delete.\n"
       "With --maildir, --mbox or --mda each message is delivered instead, with LF line\n"
       "ends; a message is deleted (--delete) only once it has been delivered.",
       withCommon({{"dir", true, false, "The directory for the messages, made when it is missing."},
                   {"attach-dir", true, false, "One directory for every attachment, instead of DIR/ID/; a file there is never replaced: a taken name gets a number (\"name (2).ext\")."},
                   {"message", true, true, "A message number (by default every message is fetched)."},
                   {"raw", false, false, "Saves each message exactly as the server holds it, undecoded."},
                   {"delete", false, false, "Deletes the fetched messages from the server once all are saved."},
                   {"new", false, false,
                    "Fetches only the messages whose unique ids are not yet in DIR/.qelmail-uids,\n"
                    "                         and adds the ids of those it saves."},
                   {"maildir", true, false,
                    "Delivers each message into this Maildir (tmp/, then new/), made when it is\n"
                    "                         missing; the list of --new is its .qelmail-uids unless --dir is given."},
                   {"mbox", true, false,
                    "Appends each message to this mbox file (mboxrd), locked while written; the\n"
                    "                         list of --new is .qelmail-uids beside it unless --dir is given."},
                   {"mda", true, false,
                    "Runs this command through /bin/sh for each message, the message on its standard\n"
                    "                         input; a message it fails (exit status not 0) stays on the server."},
                   {"attachments", true, false,
                    "With --maildir, --mbox or --mda: also saves the decoded attachments into this\n"
                    "                         directory in the same download; a taken name gets a number."}},
                  true),
       cmdFetch},
      {"delete", "Deletes messages from a POP3 mailbox.", "qelmail delete --message N --user U [options]",
       "Deletes messages from a POP3 mailbox: all of them, or none when one is refused.",
       withCommon({{"message", true, true, "A message number."}}, true), cmdDelete},
      {"raw", "Sends one command line and prints the reply.", "qelmail raw [--pop3] [options] COMMAND",
       "Connects (and logs in), sends one command line of at most 32 characters and\n"
       "prints the server's reply line. SMTP unless --pop3 is given.",
       withCommon({{"pop3", false, false, "Talks POP3 instead of SMTP."},
                   {"from", true, false, "The address given when connecting (SMTP)."}},
                  true),
       cmdRaw},
  };
}

std::vector<OptionSpec> sendmailOptions() {
  return withCommon(plus({{"message", true, true,
                           "Sends this ready-made message file, or the files of this directory in name\n"
                           "                         order, instead of standard input; all over one connection."}},
                         kSmtpLoginOptions),
                    false);
}

void printMainHelp() {
  std::printf("usage: qelmail COMMAND [options]\n\ncommands:\n");
  for (const Command& command : commands()) {
    std::printf("  %-8s %s\n", command.name, command.summary);
  }
  std::printf("  %-8s %s\n", "sendmail", "Sends a ready-made message from standard input, as sendmail does.");
  std::printf(
      "\n'qelmail COMMAND --help' shows the options of a command; 'qelmail --version'\n"
      "the library's version. Progress is shown on stderr when it is a terminal.\n");
}

int printVersion() {
  if (qelAttach(1, 0) != 1) return failPlain("cannot attach the library");
  int32_t version = qelStatistics(kChannel, QEL_STAT_VERSION);
  int32_t build = qelStatistics(kChannel, QEL_STAT_BUILD);
  qelRelease();
  std::printf("qelmail, library version %d.%d.%d build %d\n", (version >> 8) & 0xF, (version >> 4) & 0xF,
              version & 0xF, static_cast<int>(build));
  return kExitOk;
}

}  // namespace
}  // namespace qelmail

int main(int argc, char** argv) {
  using namespace qelmail;
  bool asSendmail = calledAsSendmail(argv[0]);
  if (asSendmail || (argc >= 2 && std::strcmp(argv[1], "sendmail") == 0)) {
    if (qelAttach(1, 0) != 1) return failPlain("cannot attach the library");
    installStopSignals();
    int result = runSendmail(argc, argv, asSendmail ? 1 : 2, sendmailOptions());
    qelRelease();
    if (int signal = stopSignal(); signal != 0) return reportStopped(signal);
    return result;
  }
  if (argc < 2) {
    printMainHelp();
    return kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "help") == 0) {
    printMainHelp();
    return kExitOk;
  }
  if (std::strcmp(argv[1], "--version") == 0) return printVersion();
  for (const Command& command : commands()) {
    if (std::strcmp(argv[1], command.name) != 0) continue;
    Options options;
    if (!options.parse(command.options, argc, argv, 2)) return usageError(options.error());
    if (options.has("help")) {
      printHelp(command.usage, command.about, command.options);
      return kExitOk;
    }
    if (!splitServerPort(options)) return usageError(options.error());
    bool pop3 = std::strcmp(command.name, "send") != 0 && std::strcmp(command.name, "verify") != 0 &&
                (std::strcmp(command.name, "raw") != 0 || options.has("pop3"));
    if (int rc = applyAccount(options, command.options, pop3); rc != kExitOk) return rc;
    if (qelAttach(1, 0) != 1) return failPlain("cannot attach the library");
    installStopSignals();
    int result = command.run(options);
    qelRelease();
    if (int signal = stopSignal(); signal != 0) return reportStopped(signal);
    return result;
  }
  return usageError(std::string("unknown command '") + argv[1] + "'");
}
