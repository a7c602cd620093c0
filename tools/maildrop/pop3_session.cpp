#include "pop3_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "sasl.h"
#include "smtp_address.h"
#include "transparency.h"

namespace maildrop {
namespace {

constexpr size_t kMaxCommandChars = 1024;
constexpr int kMaxErrors = 20;
constexpr int kMaxLoginFailures = 3;
constexpr size_t kMaxNumberDigits = 9;
constexpr size_t kChunkBytes = 64 * 1024;

// A message number or line count: decimal digits only, nothing around them.
bool parseCount(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > kMaxNumberDigits || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stoull(text);
  return true;
}

// The size of a stored message as it is served.
bool servedSize(const std::string& path, uint64_t& size) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  WireEncoder encoder(false, WireEncoder::kWholeMessage);
  std::vector<char> chunk(kChunkBytes);
  std::string out;
  size = 0;
  ssize_t got;
  while ((got = read(fd, chunk.data(), chunk.size())) > 0) {
    encoder.feed(chunk.data(), static_cast<size_t>(got), out);
    size += out.size();
    out.clear();
  }
  encoder.finish(out);
  size += out.size();
  close(fd);
  return got == 0;
}

}  // namespace

const Pop3Session::Command Pop3Session::kCommands[] = {
    {"USER", &Pop3Session::onUser, true, false}, {"PASS", &Pop3Session::onPass, true, false},
    {"APOP", &Pop3Session::onApop, true, false}, {"CAPA", &Pop3Session::onCapa, true, true},
    {"QUIT", &Pop3Session::onQuit, true, true},  {"STAT", &Pop3Session::onStat, false, true},
    {"LIST", &Pop3Session::onList, false, true}, {"UIDL", &Pop3Session::onUidl, false, true},
    {"TOP", &Pop3Session::onTop, false, true},   {"RETR", &Pop3Session::onRetr, false, true},
    {"DELE", &Pop3Session::onDele, false, true}, {"RSET", &Pop3Session::onRset, false, true},
    {"NOOP", &Pop3Session::onNoop, false, true},
};

Pop3Session::Pop3Session(Connection& connection, ServerContext& context, std::string peer)
    : connection_(connection), context_(context), peer_(std::move(peer)) {}

Pop3Session::~Pop3Session() {
  if (!user_.empty()) context_.locks.unlock(user_);
}

bool Pop3Session::replyError(const std::string& line) {
  if (!reply(line)) return false;
  if (++errors_ < kMaxErrors) return true;
  reply("-ERR too many errors, closing connection");
  context_.log("pop3 " + peer_ + ": too many errors, disconnected");
  return false;
}

// A session that ends without QUIT deletes nothing (RFC 1939, section 6).
void Pop3Session::sayGoodbye(IoStatus status) {
  if (status == IoStatus::TimedOut) {
    connection_.writeBestEffort("-ERR idle time-out, closing connection\r\n");
    context_.log("pop3 " + peer_ + ": idle time-out");
  } else if (status == IoStatus::Stopped) {
    connection_.writeBestEffort("-ERR [SYS/TEMP] server shutting down\r\n");
  }
}

void Pop3Session::run() {
  timestamp_ = makeChallenge(context_.options.hostName);
  if (!reply("+OK qel-maildrop ready " + timestamp_)) return;
  for (;;) {
    std::string line;
    IoStatus status = connection_.readLine(line, kMaxCommandChars);
    if (status == IoStatus::TooLong) {
      if (!replyError("-ERR line too long")) return;
      continue;
    }
    if (status != IoStatus::Ok) {
      sayGoodbye(status);
      return;
    }
    std::string verb;
    std::string argument;
    splitCommand(line, verb, argument);
    const Command* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                          [&](const Command& c) { return verb == c.verb; });
    bool goOn;
    if (command == std::end(kCommands)) {
      goOn = replyError("-ERR unknown command");
    } else if (!(phase_ == Phase::Authorization ? command->inAuthorization : command->inTransaction)) {
      goOn = replyError("-ERR command not valid in this state");
    } else {
      goOn = (this->*(command->handler))(argument);
    }
    if (!goOn) return;
  }
}

