#include "context.h"

#include <cstdio>

namespace maildrop {

bool MailboxLocks::tryLock(const std::string& user) {
  std::lock_guard<std::mutex> guard(mutex_);
  return held_.insert(user).second;
}

void MailboxLocks::unlock(const std::string& user) {
  std::lock_guard<std::mutex> guard(mutex_);
  held_.erase(user);
}

ServerContext::ServerContext(const Options& options)
    : options(options), store(options.root, options.hostName) {}

void ServerContext::log(const std::string& text) {
  if (options.quiet) return;
  std::lock_guard<std::mutex> guard(logMutex);
  std::fprintf(stderr, "qel-maildrop: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace maildrop
