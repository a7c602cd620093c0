#include "options.h"

#include <cstdlib>
#include <fstream>

namespace maildrop {
namespace {

constexpr int kMaxPort = 65535;
constexpr uint64_t kMinMessageBytes = 1024;
constexpr int kMaxIdleSeconds = 24 * 3600;
const char* const kKnownMechanisms[] = {"CRAM-MD5", "LOGIN", "PLAIN"};

bool parseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

bool addUser(const std::string& entry, Options& options, std::string& error) {
  size_t colon = entry.find(':');
  std::string name = entry.substr(0, colon);
  if (colon == std::string::npos || !isValidUserName(name)) {
    error = "bad user entry \"" + entry + "\": want name:password, the name made of A-Z a-z 0-9 . _ -";
    return false;
  }
  std::string password = entry.substr(colon + 1);
  if (password.size() > kMaxPasswordChars) {
    error = "the password of " + name + " is too long";
    return false;
  }
  options.users[name] = password;
  return true;
}

bool parseMechanisms(const std::string& text, Options& options, std::string& error) {
  options.mechanisms.clear();
  std::string word;
  for (size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : ' ';
    if (c != ' ' && c != ',') {
      word += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
      continue;
    }
    if (word.empty()) continue;
    bool known = false;
    for (const char* mechanism : kKnownMechanisms) known = known || word == mechanism;
    if (!known) {
      error = "unknown mechanism " + word + " (CRAM-MD5, LOGIN and PLAIN are known)";
      return false;
    }
    options.mechanisms.push_back(word);
    word.clear();
  }
  return true;
}

bool isValidHostName(const std::string& name) {
  if (name.empty() || name.size() > kMaxHostNameChars) return false;
  for (char c : name) {
    bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && c != '.' && c != '-') return false;
  }
  return true;
}

}  // namespace

bool isValidUserName(const std::string& name) {
  if (name.empty() || name.size() > kMaxUserNameChars || name[0] == '.') return false;
  for (char c : name) {
    bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

bool loadUsersFile(const std::string& path, Options& options, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the users file " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (!addUser(line, options, error)) {
      error = path + ":" + std::to_string(number) + ": " + error;
      return false;
    }
  }
  return true;
}

std::string usageText() {
  return "usage: qel-maildrop --root DIR [options]\n"
         "\n"
         "A loopback mail drop for demos and tests: SMTP stores messages into\n"
         "DIR/<user>/new/ (Maildir), POP3 serves them. Listens on the loopback\n"
         "address only (127.0.0.1, or ::1) and runs in the foreground until\n"
         "SIGTERM or SIGINT.\n"
         "\n"
         "  --root DIR            Maildir root, created when missing (required)\n"
         "  --smtp-port N         SMTP port, 0 for an ephemeral one (default 0)\n"
         "  --pop3-port N         POP3 port, 0 for an ephemeral one (default 0)\n"
         "  --ports-file FILE     write SMTP_PORT=, POP3_PORT= and PID= lines there once\n"
         "                        listening (a shell can source it); removed again when\n"
         "                        the mail drop stops\n"
         "  --user NAME:PASSWORD  a mailbox and its login (repeatable)\n"
         "  --users-file FILE     NAME:PASSWORD lines\n"
         "  --require-auth        refuse MAIL, RCPT and VRFY before AUTH\n"
         "  --accept-all          take mail for any valid local part, creating its Maildir\n"
         "  --auth MECHANISMS     offered AUTH mechanisms in order (default\n"
         "                        \"CRAM-MD5 LOGIN PLAIN\"; \"\" offers none)\n"
         "  --max-size BYTES      largest message accepted (default 67108864)\n"
         "  --timeout SECONDS     idle time-out per connection (default 120)\n"
         "  --hostname NAME       name in greetings and challenges (default localhost)\n"
         "  --listen ADDRESS      127.0.0.1 (default) or ::1\n"
         "  --quiet, -q           print nothing but the errors that stop the mail drop\n"
         "  --help                this text\n"
         "\n"
         "From a script:\n"
         "  rm -f ports; qel-maildrop --root mail --user demo:secret --ports-file ports &\n"
         "  while [ ! -s ports ]; do sleep 0.1; done; . ./ports   # SMTP_PORT, POP3_PORT, PID\n"
         "  ...; kill $PID; wait $PID\n";
}

ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      hasValue = true;
    }
    auto needValue = [&]() {
      if (hasValue) return true;
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
      hasValue = true;
      return true;
    };
    uint64_t number = 0;
    if (arg == "--help" || arg == "-h") return ParseResult::Help;
    if (arg == "-q") arg = "--quiet";
    if (arg == "--require-auth" || arg == "--accept-all" || arg == "--quiet") {
      if (hasValue) {
        error = arg + " takes no value";
        return ParseResult::Error;
      }
      if (arg == "--require-auth") options.requireAuth = true;
      if (arg == "--accept-all") options.acceptAll = true;
      if (arg == "--quiet") options.quiet = true;
      continue;
    }
    if (!needValue()) return ParseResult::Error;
    if (arg == "--root") {
      options.root = value;
    } else if (arg == "--smtp-port" || arg == "--pop3-port") {
      if (!parseNumber(value, 0, kMaxPort, number)) {
        error = arg + " wants a port from 0 to 65535";
        return ParseResult::Error;
      }
      (arg == "--smtp-port" ? options.smtpPort : options.pop3Port) = static_cast<int>(number);
    } else if (arg == "--ports-file") {
      options.portsFile = value;
    } else if (arg == "--user") {
      if (!addUser(value, options, error)) return ParseResult::Error;
    } else if (arg == "--users-file") {
      if (!loadUsersFile(value, options, error)) return ParseResult::Error;
    } else if (arg == "--auth") {
      if (!parseMechanisms(value, options, error)) return ParseResult::Error;
    } else if (arg == "--max-size") {
      if (!parseNumber(value, kMinMessageBytes, UINT64_MAX / 2, number)) {
        error = "--max-size wants a number of bytes, at least 1024";
        return ParseResult::Error;
      }
      options.maxMessageBytes = number;
    } else if (arg == "--timeout") {
      if (!parseNumber(value, 1, kMaxIdleSeconds, number)) {
        error = "--timeout wants seconds from 1 to 86400";
        return ParseResult::Error;
      }
      options.idleSeconds = static_cast<int>(number);
    } else if (arg == "--listen") {
      // Loopback only, on either family.
      if (value != "127.0.0.1" && value != "::1" && value != "[::1]") {
        error = "--listen wants 127.0.0.1 or ::1";
        return ParseResult::Error;
      }
      options.ipv6 = value != "127.0.0.1";
    } else if (arg == "--hostname") {
      if (!isValidHostName(value)) {
        error = "--hostname wants up to 64 letters, digits, dots and hyphens";
        return ParseResult::Error;
      }
      options.hostName = value;
    } else {
      error = "unknown option " + arg + " (see --help)";
      return ParseResult::Error;
    }
  }
  if (options.root.empty()) {
    error = "--root DIR is required (see --help)";
    return ParseResult::Error;
  }
  if (options.requireAuth && (options.users.empty() || options.mechanisms.empty())) {
    error = "--require-auth needs at least one --user and one AUTH mechanism";
    return ParseResult::Error;
  }
  return ParseResult::Run;
}

}  // namespace maildrop
