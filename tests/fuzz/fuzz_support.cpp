#include "fuzz_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "frame/settings.h"
#include "transport/readiness.h"
#include "transport/connection.h"
#include "driver/connection_use.h"

namespace fs = std::filesystem;

namespace qel::fuzz {
namespace {

// Room of the socket pair: far more than any input the targets are given.
constexpr int kPairBufferBytes = 4 << 20;

void removeWorkDir() {
  std::error_code ignored;
  fs::remove_all(workDir(), ignored);
}

}  // namespace

void require(bool holds, const char* contract) {
  if (holds) return;
  std::fprintf(stderr, "contract broken: %s\n", contract);
  std::abort();
}

const std::string& workDir() {
  static const std::string path = [] {
    std::string pattern = (fs::temp_directory_path() / "qel-fuzz-XXXXXX").string();
    require(::mkdtemp(pattern.data()) != nullptr, "a work directory can be made");
    return pattern;
  }();
  static const bool registered = std::atexit(removeWorkDir) == 0;
  (void)registered;
  return path;
}

void emptyDirectory(const std::string& path) {
  require(path.compare(0, workDir().size(), workDir()) == 0, "only directories of the work directory are emptied");
  std::error_code ignored;
  fs::remove_all(path, ignored);
  fs::create_directories(path, ignored);
}

std::string strayPath(const std::string& root, const std::string& allowedA, const std::string& allowedB) {
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    fs::path path = it->path();
    fs::path parent = path.parent_path();
    if (path == allowedA || path == allowedB || parent == allowedA || parent == allowedB) continue;
    return path.string();
  }
  return "";
}

int feedChannel(ChannelRecord* record, const std::string& bytes) {
  int pair[2];
  require(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "a socket pair can be made");
  int size = kPairBufferBytes;
  ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  ::setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(pair[1], bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    require(n > 0, "the socket pair takes the whole input");
    sent += static_cast<size_t>(n);
  }
  ::shutdown(pair[1], SHUT_WR);
  adoptSocket(record, static_cast<plat::SocketHandle>(pair[0]));
  record->connection->ringRead = record->connection->ringWrite = 0;
  return pair[1];
}

void endFeed(ChannelRecord* record, int peer) {
  if (socketIsOpen(record->connection)) ::close(static_cast<int>(record->connection->socket));
  record->connection->socketOpen = false;
  ::close(peer);
}

}  // namespace qel::fuzz

// The targets are linked with --wrap for the platform's sleep: the fixed
// pause after every socket close (a failed input closes its socket) would
// hold each input for half a second. Every other sleep is kept, so a wait
// that sleeps too long is still found.
extern "C" void __real__ZN3qel4plat7sleepMsEj(uint32_t ms);
extern "C" void __wrap__ZN3qel4plat7sleepMsEj(uint32_t ms) {
  if (ms == qel::pauseMs(qel::settings.closePause)) return;
  __real__ZN3qel4plat7sleepMsEj(ms);
}
