#include "smtp_session.h"

#include <algorithm>
#include <cstdlib>

#include "smtp_address.h"

namespace maildrop {
namespace {

// AUTH lines may carry an initial response up to 12288 octets (RFC 4954).
constexpr size_t kMaxCommandChars = 12288;
// Errors a client may make before the server gives up on it.
constexpr int kMaxErrors = 20;
constexpr size_t kMaxRecipients = 100;
constexpr size_t kMaxHeloChars = 255;

// The client's name as it goes into the Received line: printable ASCII only,
// so nothing the client sends can start a header line of its own.
std::string printableHeloName(const std::string& argument) {
  std::string name = argument.substr(0, std::min(argument.find(' '), kMaxHeloChars));
  for (char& c : name)
    if (c < 0x21 || c > 0x7E) c = '?';
  return name;
}

}  // namespace

const SmtpSession::Command SmtpSession::kCommands[] = {
    {"HELO", &SmtpSession::onHelo},  {"EHLO", &SmtpSession::onEhlo},  {"MAIL", &SmtpSession::onMail},
    {"RCPT", &SmtpSession::onRcpt},  {"DATA", &SmtpSession::onData},  {"RSET", &SmtpSession::onRset},
    {"NOOP", &SmtpSession::onNoop},  {"VRFY", &SmtpSession::onVrfy},  {"HELP", &SmtpSession::onHelp},
    {"QUIT", &SmtpSession::onQuit},  {"AUTH", &SmtpSession::onAuth},  {"EXPN", &SmtpSession::onNotImplemented},
    {"TURN", &SmtpSession::onNotImplemented}, {"ETRN", &SmtpSession::onNotImplemented},
    {"BDAT", &SmtpSession::onNotImplemented}, {"STARTTLS", &SmtpSession::onNotImplemented},
};

SmtpSession::SmtpSession(Connection& connection, ServerContext& context, std::string peer)
    : connection_(connection), context_(context), peer_(std::move(peer)) {}

bool SmtpSession::reply(const std::string& line) { return connection_.write(line + "\r\n"); }

// A 5xx answer to a client mistake; a client that keeps making them is cut off.
bool SmtpSession::replyError(const std::string& line) {
  if (!reply(line)) return false;
  if (++errors_ < kMaxErrors) return true;
  reply("421 4.7.0 " + context_.options.hostName + " Error: too many errors");
  context_.log("smtp " + peer_ + ": too many errors, disconnected");
  return false;
}

// Says goodbye, when there is still someone to say it to, for a read that
// did not bring a line.
bool SmtpSession::endOnStatus(IoStatus status) {
  const std::string& host = context_.options.hostName;
  if (status == IoStatus::TimedOut) {
    connection_.writeBestEffort("421 4.4.2 " + host + " Error: timeout exceeded\r\n");
    context_.log("smtp " + peer_ + ": idle time-out");
  } else if (status == IoStatus::Stopped) {
    connection_.writeBestEffort("421 4.3.2 " + host + " Service shutting down\r\n");
  }
  return false;
}

void SmtpSession::run() {
  if (!reply("220 " + context_.options.hostName + " ESMTP qel-maildrop ready")) return;
  for (;;) {
    std::string line;
    IoStatus status = connection_.readLine(line, kMaxCommandChars);
    if (status == IoStatus::TooLong) {
      if (!replyError("500 5.5.2 Error: line too long")) return;
      continue;
    }
    if (status != IoStatus::Ok) {
      endOnStatus(status);
      return;
    }
    std::string verb;
    std::string argument;
    splitCommand(line, verb, argument);
    const Command* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                          [&](const Command& c) { return verb == c.verb; });
    bool goOn = command == std::end(kCommands) ? replyError("500 5.5.2 Error: command not recognized")
                                               : (this->*(command->handler))(argument);
    if (!goOn) return;
  }
}

void SmtpSession::resetTransaction() {
  inTransaction_ = false;
  sender_.clear();
  recipients_.clear();
  firstRecipient_.clear();
}

bool SmtpSession::onHelo(const std::string& argument) {
  if (argument.empty()) return replyError("501 5.5.4 Syntax: HELO hostname");
  resetTransaction();
  heloName_ = printableHeloName(argument);
  greeted_ = true;
  esmtp_ = false;
  return reply("250 " + context_.options.hostName);
}

bool SmtpSession::onEhlo(const std::string& argument) {
  if (argument.empty()) return replyError("501 5.5.4 Syntax: EHLO hostname");
  resetTransaction();
  heloName_ = printableHeloName(argument);
  greeted_ = true;
  esmtp_ = true;
  const Options& options = context_.options;
  std::string lines = "250-" + options.hostName + "\r\n";
  lines += "250-SIZE " + std::to_string(options.maxMessageBytes) + "\r\n";
  lines += "250-8BITMIME\r\n250-PIPELINING\r\n250-ENHANCEDSTATUSCODES\r\n";
  if (!options.users.empty() && !options.mechanisms.empty()) {
    lines += "250-AUTH";
    for (const std::string& mechanism : options.mechanisms) lines += " " + mechanism;
    lines += "\r\n";
  }
  lines += "250 HELP";
  return reply(lines);
}

// The checks MAIL, RCPT and VRFY share; false after the refusal was sent.
bool SmtpSession::mayUseMailCommands() {
  if (!greeted_) {
    replyError("503 5.5.1 Error: send HELO/EHLO first");
    return false;
  }
  if (context_.options.requireAuth && authUser_.empty()) {
    replyError("530 5.7.0 Authentication required");
    return false;
  }
  return true;
}

