#include "config.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "exit_status.h"
#include "session.h"
#include "system.h"

namespace qelmail {
namespace {

constexpr long kMaxPort = 65535;
constexpr long kMaxMilliseconds = 24L * 3600 * 1000;

enum class Kind { value, number, flag, tls, password };

struct Key {
  const char* name;
  Kind kind;
  const char* option;  // the command-line option it stands in for
};

// Every password source fills the one slot "password": the last one set
// counts, and any password option on the command line replaces them all.
constexpr Key kKeys[] = {
    {"server", Kind::value, "server"},          {"port", Kind::number, "port"},
    {"tls", Kind::tls, "tls"},                  {"ca-file", Kind::value, "ca-file"},
    {"insecure", Kind::flag, "insecure"},       {"user", Kind::value, "user"},
    {"password", Kind::password, "password"},   {"password-file", Kind::password, "password-file"},
    {"passwordeval", Kind::password, "password"}, {"token-file", Kind::password, "token-file"},
    {"from", Kind::value, "from"},              {"helo", Kind::value, "helo"},
    {"auth", Kind::value, "auth"},              {"apop", Kind::flag, "apop"},
    {"timeout", Kind::number, "timeout"},       {"connect-timeout", Kind::number, "connect-timeout"},
};
const char* const kPrefixes[] = {"smtp-", "pop3-"};
const char* const kTlsModes[][2] = {{"starttls", "starttls"}, {"implicit", "tls"}, {"off", "no-tls"}};

struct Setting {
  std::string key;  // as written, with its protocol prefix
  std::string value;
};

struct Account {
  std::string name;
  std::vector<Setting> settings;  // the defaults or base account's first, then its own
};

struct ConfigFile {
  std::vector<Account> accounts;
  bool holdsPassword = false;
};

const Key* findKey(const std::string& name) {
  for (const Key& key : kKeys) {
    if (name == key.name) return &key;
  }
  return nullptr;
}

// The key without its protocol prefix; `prefix` gets the prefix ("" for none).
std::string baseKey(const std::string& key, std::string* prefix) {
  for (const char* candidate : kPrefixes) {
    std::string text = candidate;
    if (key.compare(0, text.size(), text) == 0) {
      *prefix = text;
      return key.substr(text.size());
    }
  }
  prefix->clear();
  return key;
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Checks one setting's value; "" or the problem.
std::string checkSetting(const Key& key, const std::string& value) {
  long number = 0;
  if (key.kind == Kind::number) {
    long high = key.option == std::string("port") ? kMaxPort : kMaxMilliseconds;
    if (!parseNumber(value, 1, high, &number)) return key.name + std::string(" needs a number from 1 to ") + std::to_string(high);
  }
  if (key.kind == Kind::flag && value != "on" && value != "off") return key.name + std::string(" is on or off");
  if (key.kind == Kind::tls) {
    for (const auto& mode : kTlsModes) {
      if (value == mode[0]) return "";
    }
    return "tls is starttls, implicit or off";
  }
  return "";
}

// Parses the file; "" or "LINE: problem".
std::string parseConfig(const std::string& text, ConfigFile* file) {
  std::istringstream lines(text);
  std::string line;
  std::vector<Setting> defaults;
  std::vector<Setting>* section = nullptr;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::string where = std::to_string(number) + ": ";
    line = trimmed(line);
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find_first_of(" \t");
    std::string word = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : trimmed(line.substr(space));
    if (word == "defaults") {
      if (!rest.empty()) return where + "defaults takes no value";
      section = &defaults;
    } else if (word == "account") {
      std::string name = trimmed(rest.substr(0, rest.find(':')));
      std::string base = rest.find(':') == std::string::npos ? "" : trimmed(rest.substr(rest.find(':') + 1));
      if (name.empty() || name.find_first_of(" \t") != std::string::npos) return where + "account needs one name";
      Account account{name, defaults};
      bool found = base.empty();
      for (const Account& other : file->accounts) {
        if (other.name == name) return where + "account " + name + " is defined twice";
        if (other.name == base) {
          account.settings = other.settings;
          found = true;
        }
      }
      if (!found) return where + "no account " + base + " above this line";
      file->accounts.push_back(account);
      section = &file->accounts.back().settings;
    } else {
      std::string prefix;
      const Key* key = findKey(baseKey(word, &prefix));
      if (key == nullptr) return where + "unknown key '" + word + "'";
      if (section == nullptr) return where + word + " before any 'account' or 'defaults' line";
      if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
      if (rest.empty()) return where + word + " needs a value";
      std::string problem = checkSetting(*key, rest);
      if (!problem.empty()) return where + problem;
      if (std::string(key->name) == "password") file->holdsPassword = true;
      section->push_back({word, rest});
    }
  }
  return "";
}

std::string configPath(const Options& options) {
  if (options.has("config")) return options.get("config");
  const char* base = std::getenv("XDG_CONFIG_HOME");
  if (base != nullptr && base[0] != '\0') return std::string(base) + "/qelmail/config";
  for (const char* variable : {"HOME", "USERPROFILE"}) {
    const char* home = std::getenv(variable);
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/qelmail/config";
  }
  return "";
}

int configError(const std::string& message) {
  std::fprintf(stderr, "qelmail: %s\n", message.c_str());
  return kExitConfig;
}

bool specHas(const std::vector<OptionSpec>& specs, const std::string& name) {
  for (const OptionSpec& option : specs) {
    if (name == option.name) return true;
  }
  return false;
}

}  // namespace

const std::vector<OptionSpec>& accountOptions() {
  static const std::vector<OptionSpec> options = {
      {"account", true, false, "Takes the settings not given here from this account of the configuration file."},
      {"config", true, false,
       "The configuration file (default $XDG_CONFIG_HOME/qelmail/config, or ~/.config/qelmail/config)."},
  };
  return options;
}

int applyAccount(Options& options, const std::vector<OptionSpec>& specs, bool pop3) {
  std::string path = configPath(options);
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    if (options.has("config")) return configError("cannot read the configuration file " + path);
    if (options.has("account")) return configError("no configuration file " + path + " for --account");
    return kExitOk;
  }
  std::ostringstream text;
  text << stream.rdbuf();
  ConfigFile file;
  std::string problem = parseConfig(text.str(), &file);
  if (!problem.empty()) return configError(path + ":" + problem);
  if (file.holdsPassword && othersMayRead(path)) {
    return configError(path + " holds a password and others may read it: make it yours alone (chmod 600 " + path +
                       ") or use passwordeval");
  }
  std::string name = options.get("account", "default");
  const Account* account = nullptr;
  for (const Account& candidate : file.accounts) {
    if (candidate.name == name) account = &candidate;
  }
  if (account == nullptr) {
    if (options.has("account")) return configError("no account " + name + " in " + path);
    return kExitOk;
  }
  // Keys of the protocol at hand win over plain ones; later lines win over
  // earlier ones.
  std::map<std::string, Setting> chosen;  // by option slot
  for (int pass = 0; pass < 2; ++pass) {
    for (const Setting& setting : account->settings) {
      std::string prefix;
      const Key* key = findKey(baseKey(setting.key, &prefix));
      if (pass == 0 ? !prefix.empty() : prefix != (pop3 ? "pop3-" : "smtp-")) continue;
      chosen[key->kind == Kind::password ? "password" : key->option] = {key->name, setting.value};
    }
  }
  Options fromFile;
  for (const auto& entry : chosen) {
    const Key& key = *findKey(entry.second.key);
    const std::string& value = entry.second.value;
    if (key.kind == Kind::tls) {
      if (options.has("tls") || options.has("starttls") || options.has("no-tls")) continue;
      for (const auto& mode : kTlsModes) {
        if (value == mode[0]) fromFile.set(mode[1], "");
      }
    } else if (key.kind == Kind::password) {
      bool given = false;
      for (const char* option : {"password", "password-file", "token", "token-file"}) given = given || options.has(option);
      if (given || !specHas(specs, key.option)) continue;
      if (std::string(key.name) != "passwordeval") {
        fromFile.set(key.option, value);
        continue;
      }
      std::string password;
      int status = 0;
      if (!commandFirstLine(value, &password, &status)) {
        return configError("passwordeval of account " + name + " failed" +
                           (status > 0 ? " (exit " + std::to_string(status) + ")" : ""));
      }
      fromFile.set("password", password);
    } else if (!options.has(key.option) && specHas(specs, key.option)) {
      if (key.kind == Kind::flag) {
        if (value == "on") fromFile.set(key.option, "");
      } else {
        fromFile.set(key.option, value);
      }
    }
  }
  // The account's server may name its port; the command line's port still wins.
  if (!splitServerPort(fromFile)) return configError("account " + name + ": " + fromFile.error());
  for (const char* option : {"server", "port", "tls", "starttls", "no-tls", "ca-file", "insecure", "user", "password",
                             "password-file", "token-file", "from", "helo", "auth", "apop", "timeout",
                             "connect-timeout"}) {
    if (fromFile.has(option) && !options.has(option)) options.set(option, fromFile.get(option));
  }
  return kExitOk;
}

}  // namespace qelmail
