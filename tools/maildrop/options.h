// The command line of qel-maildrop and the users file it may name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace maildrop {

constexpr uint64_t kDefaultMaxMessageBytes = 64ull * 1024 * 1024;
constexpr int kDefaultIdleSeconds = 120;
constexpr size_t kMaxUserNameChars = 64;
constexpr size_t kMaxPasswordChars = 256;
constexpr size_t kMaxHostNameChars = 64;

struct Options {
  std::string root;        // the Maildir root: one Maildir per user below it
  int smtpPort = 0;        // 0: an ephemeral port
  int pop3Port = 0;
  std::string portsFile;   // written once both ports listen, removed at the end
  std::map<std::string, std::string> users;  // name -> password
  std::vector<std::string> mechanisms = {"CRAM-MD5", "LOGIN", "PLAIN"};  // in the order offered
  bool requireAuth = false;
  bool acceptAll = false;
  bool quiet = false;
  uint64_t maxMessageBytes = kDefaultMaxMessageBytes;
  int idleSeconds = kDefaultIdleSeconds;
  std::string hostName = "localhost";
  bool ipv6 = false;       // --listen ::1 instead of 127.0.0.1
};

enum class ParseResult { Run, Help, Error };

// Fills options from the arguments; on Error, error says why.
ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error);

// The usage text for --help.
std::string usageText();

// A user name is also a directory name under the root: 1 to 64 characters
// from A-Z a-z 0-9 . _ -, not starting with a dot (so never "." or "..").
bool isValidUserName(const std::string& name);

// Reads "name:password" lines (blank lines and lines starting with "#"
// skipped; the password is everything after the first colon).
bool loadUsersFile(const std::string& path, Options& options, std::string& error);

}  // namespace maildrop
