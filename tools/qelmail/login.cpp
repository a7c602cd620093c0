// The negotiated login of every qelmail command that logs in: on by
// default, --auth to force one mechanism, --token/--token-file for
// OAUTHBEARER or XOAUTH2.
// The user name and password go through the long login settings, so that
// they may have up to 255 characters.
#include "login.h"

#include <fstream>
#include <string>

#include "qel32.h"
#include "session.h"

namespace qelmail {
namespace {

constexpr size_t kTokenCap = 4096;

struct MechanismName {
  const char* name;
  int32_t bit;
};
constexpr MechanismName kMechanisms[] = {
    {"SCRAM-SHA-256", QEL_AUTH_SCRAM_SHA_256}, {"CRAM-MD5", QEL_AUTH_CRAM_MD5}, {"PLAIN", QEL_AUTH_PLAIN},
    {"LOGIN", QEL_AUTH_LOGIN},                 {"XOAUTH2", QEL_AUTH_XOAUTH2},
    {"OAUTHBEARER", QEL_AUTH_OAUTHBEARER},
};

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The first line of a file, without its line end; false when unreadable.
bool firstLine(const std::string& path, std::string* line) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::getline(file, *line);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

}  // namespace

const std::vector<OptionSpec>& negotiationOptions() {
  static const std::vector<OptionSpec> options = {
    {"auth", true, false,
     "Logs in only with this mechanism: SCRAM-SHA-256, CRAM-MD5, PLAIN, LOGIN, OAUTHBEARER or XOAUTH2 (default: "
     "the strongest "
     "that both sides have)."},
    {"token", true, false, "An OAuth 2 bearer token: logs in with OAUTHBEARER or XOAUTH2 (see also --token-file)."},
    {"token-file", true, false, "Reads the bearer token from the first line of this file."},
  };
  return options;
}

bool wantsToken(const Options& options) { return options.has("token") || options.has("token-file"); }

int applyNegotiation(Options& options, bool pop3) {
  if (options.has("token") && options.has("token-file")) return usageError("give --token or --token-file, not both");
  std::string token = options.get("token");
  if (options.has("token-file") && !firstLine(options.get("token-file"), &token)) {
    return usageError("cannot read the token file " + options.get("token-file"));
  }
  if (token.size() > kTokenCap) {
    return usageError("the token holds more than " + std::to_string(kTokenCap) + " characters");
  }
  if (!token.empty() && !options.has("user")) return usageError("a token goes with --user");
  int32_t mask = 0;
  if (options.has("auth")) {
    std::string wanted = upper(options.get("auth"));
    for (const auto& entry : kMechanisms) {
      if (wanted == entry.name) mask = entry.bit;
    }
    if (mask == 0) return usageError("unknown --auth mechanism " + options.get("auth"));
    if (pop3 && options.has("apop")) return usageError("--auth and --apop exclude each other");
  }
  // APOP is asked for by name: the login is then the one the library always
  // made.
  if (pop3 && options.has("apop")) return kExitOk;
  qelIntegerParam(kChannel, QEL_PARAM_NEGOTIATE_LOGIN, 1);
  qelIntegerParam(kChannel, QEL_PARAM_AUTH_MECHANISMS, mask);
  // A channel in clear was chosen so (--no-tls, or a server on this
  // machine): passwords may then go as they always went.
  qelIntegerParam(kChannel, QEL_PARAM_LOGIN_CLEAR_TEXT, tlsMode(options) == QEL_TLS_OFF ? 1 : 0);
  qelStringParam(kChannel, QEL_STRING_LOGIN_USER, options.get("user").c_str());
  qelStringParam(kChannel, QEL_STRING_LOGIN_PASSWORD, options.get("password").c_str());
  qelStringParam(kChannel, QEL_STRING_BEARER_TOKEN, token.c_str());
  return kExitOk;
}

}  // namespace qelmail
