#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <system_error>
#include <thread>

#include "context.h"
#include "pop3_session.h"
#include "smtp_session.h"

namespace maildrop {
namespace {

// As many sessions at once as the library has channels, all connecting at
// the same moment.
constexpr int kListenBacklog = 128;
constexpr size_t kMaxSessions = 128;
constexpr int kReapMilliseconds = 1000;

// Written by the signal handler; everyone polls the read end, which stays
// readable once the byte is in: one write stops every session at once.
int stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int) {
  int saved = errno;
  ssize_t ignored = write(stopPipe[1], "x", 1);
  (void)ignored;
  errno = saved;
}

bool installSignals(std::string& error) {
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

const char* loopbackText(bool ipv6) { return ipv6 ? "[::1]" : "127.0.0.1"; }

int listenOnLoopback(bool ipv6, int port, int& chosenPort, std::string& error) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage address;
  std::memset(&address, 0, sizeof address);
  socklen_t length = 0;
  if (ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *in6;
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *in;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, kListenBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = std::string("cannot listen on ") + loopbackText(ipv6) + ":" + std::to_string(port) + ": " +
            std::strerror(errno);
    close(fd);
    return -1;
  }
  chosenPort = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                    : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

// "127.0.0.1:port" or "[::1]:port".
std::string peerText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    return std::string("[") + text + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
  inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
}

// Written beside the target and renamed, so a script never reads half of it.
bool writePortsFile(const std::string& path, int smtpPort, int pop3Port, std::string& error) {
  std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::fprintf(file, "SMTP_PORT=%d\nPOP3_PORT=%d\nPID=%ld\n", smtpPort, pop3Port, static_cast<long>(getpid()));
  bool ok = std::fclose(file) == 0 && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(temporary.c_str());
  }
  return ok;
}

struct Session {
  std::thread thread;
  std::atomic<bool> finished{false};
};

class Listener {
 public:
  explicit Listener(ServerContext& context) : context_(context) {}
  ~Listener() { joinAll(); }

  // Accepts one connection and starts its session thread.
  void accept(int listenFd, bool smtp) {
    sockaddr_storage peerAddress;
    std::memset(&peerAddress, 0, sizeof peerAddress);
    socklen_t length = sizeof peerAddress;
    int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peerAddress), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    reap();
    std::string peer = peerText(peerAddress);
    if (sessions_.size() >= kMaxSessions) {
      const char* busy = smtp ? "421 4.3.2 Too many connections, try again later\r\n" : "-ERR [SYS/TEMP] too busy\r\n";
      ssize_t ignored = send(fd, busy, std::strlen(busy), MSG_NOSIGNAL | MSG_DONTWAIT);
      (void)ignored;
      close(fd);
      context_.log(std::string(smtp ? "smtp " : "pop3 ") + peer + ": refused, too many connections");
      return;
    }
    auto session = std::make_unique<Session>();
    Session* raw = session.get();
    ServerContext& context = context_;
    try {
      raw->thread = std::thread([fd, smtp, peer, raw, &context]() {
        if (smtp) runSmtpSession(fd, stopPipe[0], context, peer);
        else runPop3Session(fd, stopPipe[0], context, peer);
        raw->finished = true;
      });
    } catch (const std::system_error&) {
      // No thread to be had: this client is turned away, the others go on.
      close(fd);
      context_.log(std::string(smtp ? "smtp " : "pop3 ") + peer + ": refused, cannot start a thread");
      return;
    }
    sessions_.push_back(std::move(session));
  }

  // Joins the threads whose sessions are over.
  void reap() {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if ((*it)->finished) {
        (*it)->thread.join();
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void joinAll() {
    for (auto& session : sessions_) session->thread.join();
    sessions_.clear();
  }

 private:
  ServerContext& context_;
  std::list<std::unique_ptr<Session>> sessions_;
};

}  // namespace

int runServer(const Options& options) {
  ServerContext context(options);
  std::string error;
  bool ready = installSignals(error) && context.store.ensureRoot(error);
  for (auto it = options.users.begin(); ready && it != options.users.end(); ++it)
    ready = context.store.ensureMailbox(it->first, error);
  // A ports file from an earlier run must not pass for this one's.
  if (!options.portsFile.empty()) unlink(options.portsFile.c_str());
  int smtpPort = 0;
  int pop3Port = 0;
  int smtpFd = ready ? listenOnLoopback(options.ipv6, options.smtpPort, smtpPort, error) : -1;
  int pop3Fd = smtpFd >= 0 ? listenOnLoopback(options.ipv6, options.pop3Port, pop3Port, error) : -1;
  ready = pop3Fd >= 0 && (options.portsFile.empty() || writePortsFile(options.portsFile, smtpPort, pop3Port, error));
  if (!ready) {
    std::fprintf(stderr, "qel-maildrop: %s\n", error.c_str());
    if (smtpFd >= 0) close(smtpFd);
    if (pop3Fd >= 0) close(pop3Fd);
    return 1;
  }
  if (!options.quiet) {
    const char* host = loopbackText(options.ipv6);
    std::printf("qel-maildrop: SMTP on %s:%d, POP3 on %s:%d, Maildir root %s, pid %ld\n", host, smtpPort, host,
                pop3Port, options.root.c_str(), static_cast<long>(getpid()));
    std::fflush(stdout);
  }

  {
    Listener listener(context);
    pollfd fds[3] = {{smtpFd, POLLIN, 0}, {pop3Fd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    for (;;) {
      int readyCount = poll(fds, 3, kReapMilliseconds);
      if (readyCount < 0 && errno != EINTR) break;
      if (readyCount > 0 && fds[2].revents != 0) break;
      if (readyCount > 0 && fds[0].revents != 0) listener.accept(smtpFd, true);
      if (readyCount > 0 && fds[1].revents != 0) listener.accept(pop3Fd, false);
      listener.reap();
    }
    // No new connections; the sessions see the stop pipe and end.
    close(smtpFd);
    close(pop3Fd);
  }
  if (!options.portsFile.empty()) unlink(options.portsFile.c_str());
  context.log("stopped");
  return 0;
}

}  // namespace maildrop