bool Pop3Session::onUser(const std::string& argument) {
  if (argument.empty()) return replyError("-ERR USER needs a name");
  pendingUser_ = argument;
  // The same answer for every name, so USER doesn't tell which exist.
  return reply("+OK send PASS");
}

bool Pop3Session::onPass(const std::string& argument) {
  if (pendingUser_.empty()) return replyError("-ERR send USER first");
  std::string user = pendingUser_;
  pendingUser_.clear();
  auto entry = context_.options.users.find(user);
  return finishLogin(user, entry != context_.options.users.end() && entry->second == argument, "USER/PASS");
}

bool Pop3Session::onApop(const std::string& argument) {
  size_t space = argument.rfind(' ');
  if (space == std::string::npos) return replyError("-ERR APOP needs a name and a digest");
  std::string user = argument.substr(0, space);
  auto entry = context_.options.users.find(user);
  bool verified = entry != context_.options.users.end() &&
                  sameDigest(apopDigest(timestamp_, entry->second), argument.substr(space + 1));
  return finishLogin(user, verified, "APOP");
}

bool Pop3Session::finishLogin(const std::string& user, bool verified, const char* how) {
  if (!verified) {
    context_.log("pop3 " + peer_ + ": failed " + how + " login");
    if (++loginFailures_ >= kMaxLoginFailures) {
      reply("-ERR [AUTH] too many failed logins, closing connection");
      return false;
    }
    return replyError("-ERR [AUTH] invalid user name or password");
  }
  if (!context_.locks.tryLock(user)) return reply("-ERR [IN-USE] mailbox in use by another session");
  user_ = user;
  phase_ = Phase::Transaction;
  loadMessages();
  uint64_t total = 0;
  for (const Message& message : messages_) total += message.size;
  context_.log("pop3 " + peer_ + ": " + how + " login as " + user + ", " + std::to_string(messages_.size()) +
               " messages");
  return reply("+OK " + user + " has " + std::to_string(messages_.size()) + " messages (" + std::to_string(total) +
               " octets)");
}

// The snapshot the session works on: messages arriving later wait for the
// next session, so numbers never change under the client.
void Pop3Session::loadMessages() {
  messages_.clear();
  for (StoredMessage& stored : context_.store.listMessages(user_)) {
    uint64_t size = 0;
    // A file that vanished between the listing and here is not listed.
    if (servedSize(stored.path, size)) messages_.push_back({stored.path, stored.uniqueId, size, false});
  }
}

bool Pop3Session::onCapa(const std::string&) {
  return reply(
      "+OK capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nRESP-CODES\r\nPIPELINING\r\nEXPIRE NEVER\r\n"
      "IMPLEMENTATION qel-maildrop\r\n.");
}

bool Pop3Session::onQuit(const std::string&) {
  if (phase_ == Phase::Authorization) {
    reply("+OK qel-maildrop signing off");
    return false;
  }
  size_t removed = 0;
  size_t failed = 0;
  for (const Message& message : messages_) {
    if (!message.deleted) continue;
    if (unlink(message.path.c_str()) == 0) ++removed;
    else ++failed;
  }
  size_t left = messages_.size() - removed;
  if (removed + failed > 0)
    context_.log("pop3 " + peer_ + ": " + user_ + " removed " + std::to_string(removed) + " messages");
  // The mailbox is free before the answer goes out, so a client that
  // reconnects at once is not told it is in use.
  context_.locks.unlock(user_);
  user_.clear();
  if (failed > 0) reply("-ERR [SYS/PERM] " + std::to_string(failed) + " deleted messages not removed");
  else reply("+OK qel-maildrop signing off (" + std::to_string(left) + " messages left)");
  return false;
}

Pop3Session::Message* Pop3Session::messageNamed(const std::string& number, std::string& error) {
  uint64_t index = 0;
  if (!parseCount(number, index) || index == 0 || index > messages_.size()) {
    error = "-ERR no such message";
    return nullptr;
  }
  Message* message = &messages_[index - 1];
  if (message->deleted) {
    error = "-ERR message " + number + " already deleted";
    return nullptr;
  }
  return message;
}

