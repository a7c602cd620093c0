// One POP3 conversation (RFC 1939, with CAPA and response codes from RFC
// 2449): greeting with an APOP timestamp, USER/PASS or APOP, then STAT,
// LIST, UIDL, TOP, RETR, DELE, RSET, NOOP and QUIT. Deletions happen only
// at QUIT; nothing else in the Maildir is touched (no moves to cur/).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connection.h"
#include "context.h"

namespace maildrop {

class Pop3Session {
 public:
  Pop3Session(Connection& connection, ServerContext& context, std::string peer);
  ~Pop3Session();
  Pop3Session(const Pop3Session&) = delete;
  Pop3Session& operator=(const Pop3Session&) = delete;
  void run();

 private:
  struct Message {
    std::string path;
    std::string uniqueId;
    uint64_t size;  // octets as served: CR LF line ends, before dot stuffing
    bool deleted;
  };
  enum class Phase { Authorization, Transaction };
  using Handler = bool (Pop3Session::*)(const std::string& argument);
  struct Command {
    const char* verb;
    Handler handler;
    bool inAuthorization;
    bool inTransaction;
  };
  static const Command kCommands[];

  bool reply(const std::string& line) { return connection_.write(line + "\r\n"); }
  bool replyError(const std::string& line);
  void sayGoodbye(IoStatus status);

  bool onUser(const std::string& argument);
  bool onPass(const std::string& argument);
  bool onApop(const std::string& argument);
  bool onCapa(const std::string& argument);
  bool onQuit(const std::string& argument);
  bool onStat(const std::string& argument);
  bool onList(const std::string& argument);
  bool onUidl(const std::string& argument);
  bool onTop(const std::string& argument);
  bool onRetr(const std::string& argument);
  bool onDele(const std::string& argument);
  bool onRset(const std::string& argument);
  bool onNoop(const std::string& argument);

  bool finishLogin(const std::string& user, bool verified, const char* how);
  void loadMessages();
  // The message a number names, or null with the -ERR line in error.
  Message* messageNamed(const std::string& number, std::string& error);
  bool sendMessage(const Message& message, int64_t bodyLines);

  Connection& connection_;
  ServerContext& context_;
  std::string peer_;
  std::string timestamp_;
  Phase phase_ = Phase::Authorization;
  std::string pendingUser_;  // from USER, waiting for PASS
  std::string user_;         // holds the mailbox lock once set
  std::vector<Message> messages_;
  int errors_ = 0;
  int loginFailures_ = 0;
};

void runPop3Session(int socketFd, int stopFd, ServerContext& context, const std::string& peer);

}  // namespace maildrop
