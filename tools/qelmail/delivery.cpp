#include "delivery.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "files.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>
#endif

namespace qelmail {
namespace {

constexpr size_t kReadBlock = 65536;
constexpr size_t kPieceCap = 65536;   // a longer line is handed out in pieces
constexpr size_t kWriteBlock = 65536;
constexpr size_t kHeaderLinesCap = 512;  // header lines looked at for the mbox sender

// The lines of a downloaded message with CR LF made LF (a lone CR stays),
// at fixed memory: a line longer than kPieceCap comes in pieces, and only
// the first piece of a line has atLineStart set.
class LineReader {
 public:
  explicit LineReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")), block_(kReadBlock) {}
  ~LineReader() {
    if (file_ != nullptr) std::fclose(file_);
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool opened() const { return file_ != nullptr; }
  bool failed() const { return file_ == nullptr || std::ferror(file_) != 0; }

  // The next line or piece into *line; false at the end (or a read error).
  bool next(std::string* line, bool* atLineStart) {
    line->clear();
    if (carryCr_) line->push_back('\r');
    carryCr_ = false;
    *atLineStart = lineStart_;
    while (line->size() < kPieceCap) {
      if (position_ == end_ && !refill()) break;
      const char* from = block_.data() + position_;
      const void* feed = std::memchr(from, '\n', end_ - position_);
      size_t take = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - from) + 1 : end_ - position_;
      line->append(from, take);
      position_ += take;
      if (feed != nullptr) break;
    }
    if (line->empty()) return false;
    lineStart_ = line->back() == '\n';
    if (lineStart_ && line->size() >= 2 && (*line)[line->size() - 2] == '\r') {
      line->erase(line->size() - 2, 1);
    } else if (!lineStart_ && line->back() == '\r' && line->size() > 1 && !ended_) {
      // A CR at the end of a piece may be the first half of a CR LF.
      line->pop_back();
      carryCr_ = true;
    }
    return true;
  }

 private:
  bool refill() {
    if (file_ == nullptr) return false;
    position_ = 0;
    end_ = std::fread(block_.data(), 1, block_.size(), file_);
    ended_ = end_ == 0;
    return end_ > 0;
  }

