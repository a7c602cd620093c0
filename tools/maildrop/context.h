// What the sessions share: the options, the Maildir store, the log and the
// POP3 mailbox locks.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "maildir.h"
#include "options.h"

namespace maildrop {

// Only one POP3 session at a time may hold a mailbox (RFC 1939, section 4),
// so a DELE of one session can't renumber the list of another.
class MailboxLocks {
 public:
  bool tryLock(const std::string& user);
  void unlock(const std::string& user);

 private:
  std::mutex mutex_;
  std::set<std::string> held_;
};

struct ServerContext {
  ServerContext(const Options& options);
  // One line on stderr, "qel-maildrop: " in front, unless --quiet.
  void log(const std::string& text);

  const Options& options;
  MaildirStore store;
  MailboxLocks locks;
  std::mutex logMutex;
};

}  // namespace maildrop
