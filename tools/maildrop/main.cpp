// qel-maildrop: a loopback mail drop for demos and tests. SMTP stores
// messages into a Maildir per user, POP3 serves them back.
#include <cstdio>

#include "options.h"
#include "server.h"

int main(int argc, char** argv) {
  maildrop::Options options;
  std::string error;
  switch (maildrop::parseOptions(argc, argv, options, error)) {
    case maildrop::ParseResult::Help:
      std::fputs(maildrop::usageText().c_str(), stdout);
      return 0;
    case maildrop::ParseResult::Error:
      std::fprintf(stderr, "qel-maildrop: %s\n", error.c_str());
      return 2;
    case maildrop::ParseResult::Run:
      break;
  }
  return maildrop::runServer(options);
}