bool SmtpSession::onMail(const std::string& argument) {
  if (!mayUseMailCommands()) return errors_ < kMaxErrors;
  if (inTransaction_) return replyError("503 5.5.1 Error: nested MAIL command");
  std::string address;
  std::vector<std::string> parameters;
  if (!startsWithNoCase(argument, "FROM:") || !parsePath(argument.substr(5), address, parameters))
    return replyError("501 5.5.4 Syntax: MAIL FROM:<address>");
  for (const std::string& parameter : parameters) {
    std::string keyword = upperCase(parameter.substr(0, parameter.find('=')));
    std::string value = parameter.find('=') == std::string::npos ? "" : parameter.substr(parameter.find('=') + 1);
    bool known = esmtp_ && (keyword == "SIZE" || keyword == "BODY" || keyword == "AUTH");
    if (!known) return replyError("555 5.5.4 Unsupported option: " + parameter);
    if (keyword == "SIZE") {
      bool digits = !value.empty() && value.size() < 20 &&
                    value.find_first_not_of("0123456789") == std::string::npos;
      if (!digits) return replyError("501 5.5.4 Bad SIZE value");
      if (std::strtoull(value.c_str(), nullptr, 10) > context_.options.maxMessageBytes)
        return replyError("552 5.3.4 Message size exceeds fixed limit");
    }
  }
  inTransaction_ = true;
  sender_ = address;
  return reply("250 2.1.0 Ok");
}

bool SmtpSession::recipientUser(const std::string& address, std::string& user, std::string& failure) {
  std::string local = localPartOf(address);
  for (const auto& entry : context_.options.users) {
    if (upperCase(entry.first) == upperCase(local)) {
      user = entry.first;
      return true;
    }
  }
  if (context_.options.acceptAll && isValidUserName(local)) {
    std::string lowered = local;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    std::string error;
    if (context_.store.ensureMailbox(lowered, error)) {
      user = lowered;
      return true;
    }
    context_.log(error);
    failure = "451 4.3.0 <" + address + ">: Error: cannot create the mailbox";
    return false;
  }
  failure = "550 5.1.1 <" + address + ">: Recipient address rejected: User unknown";
  return false;
}

bool SmtpSession::onRcpt(const std::string& argument) {
  if (!mayUseMailCommands()) return errors_ < kMaxErrors;
  if (!inTransaction_) return replyError("503 5.5.1 Error: need MAIL command");
  std::string address;
  std::vector<std::string> parameters;
  if (!startsWithNoCase(argument, "TO:") || !parsePath(argument.substr(3), address, parameters) || address.empty())
    return replyError("501 5.5.4 Syntax: RCPT TO:<address>");
  if (!parameters.empty()) return replyError("555 5.5.4 Unsupported option: " + parameters[0]);
  std::string user;
  std::string failure;
  if (!recipientUser(address, user, failure))
    return failure[0] == '5' ? replyError(failure) : reply(failure);
  if (std::find(recipients_.begin(), recipients_.end(), user) == recipients_.end()) {
    if (recipients_.size() >= kMaxRecipients) return reply("452 4.5.3 Error: too many recipients");
    recipients_.push_back(user);
  }
  if (firstRecipient_.empty()) firstRecipient_ = address;
  return reply("250 2.1.5 Ok");
}

bool SmtpSession::onRset(const std::string& argument) {
  if (!argument.empty()) return replyError("501 5.5.4 Syntax: RSET");
  resetTransaction();
  return reply("250 2.0.0 Ok");
}

bool SmtpSession::onNoop(const std::string&) { return reply("250 2.0.0 Ok"); }

bool SmtpSession::onVrfy(const std::string& argument) {
  if (argument.empty()) return replyError("501 5.5.4 Syntax: VRFY address");
  if (context_.options.requireAuth && authUser_.empty()) return replyError("530 5.7.0 Authentication required");
  std::string address = argument;
  std::vector<std::string> ignored;
  if (argument.find('<') != std::string::npos && !parsePath(argument, address, ignored))
    return replyError("501 5.5.4 Syntax: VRFY address");
  std::string local = localPartOf(address);
  bool known = std::any_of(context_.options.users.begin(), context_.options.users.end(),
                           [&](const auto& entry) { return upperCase(entry.first) == upperCase(local); });
  if (known || (context_.options.acceptAll && isValidUserName(local))) return reply("252 2.0.0 " + address);
  return replyError("550 5.1.1 <" + address + ">: Recipient address rejected: User unknown");
}

bool SmtpSession::onHelp(const std::string&) {
  return reply("214 2.0.0 Commands: HELO EHLO AUTH MAIL RCPT DATA RSET NOOP VRFY HELP QUIT");
}

bool SmtpSession::onQuit(const std::string&) {
  reply("221 2.0.0 Bye");
  return false;
}

bool SmtpSession::onNotImplemented(const std::string&) {
  return replyError("502 5.5.1 Error: command not implemented");
}

void runSmtpSession(int socketFd, int stopFd, ServerContext& context, const std::string& peer) {
  Connection connection(socketFd, stopFd, context.options.idleSeconds * 1000);
  SmtpSession session(connection, context, peer);
  session.run();
}

}  // namespace maildrop