bool Pop3Session::onStat(const std::string&) {
  uint64_t count = 0;
  uint64_t total = 0;
  for (const Message& message : messages_) {
    if (message.deleted) continue;
    ++count;
    total += message.size;
  }
  return reply("+OK " + std::to_string(count) + " " + std::to_string(total));
}

bool Pop3Session::onList(const std::string& argument) {
  std::string error;
  if (!argument.empty()) {
    Message* message = messageNamed(argument, error);
    if (message == nullptr) return replyError(error);
    return reply("+OK " + argument + " " + std::to_string(message->size));
  }
  std::string lines;
  uint64_t count = 0;
  uint64_t total = 0;
  for (size_t i = 0; i < messages_.size(); ++i) {
    if (messages_[i].deleted) continue;
    ++count;
    total += messages_[i].size;
    lines += std::to_string(i + 1) + " " + std::to_string(messages_[i].size) + "\r\n";
  }
  return reply("+OK " + std::to_string(count) + " messages (" + std::to_string(total) + " octets)\r\n" + lines + ".");
}

bool Pop3Session::onUidl(const std::string& argument) {
  std::string error;
  if (!argument.empty()) {
    Message* message = messageNamed(argument, error);
    if (message == nullptr) return replyError(error);
    return reply("+OK " + argument + " " + message->uniqueId);
  }
  std::string lines;
  for (size_t i = 0; i < messages_.size(); ++i)
    if (!messages_[i].deleted) lines += std::to_string(i + 1) + " " + messages_[i].uniqueId + "\r\n";
  return reply("+OK unique-id listing follows\r\n" + lines + ".");
}

// Streams a message in its served form, dot-stuffed, then the final dot.
bool Pop3Session::sendMessage(const Message& message, int64_t bodyLines) {
  int fd = open(message.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return replyError("-ERR [SYS/TEMP] message file is gone");
  bool ok = reply(bodyLines == WireEncoder::kWholeMessage ? "+OK " + std::to_string(message.size) + " octets"
                                                          : std::string("+OK top of message follows"));
  WireEncoder encoder(true, bodyLines);
  std::vector<char> chunk(kChunkBytes);
  std::string out;
  while (ok && !encoder.done()) {
    ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got <= 0) break;
    encoder.feed(chunk.data(), static_cast<size_t>(got), out);
    ok = connection_.write(out);
    out.clear();
  }
  close(fd);
  encoder.finish(out);
  out += ".\r\n";
  return ok && connection_.write(out);
}

bool Pop3Session::onTop(const std::string& argument) {
  size_t space = argument.find(' ');
  uint64_t lines = 0;
  if (space == std::string::npos || !parseCount(argument.substr(space + 1), lines))
    return replyError("-ERR TOP needs a message number and a line count");
  std::string error;
  Message* message = messageNamed(argument.substr(0, space), error);
  if (message == nullptr) return replyError(error);
  return sendMessage(*message, static_cast<int64_t>(lines));
}

bool Pop3Session::onRetr(const std::string& argument) {
  std::string error;
  Message* message = messageNamed(argument, error);
  if (message == nullptr) return replyError(error);
  return sendMessage(*message, WireEncoder::kWholeMessage);
}

bool Pop3Session::onDele(const std::string& argument) {
  std::string error;
  Message* message = messageNamed(argument, error);
  if (message == nullptr) return replyError(error);
  message->deleted = true;
  return reply("+OK message " + argument + " deleted");
}

bool Pop3Session::onRset(const std::string&) {
  uint64_t total = 0;
  for (Message& message : messages_) {
    message.deleted = false;
    total += message.size;
  }
  return reply("+OK maildrop has " + std::to_string(messages_.size()) + " messages (" + std::to_string(total) +
               " octets)");
}

bool Pop3Session::onNoop(const std::string&) { return reply("+OK"); }

void runPop3Session(int socketFd, int stopFd, ServerContext& context, const std::string& peer) {
  Connection connection(socketFd, stopFd, context.options.idleSeconds * 1000);
  Pop3Session session(connection, context, peer);
  session.run();
}

}  // namespace maildrop
