// One SMTP conversation (RFC 5321, with AUTH from RFC 4954): greeting,
// HELO/EHLO, AUTH PLAIN/LOGIN/CRAM-MD5, the envelope, DATA into the
// recipients' Maildirs, RSET, NOOP, VRFY, QUIT.
//
// The handlers live in three files: smtp_session.cpp (the command loop and
// the envelope), smtp_auth.cpp (AUTH) and smtp_data.cpp (DATA and delivery).
#pragma once

#include <string>
#include <vector>

#include "connection.h"
#include "context.h"

namespace maildrop {

class SmtpSession {
 public:
  SmtpSession(Connection& connection, ServerContext& context, std::string peer);
  void run();

 private:
  // A handler answers one command; false ends the session (QUIT, a client
  // that went away, too many errors).
  using Handler = bool (SmtpSession::*)(const std::string& argument);
  struct Command {
    const char* verb;
    Handler handler;
  };
  static const Command kCommands[];

  bool reply(const std::string& line);
  bool replyError(const std::string& line);
  bool endOnStatus(IoStatus status);

  bool onHelo(const std::string& argument);
  bool onEhlo(const std::string& argument);
  bool onMail(const std::string& argument);
  bool onRcpt(const std::string& argument);
  bool onData(const std::string& argument);
  bool onRset(const std::string& argument);
  bool onNoop(const std::string& argument);
  bool onVrfy(const std::string& argument);
  bool onHelp(const std::string& argument);
  bool onQuit(const std::string& argument);
  bool onAuth(const std::string& argument);
  bool onNotImplemented(const std::string& argument);

  // smtp_auth.cpp
  enum class SaslStep { Ok, Refused, Ended };
  SaslStep readSaslResponse(const std::string& challenge, std::string& decoded);
  SaslStep authPlain(const std::string& initial, std::string& user, std::string& password);
  SaslStep authLogin(const std::string& initial, std::string& user, std::string& password);
  SaslStep authCramMd5(std::string& user, bool& verified);
  bool finishAuth(const std::string& mechanism, const std::string& user, bool verified);

  // smtp_data.cpp
  std::string traceHeaders() const;
  bool receiveData(class Delivery& delivery, bool& tooBig, bool& writeFailed, uint64_t& size);

  bool mayUseMailCommands();
  // The mailbox a recipient address goes to; false with the reply to send.
  bool recipientUser(const std::string& address, std::string& user, std::string& failure);
  void resetTransaction();

  Connection& connection_;
  ServerContext& context_;
  std::string peer_;
  std::string heloName_;
  bool greeted_ = false;
  bool esmtp_ = false;
  std::string authUser_;  // empty until AUTH succeeds
  bool inTransaction_ = false;
  std::string sender_;
  std::vector<std::string> recipients_;  // mailbox names, each once
  std::string firstRecipient_;
  int errors_ = 0;
  int authFailures_ = 0;
};

// Runs one session on an accepted socket and closes it.
void runSmtpSession(int socketFd, int stopFd, ServerContext& context, const std::string& peer);

}  // namespace maildrop
