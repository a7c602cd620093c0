// The Maildirs under the root: one per user, DIR/<user>/{tmp,new,cur}.
// Deliveries are written into tmp/ and renamed into new/ only when complete,
// so a reader never sees half a message. Every path is built here from a
// checked user name and a file name made here or read from the directory:
// nothing a client sends becomes a path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace maildrop {

// A message file as POP3 lists it.
struct StoredMessage {
  std::string path;
  std::string uniqueId;  // the file name without its ":2,..." flags, 0x21 to 0x7E, at most 70
};

class MaildirStore {
 public:
  MaildirStore(std::string root, std::string hostName);

  // Creates the root when missing.
  bool ensureRoot(std::string& error);
  // Creates the root and the user's Maildir when missing.
  bool ensureMailbox(const std::string& user, std::string& error);

  // The messages in new/ and cur/: regular files whose names don't start
  // with a dot, oldest first (by the seconds that begin a Maildir name, then
  // by name), so the numbers stay put while nothing arrives.
  std::vector<StoredMessage> listMessages(const std::string& user) const;

  // A new unique file name "<seconds>.M<microseconds>P<pid>Q<count>.<host>".
  std::string uniqueName();

  const std::string& root() const { return root_; }
  std::string mailboxPath(const std::string& user) const { return root_ + "/" + user; }

 private:
  std::string root_;
  std::string nameHost_;
};

// One incoming message: written once into the first recipient's tmp/,
// linked (or copied) into the other recipients' tmp/, then renamed into each
// new/. On any failure, or when dropped without commit, nothing stays behind.
class Delivery {
 public:
  explicit Delivery(MaildirStore& store);
  ~Delivery();
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  bool begin(const std::vector<std::string>& users, std::string& error);
  bool write(const char* data, size_t count);
  // Syncs the file and moves it into new/ of every recipient.
  bool commit(std::string& error);
  void abandon();
  const std::string& name() const { return name_; }

 private:
  bool flush();

  MaildirStore& store_;
  std::vector<std::string> users_;
  std::vector<std::string> tmpPaths_;
  std::string name_;
  std::string pending_;
  int fd_ = -1;
  bool failed_ = false;
};

}  // namespace maildrop
