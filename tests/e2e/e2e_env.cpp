// Env files of the end-to-end servers, the skip-or-fail rule, and Maildirs.
#include "e2e/e2e_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace qel::e2e {
namespace {

constexpr int kPollMs = 50;
constexpr size_t kMaxBoxName = 64;  // whole login, prefix included
constexpr size_t kDigestRoom = 16;
// Maildir file names start with a time; ours count up from here so that
// Dovecot numbers the messages in the order they were stored.
constexpr long kFirstMessageTime = 1000000000;

std::string trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A plain decimal number of at most nine digits.
bool decimal(const std::string& text, long& value) {
  constexpr size_t kMaxDigits = 9;
  if (text.empty() || text.size() > kMaxDigits) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool validKey(const std::string& key) {
  if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

// A value as the shell reads it: 'quoted', "quoted" (no escapes are written),
// or bare.
bool unquote(const std::string& raw, std::string& value) {
  if (!raw.empty() && (raw[0] == '\'' || raw[0] == '"')) {
    if (raw.size() < 2 || raw.back() != raw[0]) return false;
    value = raw.substr(1, raw.size() - 2);
    return value.find(raw[0]) == std::string::npos;
  }
  value = raw;
  return value.find_first_of(" \t'\"") == std::string::npos;
}

void skipTest(const std::string& why) {
  GTEST_SKIP() << why;
}

bool writeWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

bool fileContains(const std::string& path, const std::string& marker) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str().find(marker) != std::string::npos;
}

// Owner of the Maildirs: Dovecot's POP3 processes run as that user and must
// be able to move and delete what a test stored.
bool giveToMailUser(const Servers& servers, const std::string& path) {
  long uid = 0;
  long gid = 0;
  if (!decimal(servers.get("MAIL_UID"), uid) || !decimal(servers.get("MAIL_GID"), gid)) return false;
  return ::chown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0;
}

}  // namespace

bool Servers::load(const std::string& path, std::string& error) {
  values_.clear();
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string text = trim(line);
    if (text.empty() || text[0] == '#') continue;
    const size_t equals = text.find('=');
    std::string value;
    if (equals == std::string::npos || !validKey(text.substr(0, equals)) ||
        !unquote(text.substr(equals + 1), value)) {
      error = path + ":" + std::to_string(number) + ": not KEY=VALUE: " + text;
      values_.clear();
      return false;
    }
    values_[text.substr(0, equals)] = value;
  }
  return true;
}

std::string Servers::get(const std::string& key) const {
  const auto found = values_.find(key);
  return found == values_.end() ? std::string() : found->second;
}

uint16_t Servers::port(const std::string& key) const {
  constexpr long kHighestPort = 65535;
  long value = 0;
  if (!decimal(get(key), value)) return 0;
  return value >= 1 && value <= kHighestPort ? static_cast<uint16_t>(value) : 0;
}

bool underCi() {
  const char* ci = std::getenv("CI");
  if (ci == nullptr) return false;
  std::string value(ci);
  std::transform(value.begin(), value.end(), value.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return value == "true" || value == "1" || value == "yes";
}

std::string envFilePath(const char* config) {
  const char* root = std::getenv(kServersVariable);
  if (root == nullptr || *root == '\0' || config == nullptr) return std::string();
  return std::string(root) + "/" + config + "/env";
}

bool findServers(const char* config, Servers& servers, std::string& why) {
  const std::string path = envFilePath(config);
  if (path.empty()) {
    why = std::string(kServersVariable) + " is not set: run the end-to-end tests through ctest, " +
          "which starts the mail servers first";
    return false;
  }
  std::string error;
  if (!servers.load(path, error)) {
    why = "no mail servers (" + error + ")";
    return false;
  }
  if (!servers.available()) {
    const std::string reason = servers.get("QEL_E2E_REASON");
    why = "mail servers unavailable: " + (reason.empty() ? std::string("no reason given") : reason);
    return false;
  }
  for (const char* key : {"SMTP_PORT", "POP3_PORT"}) {
    if (servers.port(key) == 0) {
      why = path + " gives no valid " + key;
      return false;
    }
  }
  return true;
}

Missing missingServers() {
  return underCi() ? Missing::kFail : Missing::kSkip;
}

bool requireServers(const char* config, Servers& servers) {
  std::string why;
  if (findServers(config, servers, why)) return true;
  if (missingServers() == Missing::kFail) {
    ADD_FAILURE() << why << " (a failure under CI, where the servers must run)";
  } else {
    skipTest(why);
  }
  return false;
}

std::vector<std::string> maildirMessages(const std::string& maildir) {
  std::vector<std::string> paths;
  for (const char* sub : {"new", "cur"}) {
    std::error_code ec;
    for (fs::directory_iterator it(maildir + "/" + sub, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec)) paths.push_back(it->path().string());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string waitForMessage(const std::string& maildir, const std::string& marker, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (const std::string& path : maildirMessages(maildir)) {
      // A POP3 session may move the file from new/ to cur/ meanwhile.
      if (fileContains(path, marker)) return path;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::string();
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

std::string boxName(const std::string& prefix, const std::string& testName) {
  std::string name = testName;
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    c = std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '-';
  }
  // The whole login must fit the library's 64-character user name.
  const size_t room = kMaxBoxName > prefix.size() ? kMaxBoxName - prefix.size() : 0;
  if (name.size() > room) {
    // Long names keep their start, and a digest of the whole tells apart
    // the tests that share that start.
    char digest[kDigestRoom];
    int digestLength = std::snprintf(digest, sizeof digest, "-%08zx", std::hash<std::string>{}(name) & 0xffffffffu);
    size_t keep = room > static_cast<size_t>(digestLength) ? room - static_cast<size_t>(digestLength) : 0;
    name.resize(keep);
    name += digest;
  }
  return prefix + name;
}

std::string makeBox(const Servers& servers, std::string* maildir) {
  const std::string root = servers.get("MAILBOX_ROOT");
  const std::string prefix = servers.get("BOX_PREFIX");
  if (root.empty() || prefix.empty()) return std::string();
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string test = info ? std::string(info->test_suite_name()) + "-" + info->name() : "outside-test";
  const std::string login = boxName(prefix, test);
  const std::string dir = root + "/" + login;
  std::error_code ec;
  fs::remove_all(dir, ec);
  for (const std::string& path : {dir, dir + "/new", dir + "/cur", dir + "/tmp"}) {
    if (!fs::create_directory(path, ec) || ::chmod(path.c_str(), 0755) != 0 || !giveToMailUser(servers, path)) {
      return std::string();
    }
  }
  if (maildir != nullptr) *maildir = dir;
  return login;
}

std::string putMessage(const Servers& servers, const std::string& maildir, const std::string& bytes) {
  static std::atomic<long> counter{0};
  const long sequence = counter++;
  const std::string name = std::to_string(kFirstMessageTime + sequence) + ".qel" + std::to_string(::getpid()) +
                           "_" + std::to_string(sequence) + ".e2e";
  const std::string staged = maildir + "/tmp/" + name;
  const std::string delivered = maildir + "/new/" + name;
  if (!writeWhole(staged, bytes) || !giveToMailUser(servers, staged)) return std::string();
  std::error_code ec;
  fs::rename(staged, delivered, ec);
  return ec ? std::string() : delivered;
}

}  // namespace qel::e2e
