// Access to the real mail servers of the end-to-end tests.
//
// CTest starts three pairs of servers (Postfix for SMTP, Dovecot for POP3
// and for Postfix's SASL) before the end-to-end programs run, each pair with
// its own ports; tests/e2e/servers.sh says how. They differ only in the order
// of the AUTH mechanisms Postfix offers after EHLO, and in APOP:
//
//   kDefaultServers  "AUTH PLAIN LOGIN CRAM-MD5", no APOP timestamp
//   kCramServers     "AUTH CRAM-MD5 LOGIN PLAIN", APOP on, and TLS: SUBMISSION_PORT
//                    (STARTTLS required), SMTPS_PORT, POP3S_PORT, TLS_CA_FILE, and
//                    SMTPS_OTHER_NAME_PORT / SMTPS_EXPIRED_PORT (certificates that fail)
//   kLoginServers    "AUTH LOGIN CRAM-MD5 PLAIN", no APOP timestamp
//
// A test asks for one of them:
//
//   TEST(SmtpEndToEnd, SendsWithCramMd5) {
//     qel::e2e::Servers servers;
//     QEL_E2E_REQUIRE(qel::e2e::kCramServers, servers);
//     uint16_t port = servers.port("SMTP_PORT");
//     std::string password = servers.get("ALICE_PASSWORD");
//     ...
//   }
//
// The keys are those of the env file that servers.sh writes (SMTP_HOST,
// SMTP_PORT, SMTP_HOSTNAME, POP3_PORT, ALICE_USER, ALICE_PASSWORD,
// ALICE_ADDRESS, ALICE_MAILDIR, ...). The servers run for the whole CTest
// run and tests run in parallel against them: a test finds its own message in
// a shared Maildir by a marker of its own (waitForMessage), and a POP3 test
// that counts or deletes messages uses a private mailbox (makeBox).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qel::e2e {

// Names of the server configurations, and the environment variable that
// CTest sets to the directory holding one subdirectory (with its env file)
// per configuration.
inline constexpr const char* kDefaultServers = "default";
inline constexpr const char* kCramServers = "cram";
inline constexpr const char* kLoginServers = "login";
inline constexpr const char* kServersVariable = "QEL_E2E_SERVERS";

// The contents of one env file.
class Servers {
 public:
  // Reads `path`; false with `error` set when the file cannot be read or a
  // line is not KEY=VALUE.
  bool load(const std::string& path, std::string& error);

  bool available() const { return get("QEL_E2E_AVAILABLE") == "1"; }
  bool has(const std::string& key) const { return values_.count(key) != 0; }
  // The value, or an empty text when the key is absent.
  std::string get(const std::string& key) const;
  // A port number (1..65535), or 0 when the value is absent or not one.
  uint16_t port(const std::string& key) const;

 private:
  std::map<std::string, std::string> values_;
};

// True when the environment variable CI says "true" (or "1", "yes"): a
// server that cannot be started is then a failure, never a skip.
bool underCi();

// Where the env file of `config` is, from QEL_E2E_SERVERS; empty when the
// variable is not set (the program was not started by CTest).
std::string envFilePath(const char* config);

// Loads the servers of `config`. True when they run; otherwise false with
// `why` telling the reason.
bool findServers(const char* config, Servers& servers, std::string& why);

// What a test does about servers that are not there.
enum class Missing { kSkip, kFail };
Missing missingServers();

// findServers for a test: when the servers are not there, skips the current
// test with the reason, or records a failure under CI, and returns false.
bool requireServers(const char* config, Servers& servers);

#define QEL_E2E_REQUIRE(config, servers)                 \
  do {                                                   \
    if (!::qel::e2e::requireServers((config), (servers))) \
      return;                                            \
  } while (0)

// --- Maildirs ----------------------------------------------------------

// Paths of the messages in a Maildir (new/ and cur/), sorted.
std::vector<std::string> maildirMessages(const std::string& maildir);

// Waits up to `timeoutMs` for a message in `maildir` that contains `marker`
// (Postfix delivers a moment after it has accepted the message). Returns its
// path, or an empty text when none came.
std::string waitForMessage(const std::string& maildir, const std::string& marker, int timeoutMs);

// The login name of a private mailbox for a test: `prefix` and the test's
// name in lower case, other characters as "-"; a name longer than 64
// characters is cut and gets a digest of the whole.
std::string boxName(const std::string& prefix, const std::string& testName);

// A private, empty POP3 mailbox for the current test: the login name
// boxName("box-", "<suite>-<test>"); its password is the env file's
// BOX_PASSWORD. Creates (or empties) MAILBOX_ROOT/<login> owned by the mail
// user. Returns the login name, or an empty text on failure.
std::string makeBox(const Servers& servers, std::string* maildir = nullptr);

// Stores `bytes` as a new message in `maildir` (through tmp/, owned by the
// mail user). Messages stored one after the other get POP3 numbers in that
// order. Returns the path in new/, or an empty text on failure.
std::string putMessage(const Servers& servers, const std::string& maildir, const std::string& bytes);

}  // namespace qel::e2e