  std::FILE* file_;
  std::vector<char> block_;
  size_t position_ = 0;
  size_t end_ = 0;
  bool lineStart_ = true;
  bool carryCr_ = false;
  bool ended_ = false;
};

#ifndef _WIN32

// Writes all of n bytes to fd; false on a failure other than EINTR.
bool writeAll(int fd, const char* bytes, size_t n) {
  while (n > 0) {
    ssize_t written = ::write(fd, bytes, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

// Gathers output for a descriptor in blocks of kWriteBlock.
class BlockWriter {
 public:
  explicit BlockWriter(int fd) : fd_(fd) {}
  bool add(const char* bytes, size_t n) {
    out_.append(bytes, n);
    return out_.size() < kWriteBlock || flush();
  }
  bool add(const std::string& text) { return add(text.data(), text.size()); }
  bool flush() {
    bool ok = writeAll(fd_, out_.data(), out_.size());
    out_.clear();
    return ok;
  }

 private:
  int fd_;
  std::string out_;
};

// Copies the message of `file` to `writer` with LF line ends; each line
// start is first shown to `quote` (may be null), which returns whether the
// line gets a ">" in front. *endsWithLine tells whether the last byte was a
// line feed (true for an empty message).
bool copyMessage(const std::string& file, BlockWriter* writer, bool (*quote)(const std::string&),
                 bool* endsWithLine, std::string* problem) {
  LineReader reader(file);
  if (!reader.opened()) {
    *problem = "cannot read " + file;
    return false;
  }
  std::string line;
  bool atLineStart = true;
  *endsWithLine = true;
  while (reader.next(&line, &atLineStart)) {
    if (atLineStart && quote != nullptr && quote(line) && !writer->add(">", 1)) return false;
    if (!writer->add(line)) return false;
    *endsWithLine = line.back() == '\n';
  }
  if (reader.failed()) {
    *problem = "cannot read " + file;
    return false;
  }
  return true;
}

// mboxrd: a line of any number of ">" and then "From " gets one ">" more,
// so that a reader can take one off each such line and have the message
// back as it was.
bool needsFromQuote(const std::string& line) {
  size_t start = line.find_first_not_of('>');
  return start != std::string::npos && line.compare(start, 5, "From ") == 0;
}

// A Maildir file name no other delivery takes: seconds, microseconds,
// process and a counter of this process, and the host, '/' and ':' written
// as octal escapes as the convention has it.
std::string maildirName() {
  static unsigned counter = 0;
  struct timeval now {};
  ::gettimeofday(&now, nullptr);
  char host[256] = "localhost";
  if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
  host[sizeof host - 1] = '\0';
  std::string safeHost;
  for (const char* c = host; *c != '\0'; ++c) {
    if (*c == '/') {
      safeHost += "\\057";
    } else if (*c == ':') {
      safeHost += "\\072";
    } else {
      safeHost += *c;
    }
  }
  return std::to_string(now.tv_sec) + ".M" + std::to_string(now.tv_usec) + "P" + std::to_string(::getpid()) + "Q" +
         std::to_string(++counter) + "." + safeHost;
}

Delivered toMaildir(const std::string& maildir, const std::string& file) {
  Delivered result;
  std::string name = maildirName();
  std::string partial = maildir + "/tmp/" + name;
  result.where = maildir + "/new/" + name;
  int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    result.problem = "cannot create " + partial + ": " + std::strerror(errno);
    return result;
  }
  BlockWriter writer(fd);
  bool endsWithLine = true;
  bool written = copyMessage(file, &writer, nullptr, &endsWithLine, &result.problem) && writer.flush() &&
                 ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  // Mail programs read new/ only: a message enters it whole, in one rename.
  if (written && ::rename(partial.c_str(), result.where.c_str()) == 0) {
    result.ok = true;
    return result;
  }
  if (result.problem.empty()) result.problem = "cannot write " + partial + ": " + std::strerror(errno);
  ::unlink(partial.c_str());
  return result;
}

// The address of a header field's value: the one in angle brackets, else
// the first word holding "@"; empty when none.
std::string addressOf(const std::string& value) {
  size_t open = value.find('<');
  size_t close = open == std::string::npos ? open : value.find('>', open);
  if (close != std::string::npos) return value.substr(open + 1, close - open - 1);
  size_t at = value.find('@');
  if (at == std::string::npos) return "";
  size_t start = value.find_last_of(" \t,", at);
  start = start == std::string::npos ? 0 : start + 1;
  size_t end = value.find_first_of(" \t,", at);
  return value.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The envelope sender for the "From " line: Return-Path, else From, else
// MAILER-DAEMON (also for the empty Return-Path of a bounce); one word.
std::string mboxSender(const std::string& file) {
  LineReader reader(file);
  std::string line, field, returnPath, from;
  bool atLineStart = true;
  bool hasReturnPath = false;
  auto take = [&]() {
    size_t colon = field.find(':');
    if (colon == std::string::npos) return;
    std::string name = field.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "return-path" && !hasReturnPath) {
      hasReturnPath = true;
      returnPath = addressOf(field.substr(colon + 1));
    }
    if (name == "from" && from.empty()) from = addressOf(field.substr(colon + 1));
  };
  for (size_t lines = 0; lines < kHeaderLinesCap && reader.next(&line, &atLineStart); ++lines) {
    if (!atLineStart) continue;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      field += line;
      continue;
    }
    take();
    field = line;
    if (line.empty()) break;
  }
  take();
  std::string sender = hasReturnPath ? returnPath : from;
  std::string word;
  for (char c : sender) {
    if (static_cast<unsigned char>(c) > ' ' && c != 0x7f) word += c;
  }
  return word.empty() ? "MAILER-DAEMON" : word;
}

std::string fromLine(const std::string& sender) {
  char date[64];
  std::time_t now = std::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &local);
  return "From " + sender + " " + date + "\n";
}

// Waits for the locks on the whole file: fcntl and flock, which mail
// programs use one or the other of (on Linux they do not see each other).
bool lockMbox(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  int rc;
  while ((rc = ::fcntl(fd, F_SETLKW, &lock)) != 0 && errno == EINTR) {
  }
  if (rc != 0) return false;
  while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  return rc == 0;
}

Delivered toMbox(const std::string& mbox, const std::string& file) {
  Delivered result;
  result.where = mbox;
  int fd = ::open(mbox.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  struct stat before {};
  if (fd < 0 || !lockMbox(fd) || ::fstat(fd, &before) != 0) {
    result.problem = "cannot open and lock " + mbox + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return result;
  }
  BlockWriter writer(fd);
  bool endsWithLine = true;
  bool written = writer.add(fromLine(mboxSender(file))) &&
                 copyMessage(file, &writer, needsFromQuote, &endsWithLine, &result.problem) &&
                 writer.add(endsWithLine ? "\n" : "\n\n") && writer.flush() && ::fsync(fd) == 0;
  if (!written) {
    if (result.problem.empty()) result.problem = "cannot write " + mbox + ": " + std::strerror(errno);
    // The mbox is never left with half a message: back to its old length.
    if (::ftruncate(fd, before.st_size) != 0) result.problem += " (and cannot cut it back to its old length)";
  }
  result.ok = ::close(fd) == 0 && written;
  if (written && !result.ok) result.problem = "cannot write " + mbox + ": " + std::strerror(errno);
  return result;
}

// The command through /bin/sh with the message on its standard input; its
// standard output goes to qelmail's standard error, which keeps qelmail's
// own output to its report lines.
Delivered toCommand(const std::string& command, const std::string& file) {
  Delivered result;
  result.where = "|" + command;
  result.commandStatus = -1;
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) {
    result.problem = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeEnds[0], 0);
    ::dup2(2, 1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeEnds[0]);
  if (child < 0) {
    ::close(pipeEnds[1]);
    result.problem = std::string("cannot start the delivery command: ") + std::strerror(errno);
    return result;
  }
  BlockWriter writer(pipeEnds[1]);
  bool endsWithLine = true;
  // A command that stops reading (EPIPE: SIGPIPE is ignored) has not taken
  // the whole message, whatever its status says.
  bool fed = copyMessage(file, &writer, nullptr, &endsWithLine, &result.problem) && writer.flush();
  ::close(pipeEnds[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.commandStatus = WEXITSTATUS(status);
  result.ok = fed && result.commandStatus == 0;
  if (result.commandStatus > 0) {
    result.problem = "the delivery command exited with status " + std::to_string(result.commandStatus);
  } else if (result.commandStatus < 0) {
    result.problem = "the delivery command was stopped by a signal";
  } else if (!fed && result.problem.empty()) {
    result.problem = "the delivery command did not read the whole message";
  }
  return result;
}

#endif

}  // namespace

#ifdef _WIN32

bool prepareDelivery(const Delivery&, std::string* problem) {
  *problem = "--maildir, --mbox and --mda are not available on Windows";
  return false;
}

Delivered deliver(const Delivery&, const std::string&) {
  Delivered result;
  result.problem = "no delivery on Windows";
  return result;
}

#else

bool prepareDelivery(const Delivery& delivery, std::string* problem) {
  if (delivery.kind == DeliveryKind::command) {
    // A command that exits without reading everything must not kill qelmail.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }
  if (delivery.kind == DeliveryKind::mbox) {
    size_t slash = delivery.target.rfind('/');
    std::string dir = slash == std::string::npos || slash == 0 ? "/" : delivery.target.substr(0, slash);
    if (makeDirectories(dir)) return true;
    *problem = "cannot create the directory " + dir;
    return false;
  }
  for (const char* sub : {"", "/tmp", "/new", "/cur"}) {
    if (!makeDirectories(delivery.target + sub)) {
      *problem = "cannot create the directory " + delivery.target + sub;
      return false;
    }
  }
  return true;
}

Delivered deliver(const Delivery& delivery, const std::string& file) {
  switch (delivery.kind) {
    case DeliveryKind::maildir:
      return toMaildir(delivery.target, file);
    case DeliveryKind::mbox:
      return toMbox(delivery.target, file);
    case DeliveryKind::command:
      return toCommand(delivery.target, file);
    case DeliveryKind::none:
      break;
  }
  return Delivered{};
}

#endif

}  // namespace qelmail
