// qelmail: send, verify, list, top, fetch, delete and raw on the command
// line, built only on the public interface of the library (qel32.h).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "qel32.h"
#include "session.h"

namespace qelmail {
namespace {

struct Command {
  const char* name;
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
      {"send", "qelmail send --from ADDR --to ADDR [options]",
       "Sends one message through an SMTP server. Addresses are written 'Name <user@host>'\n"
       "or '<user@host>'; --to, --cc and --bcc also take comma-separated lists. The text\n"
       "comes from --text, or from --body-file (- for standard input).",
       withCommon(plus({{"from", true, false, "sender address"},
                        {"to", true, true, "recipient"},
                        {"cc", true, true, "copy recipient"},
                        {"bcc", true, true, "blind copy recipient (in no header line)"},
                        {"subject", true, false, "subject line"},
                        {"text", true, false, "message text"},
                        {"body-file", true, false, "read the message text from this file"},
                        {"body-type", true, false, "plain (default), text, html, enriched, iso8859 or custom"},
                        {"content-type", true, false, "content-type line of the text for --body-type custom"},
                        {"attach", true, true,
                         "attach a file; PATH|NAME shows NAME. With --body-type html, .gif\n"
                         "                         .jpg .bmp .tif files go inline: the first is cid:message-root.1"},
                        {"reply-to", true, false, "Reply-To address"},
                        {"header", true, true, "extra header line, such as 'X-Priority: 1'"}},
                       kSmtpLoginOptions),
                  false),
       cmdSend},
      {"verify", "qelmail verify [options] NAME...",
       "Asks an SMTP server to verify names (VRFY) and prints each answer. Exits 1 when a\n"
       "name is refused.",
       withCommon(plus({{"from", true, false, "address given when connecting"}}, kSmtpLoginOptions), false),
       cmdVerify},
      {"list", "qelmail list --user U --password P [options]",
       "Lists the messages of a POP3 mailbox: a count line, then one line per message:\n"
       "number, size in bytes and unique id, separated by tabs.",
       withCommon({}, true), cmdList},
      {"top", "qelmail top --message N [--lines K] --user U --password P [options]",
       "Prints the header and the first K lines of the text of a message.",
       withCommon({{"message", true, false, "message number, from 1"},
                   {"lines", true, false, "lines of the text after the header (default 0)"}},
                  true),
       cmdTop},
      {"fetch", "qelmail fetch --dir DIR --user U --password P [options]",
       "Downloads messages. Each is saved as DIR/ID.eml (ID: its unique id, or message-N),\n"
       "its text decoded, its attachments decoded into DIR/ID/. Prints one line per file:\n"
       "'message N PATH' or 'attachment N PATH', and 'deleted N' with --delete.",
       withCommon({{"dir", true, false, "directory for the messages (made when missing)"},
                   {"attach-dir", true, false, "one directory for every attachment instead of DIR/ID/"},
                   {"message", true, true, "message number (default: every message)"},
                   {"raw", false, false, "save each message exactly as the server holds it, undecoded"},
                   {"delete", false, false, "delete the messages from the server once all are saved"}},
                  true),
       cmdFetch},
      {"delete", "qelmail delete --message N --user U --password P [options]",
       "Deletes messages from a POP3 mailbox: all of them, or none when one is refused.",
       withCommon({{"message", true, true, "message number"}}, true), cmdDelete},
      {"raw", "qelmail raw [--pop3] [options] COMMAND",
       "Connects (and logs in), sends one command line of at most 32 characters and\n"
       "prints the server's reply line. SMTP unless --pop3 is given.",
       withCommon({{"pop3", false, false, "POP3 instead of SMTP"},
                   {"from", true, false, "SMTP: address given when connecting"}},
                  true),
       cmdRaw},
  };
}

void printMainHelp() {
  std::printf("usage: qelmail COMMAND [options]\n\ncommands:\n");
  for (const Command& command : commands()) {
    std::string about = command.about;
    std::printf("  %-8s %s\n", command.name, about.substr(0, about.find('\n')).c_str());
  }
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
    if (qelAttach(1, 0) != 1) return failPlain("cannot attach the library");
    int result = command.run(options);
    qelRelease();
    return result;
  }
  return usageError(std::string("unknown command '") + argv[1] + "'");
}
