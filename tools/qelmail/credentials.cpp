#include "credentials.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace qelmail {
namespace {

// The words of a .netrc: separated by white space; a word in double
// quotes may hold spaces, and a backslash takes the next character as it
// stands. A "macdef" runs to the next empty line and is skipped.
std::vector<std::string> netrcWords(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    std::string word;
    bool quoted = c == '"';
    if (quoted) ++i;
    while (i < text.size()) {
      c = text[i];
      if (quoted ? c == '"' : (c == ' ' || c == '\t' || c == '\r' || c == '\n')) break;
      if (c == '\\' && i + 1 < text.size()) c = text[++i];
      word += c;
      ++i;
    }
    if (quoted && i < text.size()) ++i;  // the closing quote
    if (word == "macdef") {
      size_t end = text.find("\n\n", i);
      i = end == std::string::npos ? text.size() : end + 2;
      continue;
    }
    words.push_back(word);
  }
  return words;
}

struct NetrcEntry {
  bool isDefault = false;
  std::string machine;
  std::string login;
  std::string password;
  bool hasPassword = false;
};

std::vector<NetrcEntry> netrcEntries(const std::string& text) {
  std::vector<NetrcEntry> entries;
  std::vector<std::string> words = netrcWords(text);
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "default") {
      entries.emplace_back();
      entries.back().isDefault = true;
      continue;
    }
    bool hasValue = i + 1 < words.size();
    if (word == "machine" && hasValue) {
      entries.emplace_back();
      entries.back().machine = words[++i];
    } else if (!entries.empty() && (word == "login" || word == "password" || word == "account") && hasValue) {
      const std::string& value = words[++i];
      if (word == "login") entries.back().login = value;
      if (word == "password") {
        entries.back().password = value;
        entries.back().hasPassword = true;
      }
    }
  }
  return entries;
}

bool readFile(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream all;
  all << file.rdbuf();
  *text = all.str();
  return true;
}

std::string homeNetrcPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') home = std::getenv("USERPROFILE");
  if (home == nullptr || home[0] == '\0') return "";
  return std::string(home) + "/.netrc";
}

}  // namespace

bool netrcPassword(const std::string& text, const std::string& machine, const std::string& user,
                   std::string* password) {
  std::vector<NetrcEntry> entries = netrcEntries(text);
  // The machine's own entry first, wherever the default stands.
  for (int pass = 0; pass < 2; ++pass) {
    for (const NetrcEntry& entry : entries) {
      bool fits = pass == 0 ? !entry.isDefault && entry.machine == machine : entry.isDefault;
      if (!fits || !entry.hasPassword || (!entry.login.empty() && entry.login != user)) continue;
      *password = entry.password;
      return true;
    }
  }
  return false;
}

bool findPassword(const Options& options, const std::string& server, const std::string& user,
                  std::string* password, std::string* problem) {
  if (options.has("password")) {
    *password = options.get("password");
    return true;
  }
  if (options.has("password-file")) {
    std::string path = options.get("password-file");
    std::string text;
    if (!readFile(path, &text)) {
      *problem = "cannot read the password file " + path;
      return false;
    }
    *password = text.substr(0, text.find_first_of("\r\n"));
    return true;
  }
  const char* variable = std::getenv(kPasswordVariable);
  if (variable != nullptr) {
    *password = variable;
    return true;
  }
  std::string netrc = homeNetrcPath();
  std::string text;
  if (!netrc.empty() && readFile(netrc, &text) && netrcPassword(text, server, user, password)) return true;
  *problem = "no password for " + user + ": give --password, --password-file or " + kPasswordVariable +
             ", or add it to ~/.netrc";
  return false;
}

}  // namespace qelmail
