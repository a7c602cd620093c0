#include "maildir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "sasl.h"

namespace maildrop {
namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr size_t kMaxUniqueIdChars = 70;  // RFC 1939, section 7
constexpr size_t kMaxNameHostChars = 24;  // keeps our names, and so their ids, short
constexpr size_t kWriteChunkBytes = 64 * 1024;
constexpr size_t kCopyChunkBytes = 64 * 1024;
const char* const kSubdirectories[] = {"tmp", "new", "cur"};
const char* const kMessageSubdirectories[] = {"new", "cur"};

bool makeDirectory(const std::string& path, std::string& error) {
  if (mkdir(path.c_str(), kDirectoryMode) == 0 || errno == EEXIST) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
  }
  error = "cannot create the directory " + path + ": " + std::strerror(errno);
  return false;
}

std::string uniqueIdOf(const std::string& subdirectory, const std::string& name) {
  std::string id = name.substr(0, name.find(':'));
  bool usable = !id.empty() && id.size() <= kMaxUniqueIdChars;
  for (char c : id) usable = usable && c >= 0x21 && c <= 0x7E;
  // A name no POP3 id can carry gets a digest of itself instead, still stable.
  return usable ? id : md5Hex(subdirectory + "/" + name);
}

uint64_t leadingSeconds(const std::string& name) {
  uint64_t seconds = 0;
  for (size_t i = 0; i < name.size() && i < 19 && name[i] >= '0' && name[i] <= '9'; ++i)
    seconds = seconds * 10 + static_cast<uint64_t>(name[i] - '0');
  return seconds;
}

bool copyFile(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  bool ok = out >= 0;
  std::vector<char> chunk(kCopyChunkBytes);
  while (ok) {
    ssize_t got = read(in, chunk.data(), chunk.size());
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = write(out, chunk.data(), static_cast<size_t>(got)) == got;
  }
  if (ok) ok = fsync(out) == 0;
  close(in);
  if (out >= 0 && close(out) != 0) ok = false;
  if (!ok && out >= 0) unlink(to.c_str());
  return ok;
}

}  // namespace

MaildirStore::MaildirStore(std::string root, std::string hostName) : root_(std::move(root)) {
  // Maildir names may not hold "/" or ":"; the host part keeps only safe bytes.
  for (char c : hostName) {
    if (nameHost_.size() == kMaxNameHostChars) break;
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    nameHost_ += safe ? c : '_';
  }
  if (nameHost_.empty()) nameHost_ = "localhost";
}

bool MaildirStore::ensureRoot(std::string& error) { return makeDirectory(root_, error); }

bool MaildirStore::ensureMailbox(const std::string& user, std::string& error) {
  if (!makeDirectory(root_, error) || !makeDirectory(mailboxPath(user), error)) return false;
  for (const char* sub : kSubdirectories)
    if (!makeDirectory(mailboxPath(user) + "/" + sub, error)) return false;
  return true;
}

std::string MaildirStore::uniqueName() {
  static std::atomic<uint32_t> counter{0};
  timeval now;
  gettimeofday(&now, nullptr);
  char name[128];
  std::snprintf(name, sizeof name, "%lld.M%06ldP%ldQ%u.%s", static_cast<long long>(now.tv_sec),
                static_cast<long>(now.tv_usec), static_cast<long>(getpid()), static_cast<unsigned>(++counter),
                nameHost_.c_str());
  return name;
}

std::vector<StoredMessage> MaildirStore::listMessages(const std::string& user) const {
  struct Entry {
    uint64_t seconds;
    std::string name;
    StoredMessage message;
  };
  std::vector<Entry> entries;
  std::set<std::string> ids;
  for (const char* sub : kMessageSubdirectories) {
    std::string directory = mailboxPath(user) + "/" + sub;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) continue;
    while (dirent* entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      std::string path = directory + "/" + name;
      struct stat info;
      // lstat: a symbolic link is not a message, wherever it points.
      if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      std::string id = uniqueIdOf(sub, name);
      if (!ids.insert(id).second) id = md5Hex(std::string(sub) + "/" + name);
      entries.push_back({leadingSeconds(name), name, {path, id}});
    }
    closedir(listing);
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.seconds != b.seconds ? a.seconds < b.seconds : a.name < b.name;
  });
  std::vector<StoredMessage> messages;
  for (Entry& entry : entries) messages.push_back(std::move(entry.message));
  return messages;
}

Delivery::Delivery(MaildirStore& store) : store_(store) {}

Delivery::~Delivery() { abandon(); }

bool Delivery::begin(const std::vector<std::string>& users, std::string& error) {
  abandon();
  users_ = users;
  name_ = store_.uniqueName();
  if (users_.empty()) {
    error = "no recipients";
    return false;
  }
  std::string path = store_.mailboxPath(users_[0]) + "/tmp/" + name_;
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd_ < 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  tmpPaths_.push_back(path);
  failed_ = false;
  return true;
}

bool Delivery::flush() {
  size_t done = 0;
  while (!failed_ && done < pending_.size()) {
    ssize_t wrote = ::write(fd_, pending_.data() + done, pending_.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) failed_ = true;
    else done += static_cast<size_t>(wrote);
  }
  pending_.clear();
  return !failed_;
}

bool Delivery::write(const char* data, size_t count) {
  if (fd_ < 0 || failed_) return false;
  pending_.append(data, count);
  return pending_.size() < kWriteChunkBytes || flush();
}

bool Delivery::commit(std::string& error) {
  if (fd_ < 0) {
    error = "no delivery in progress";
    return false;
  }
  bool ok = flush() && fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
  fd_ = -1;
  if (!ok) {
    error = std::string("cannot write the message: ") + std::strerror(errno);
    abandon();
    return false;
  }
  // Every recipient gets its own name in its own tmp/ first...
  for (size_t i = 1; i < users_.size(); ++i) {
    std::string path = store_.mailboxPath(users_[i]) + "/tmp/" + name_;
    if (link(tmpPaths_[0].c_str(), path.c_str()) != 0 && !copyFile(tmpPaths_[0], path)) {
      error = "cannot store the message for " + users_[i] + ": " + std::strerror(errno);
      abandon();
      return false;
    }
    tmpPaths_.push_back(path);
  }
  // ...and only then does the message show up in the new/ folders.
  for (size_t i = 0; i < users_.size(); ++i) {
    std::string target = store_.mailboxPath(users_[i]) + "/new/" + name_;
    if (rename(tmpPaths_[i].c_str(), target.c_str()) != 0) {
      error = "cannot move the message into " + target + ": " + std::strerror(errno);
      abandon();
      return false;
    }
    tmpPaths_[i].clear();
  }
  tmpPaths_.clear();
  return true;
}

void Delivery::abandon() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  for (const std::string& path : tmpPaths_)
    if (!path.empty()) unlink(path.c_str());
  tmpPaths_.clear();
  pending_.clear();
}

}  // namespace maildrop
