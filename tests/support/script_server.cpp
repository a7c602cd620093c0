// The scripted loopback server: one thread plays the steps on a listener bound
// to 127.0.0.1 and records every byte the client sends.
#include "support/script_server.h"

#include "support/tls_server_side.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

namespace qel::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 256 * 1024;   // one recv() at most
constexpr std::size_t kCompactAt = 1024 * 1024;  // consumed bytes kept before compacting
constexpr std::size_t kShownBytes = 120;         // longest text quoted in a mismatch
constexpr int kDrainReads = 64;                  // reads of waiting bytes when closing
constexpr int kFirstAcceptMs = 10000;            // the implicit accept before step 0
constexpr int kFillerLimit = 16;                 // stalled listener: connections at most
constexpr int kFillerWaitMs = 200;               // stalled listener: wait per connection

enum class Wait { ready, timedOut, stopped, failed };
enum class Read { data, closed, timedOut, stopped, failed };

// ---- Small socket helpers ---------------------------------------------------

// Quotes bytes for a mismatch text: control bytes escaped, long texts cut.
std::string quoteBytes(std::string_view bytes) {
  std::string out = "'";
  std::size_t shown = std::min(bytes.size(), kShownBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "'";
  if (bytes.size() > shown) out += " (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

std::string msText(int ms) { return std::to_string(ms) + " ms"; }

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

sockaddr_in loopbackAddress(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// Opens a TCP socket bound to 127.0.0.1 on an ephemeral port; -1 on failure.
int openBoundSocket(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = loopbackAddress(0);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<decltype(left)>(left, 0));
}

}  // namespace

// ---- Step constructors ------------------------------------------------------

using Kind = Step::Kind;

static Step makeStep(Kind kind, std::string text = {}, int timeoutMs = Step{}.timeoutMs) {
  Step step;
  step.kind = kind;
  step.text = std::move(text);
  step.timeoutMs = timeoutMs;
  return step;
}

Step Send(std::string bytes) { return makeStep(Kind::send, std::move(bytes)); }
Step SendSplit(std::string bytes, std::vector<std::size_t> cuts, int pauseMs) {
  Step step = makeStep(Kind::send, std::move(bytes));
  step.cuts = std::move(cuts);
  step.pauseMs = pauseMs;
  return step;
}
Step SendInPieces(std::string bytes, std::size_t pieceSize, int pauseMs) {
  Step step = makeStep(Kind::send, std::move(bytes));
  step.pieceSize = pieceSize;
  step.pauseMs = pauseMs;
  return step;
}
Step SendEndless(std::string head, std::string filler, int fillMs) {
  Step step = makeStep(Kind::send, std::move(head));
  step.filler = std::move(filler);
  step.fillMs = fillMs;
  return step;
}
Step ExpectLine(std::string line, int timeoutMs) {
  return makeStep(Kind::expectLine, std::move(line), timeoutMs);
}
Step ExpectPrefix(std::string prefix, int timeoutMs) {
  return makeStep(Kind::expectPrefix, std::move(prefix), timeoutMs);
}
Step ExpectUntil(std::string terminator, int timeoutMs) {
  return makeStep(Kind::expectUntil, std::move(terminator), timeoutMs);
}
Step ExpectBytes(std::size_t count, int timeoutMs) {
  Step step = makeStep(Kind::expectBytes, {}, timeoutMs);
  step.count = count;
  return step;
}
Step ExpectClose(int timeoutMs) { return makeStep(Kind::expectClose, {}, timeoutMs); }
Step Pause(int ms) {
  Step step = makeStep(Kind::pause);
  step.pauseMs = ms;
  return step;
}
Step Close() { return makeStep(Kind::close); }
Step Reset() { return makeStep(Kind::reset); }
Step Silent() { return makeStep(Kind::silent); }
Step Accept(int timeoutMs) { return makeStep(Kind::accept, {}, timeoutMs); }
Step StartTls(std::string certName, int timeoutMs) {
  return makeStep(Kind::startTls, std::move(certName), timeoutMs);
}
Step TlsRefused(std::string certName, int timeoutMs) {
  Step step = makeStep(Kind::startTls, std::move(certName), timeoutMs);
  step.mustFail = true;
  return step;
}
Step ReadInPieces(std::size_t count) {
  Step step = makeStep(Kind::readPieces);
  step.count = count;
  return step;
}

// ---- The player -------------------------------------------------------------

struct ScriptServer::State {
  std::vector<Step> steps;
  int listener = -1;
  int connection = -1;
  int wakeRead = -1;  // readable once the owner wants the thread to stop
  int wakeWrite = -1;
  uint16_t port = 0;
  std::thread thread;

  // Shared with the test thread.
  mutable std::mutex lock;
  std::condition_variable doneSignal;
  bool done = false;
  std::string received;
  std::string mismatches;
  int connections = 0;

  // The player's own: bytes received but not yet matched start at head.
  std::string pending;
  std::size_t head = 0;
  bool peerClosed = false;
  bool silent = false;
  int lastError = 0;
  std::unique_ptr<ServerTls> tls;  // set from a startTls step until the close
  std::vector<char> chunk = std::vector<char>(kReadChunk);
  std::size_t readLimit = kReadChunk;

  static Clock::time_point after(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
  bool pause(int ms) { return waitFor(-1, 0, after(ms)) == Wait::timedOut; }
  std::size_t unread() const { return pending.size() - head; }
  std::string_view unreadView() const { return std::string_view(pending).substr(head); }

  // Opens the listener and the wake-up pipe; returns what failed, "" when none.
  std::string open() {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return std::string("pipe: ") + std::strerror(errno);
    wakeRead = pipeEnds[0];
    wakeWrite = pipeEnds[1];
    listener = openBoundSocket(&port);
    if (listener < 0 || ::listen(listener, SOMAXCONN) != 0) {
      return std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
    }
    setNonBlocking(listener);
    return "";
  }

  void finish() {
    std::lock_guard<std::mutex> guard(lock);
    done = true;
    doneSignal.notify_all();
  }

  void fail(std::size_t index, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock);
    if (!mismatches.empty()) mismatches += "\n";
    mismatches += "step " + std::to_string(index) + ": " + text;
  }

  // Plays every step; the first connection is accepted before step 0.
  void play() {
    bool going = true;
    if (!steps.empty() && steps.front().kind != Kind::accept) going = acceptNext(0, kFirstAcceptMs);
    for (std::size_t i = 0; going && i < steps.size(); ++i) going = playStep(i, steps[i]);
    if (!silent) closeConnection();
    finish();
  }

  bool playStep(std::size_t index, const Step& step) {
    bool needsConnection = step.kind != Kind::accept && step.kind != Kind::pause &&
                           step.kind != Kind::close && step.kind != Kind::reset &&
                           step.kind != Kind::silent && step.kind != Kind::readPieces;
    if (needsConnection && connection < 0) {
      fail(index, "no open connection (an Accept step is missing)");
      return false;
    }
    switch (step.kind) {
      case Kind::accept: return acceptNext(index, step.timeoutMs);
      case Kind::send: return playSend(index, step);
      case Kind::expectLine:
      case Kind::expectPrefix: return expectLine(index, step);
      case Kind::expectUntil: return expectUntil(index, step);
      case Kind::expectBytes: return expectBytes(index, step);
      case Kind::expectClose: return expectClose(index, step);
      case Kind::pause: return pause(step.pauseMs);
      case Kind::close: closeConnection(); return true;
      case Kind::reset: resetConnection(); return true;
      case Kind::silent: silent = true; return false;
      case Kind::startTls: return startTls(index, step);
      case Kind::readPieces: return readInPieces(step.count);
    }
    return false;
  }

  // ---- Waiting, accepting, reading, closing ---------------------------------

  // Waits for events on fd (or only for the time when fd is -1); every wait also
  // watches the wake-up pipe so the destructor never waits for a time-out.
  Wait waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
      pollfd watched[2] = {{wakeRead, POLLIN, 0}, {fd, events, 0}};
      nfds_t count = fd >= 0 ? 2 : 1;
      int result = ::poll(watched, count, remainingMs(deadline));
      if (result < 0) {
        if (errno == EINTR) continue;
        lastError = errno;
        return Wait::failed;
      }
      if (watched[0].revents != 0) return Wait::stopped;
      if (count == 2 && watched[1].revents != 0) return Wait::ready;
      if (Clock::now() >= deadline) return Wait::timedOut;
    }
  }

  // Closes any open connection and accepts the next one.
  bool acceptNext(std::size_t index, int timeoutMs) {
    closeConnection();
    auto deadline = after(timeoutMs);
    for (;;) {
      Wait waited = waitFor(listener, POLLIN, deadline);
      if (waited == Wait::stopped) return false;
      if (waited == Wait::timedOut) {
        fail(index, "no connection within " + msText(timeoutMs));
        return false;
      }
      int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
          continue;
        fail(index, std::string("accept failed: ") + std::strerror(errno));
        return false;
      }
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      setNonBlocking(fd);
      // Segments go out as they are written, so split sends really arrive split.
      int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      connection = fd;
      pending.clear();
      head = 0;
      peerClosed = false;
      std::lock_guard<std::mutex> guard(lock);
      ++connections;
      return true;
    }
  }

  bool readInPieces(std::size_t count) {
    readLimit = count > 0 && count < chunk.size() ? count : chunk.size();
    // A small receive buffer keeps the client's writes from landing whole.
    int smallest = 1;
    if (connection >= 0) ::setsockopt(connection, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    return true;
  }

  // Receives what the client sent next into pending (and the transcript).
  Read readMore(Clock::time_point deadline) {
    if (peerClosed) return Read::closed;
    if (tls) return readMoreTls(deadline);
    for (;;) {
      ssize_t got = ::recv(connection, chunk.data(), readLimit, 0);
      if (got > 0) {
        pending.append(chunk.data(), static_cast<std::size_t>(got));
        std::lock_guard<std::mutex> guard(lock);
        received.append(chunk.data(), static_cast<std::size_t>(got));
        return Read::data;
      }
      // A reset ends the connection just as a close does.
      if (got == 0 || errno == ECONNRESET) {
        peerClosed = true;
        return Read::closed;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        lastError = errno;
        return Read::failed;
      }
      switch (waitFor(connection, POLLIN, deadline)) {
        case Wait::ready: continue;
        case Wait::timedOut: return Read::timedOut;
        case Wait::stopped: return Read::stopped;
        case Wait::failed: return Read::failed;
      }
    }
  }

  void record(const char* bytes, std::size_t count) {
    pending.append(bytes, count);
    std::lock_guard<std::mutex> guard(lock);
    received.append(bytes, count);
  }

  // Waits for what a TLS call asked for; Read::data when it may be retried.
  Read waitForTls(TlsIo io, Clock::time_point deadline) {
    if (io == TlsIo::closed) {
      peerClosed = true;
      return Read::closed;
    }
    if (io == TlsIo::failed) {
      lastError = EPROTO;
      return Read::failed;
    }
    switch (waitFor(connection, io == TlsIo::wantWrite ? POLLOUT : POLLIN, deadline)) {
      case Wait::ready: return Read::data;
      case Wait::timedOut: return Read::timedOut;
      case Wait::stopped: return Read::stopped;
      case Wait::failed: return Read::failed;
    }
    return Read::failed;
  }

  Read readMoreTls(Clock::time_point deadline) {
    for (;;) {
      std::size_t got = 0;
      TlsIo io = tls->read(chunk.data(), chunk.size(), &got);
      if (io == TlsIo::done) {
        record(chunk.data(), got);
        return Read::data;
      }
      Read waited = waitForTls(io, deadline);
      if (waited != Read::data) return waited;
    }
  }

  // The handshake as the server; with mustFail the client has to abort it.
  bool startTls(std::size_t index, const Step& step) {
    tls = std::make_unique<ServerTls>(connection, step.text);
    if (!tls->ready()) {
      fail(index, "TLS set-up: " + tls->error());
      return false;
    }
    auto deadline = after(step.timeoutMs);
    for (;;) {
      TlsIo io = tls->accept();
      if (io == TlsIo::done) break;
      Read waited = waitForTls(io, deadline);
      if (waited == Read::stopped) return false;
      if (waited != Read::data) {
        if (step.mustFail && (waited == Read::failed || waited == Read::closed)) return false;
        fail(index, "TLS handshake with " + quoteBytes(step.text) + " did not complete: " +
                        (waited == Read::timedOut ? "time-out" : tls->error()));
        return false;
      }
    }
    if (step.mustFail) {
      fail(index, "the client accepted the certificate " + quoteBytes(step.text));
      return false;
    }
    return true;
  }

  // Drops matched bytes; compacts only once a large consumed part has built up,
  // so a long dialogue costs linear time.
  void consume(std::size_t count) {
    head += count;
    if (head == pending.size()) {
      pending.clear();
      head = 0;
    } else if (head >= kCompactAt && head * 2 >= pending.size()) {
      pending.erase(0, head);
      head = 0;
    }
  }

  // Records why a wait for the client ended without what the step expected
  // (nothing when the server is being destroyed); always false.
  bool failWaiting(std::size_t index, const Step& step, const std::string& what, Read result,
                   const std::string& got) {
    std::string why;
    if (result == Read::stopped) return false;
    if (result == Read::timedOut) {
      why = (got.empty() ? "nothing" : "only " + got) + " arrived within " + msText(step.timeoutMs);
    } else if (result == Read::closed) {
      why = "the client closed the connection" + (got.empty() ? "" : " after " + got);
    } else {
      why = std::string("receive failed: ") + std::strerror(lastError);
    }
    fail(index, "expected " + what + ", " + why);
    return false;
  }

  // Sends our FIN after the data, records bytes already waiting (closing with
  // unread bytes would reset the connection), then closes.
  void closeConnection() {
    if (connection < 0) return;
    if (tls) {
      // What the client sent last is recorded in clear before the close.
      for (int i = 0; i < kDrainReads && !peerClosed; ++i) {
        std::size_t got = 0;
        if (tls->read(chunk.data(), chunk.size(), &got) != TlsIo::done) break;
        std::lock_guard<std::mutex> guard(lock);
        received.append(chunk.data(), got);
      }
      tls->shutdown();
      tls.reset();
      ::shutdown(connection, SHUT_WR);
      closeFd(connection);
      return;
    }
    ::shutdown(connection, SHUT_WR);
    for (int i = 0; i < kDrainReads && !peerClosed; ++i) {
      ssize_t got = ::recv(connection, chunk.data(), chunk.size(), 0);
      if (got <= 0) break;
      std::lock_guard<std::mutex> guard(lock);
      received.append(chunk.data(), static_cast<std::size_t>(got));
    }
    closeFd(connection);
  }

  // A close with a zero linger time: the client's next send or receive
  // meets a reset instead of an orderly end.
  void resetConnection() {
    if (connection < 0) return;
    tls.reset();  // no close notify: the session just ends
    linger abrupt{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    closeFd(connection);
  }

  // ---- Sending --------------------------------------------------------------

  // Splits the text at the cuts (or into pieces) and sends each segment on its
  // own, pausing in between.
  bool playSend(std::size_t index, const Step& step) {
    const std::size_t size = step.text.size();
    std::vector<std::size_t> ends;
    if (!step.cuts.empty()) {
      std::size_t last = 0;
      for (std::size_t cut : step.cuts) {
        if (cut <= last || cut > size) {
          fail(index, "cut " + std::to_string(cut) + " does not rise within the " +
                          std::to_string(size) + " bytes to send");
          return false;
        }
        ends.push_back(last = cut);
      }
    } else if (step.pieceSize > 0) {
      for (std::size_t end = step.pieceSize; end < size; end += step.pieceSize) ends.push_back(end);
    }
    if (ends.empty() || ends.back() != size) ends.push_back(size);
    std::size_t from = 0;
    for (std::size_t end : ends) {
      if (from > 0 && step.pauseMs > 0 && !pause(step.pauseMs)) return false;
      if (!sendRange(index, step, from, end)) return false;
      from = end;
    }
    if (step.filler.empty()) return true;
    Step fill = step;
    fill.text = step.filler;
    for (auto end = after(step.fillMs); Clock::now() < end;) {
      if (!sendRange(index, fill, 0, fill.text.size())) return false;
    }
    return true;
  }

  // Writes text[from, to) whole, waiting while the client's window is full.
  bool sendRange(std::size_t index, const Step& step, std::size_t from, std::size_t to) {
    const std::string total = std::to_string(step.text.size());
    if (tls) return sendRangeTls(index, step, from, to);
    while (from < to) {
      ssize_t sent = ::send(connection, step.text.data() + from, to - from, MSG_NOSIGNAL);
      if (sent > 0) {
        from += static_cast<std::size_t>(sent);
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      Wait waited = Wait::failed;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        waited = waitFor(connection, POLLOUT, after(step.timeoutMs));
      } else {
        lastError = errno;
      }
      if (waited == Wait::ready) continue;
      if (waited == Wait::stopped) return false;
      fail(index, waited == Wait::timedOut
                      ? "the client took " + std::to_string(from) + " of " + total +
                            " bytes, then nothing for " + msText(step.timeoutMs)
                      : "send failed after " + std::to_string(from) + " of " + total +
                            " bytes: " + std::strerror(lastError));
      return false;
    }
    return true;
  }

  bool sendRangeTls(std::size_t index, const Step& step, std::size_t from, std::size_t to) {
    auto deadline = after(step.timeoutMs);
    while (from < to) {
      std::size_t sent = 0;
      TlsIo io = tls->write(step.text.data() + from, to - from, &sent);
      if (io == TlsIo::done) {
        from += sent;
        continue;
      }
      Read waited = waitForTls(io, deadline);
      if (waited == Read::stopped) return false;
      if (waited != Read::data) {
        fail(index, "TLS send stopped after " + std::to_string(from) + " bytes");
        return false;
      }
    }
    return true;
  }

  // ---- Expectations ---------------------------------------------------------

  // Reads one line through its LF and compares it without its CR LF, whole or
  // by its beginning. Bytes already scanned for the LF are not scanned again.
  bool expectLine(std::size_t index, const Step& step) {
    bool byPrefix = step.kind == Kind::expectPrefix;
    std::string what = (byPrefix ? "a line beginning " : "line ") + quoteBytes(step.text);
    auto deadline = after(step.timeoutMs);
    std::size_t lineFeed;
    for (std::size_t scanned = head;
         (lineFeed = pending.find('\n', scanned)) == std::string::npos;) {
      scanned = pending.size();
      Read result = readMore(deadline);
      if (result != Read::data) {
        return failWaiting(index, step, what, result, unread() ? quoteBytes(unreadView()) : "");
      }
    }
    bool crLf = lineFeed > head && pending[lineFeed - 1] == '\r';
    std::string line = pending.substr(head, lineFeed - head - (crLf ? 1 : 0));
    consume(lineFeed + 1 - head);
    bool matches = byPrefix ? line.compare(0, step.text.size(), step.text) == 0 : line == step.text;
    if (matches && crLf) return true;
    fail(index,
         "expected " + what + ", got " + quoteBytes(line) + (crLf ? "" : " ending in a bare LF"));
    return false;
  }

  // Reads until the terminator has arrived. Only the bytes that may still begin
  // the terminator are kept between reads, so tens of megabytes cost one pass.
  bool expectUntil(std::size_t index, const Step& step) {
    const std::string& terminator = step.text;
    auto deadline = after(step.timeoutMs);
    std::size_t passed = 0;
    for (;;) {
      std::size_t found = pending.find(terminator, head);
      if (found != std::string::npos) {
        consume(found + terminator.size() - head);
        return true;
      }
      std::size_t keep = std::min(unread(), terminator.size() - 1);
      passed += unread() - keep;
      consume(unread() - keep);
      Read result = readMore(deadline);
      if (result != Read::data) {
        std::size_t seen = passed + unread();
        std::string got = seen ? std::to_string(seen) + " bytes without it" : "";
        return failWaiting(index, step, quoteBytes(terminator), result, got);
      }
    }
  }

  bool expectBytes(std::size_t index, const Step& step) {
    auto deadline = after(step.timeoutMs);
    while (unread() < step.count) {
      Read result = readMore(deadline);
      if (result != Read::data) {
        std::string got = unread() ? quoteBytes(unreadView()) : "";
        return failWaiting(index, step, std::to_string(step.count) + " bytes", result, got);
      }
    }
    consume(step.count);
    return true;
  }

  // Waits for the client's close; bytes arriving instead are a mismatch.
  bool expectClose(std::size_t index, const Step& step) {
    auto deadline = after(step.timeoutMs);
    for (;;) {
      if (unread() > 0) {
        fail(index, "expected the client to close, got " + quoteBytes(unreadView()));
        return false;
      }
      Read result = readMore(deadline);
      if (result == Read::data) continue;
      if (result == Read::closed) {
        closeConnection();
        return true;
      }
      if (result == Read::timedOut) {
        fail(index, "expected the client to close, the connection stayed open for " +
                        msText(step.timeoutMs));
        return false;
      }
      return failWaiting(index, step, "the client to close", result, "");
    }
  }
};

// ---- The server object ------------------------------------------------------

ScriptServer::ScriptServer(std::vector<Step> steps) : state_(std::make_shared<State>()) {
  State& state = *state_;
  state.steps = std::move(steps);
  std::string problem = state.open();
  if (!problem.empty()) {
    ADD_FAILURE() << "script server: " << problem;
    state.fail(0, problem);
    state.finish();
    return;
  }
  state.thread = std::thread([&state] {
    // TLS writes go through the socket without MSG_NOSIGNAL: a client that
    // has closed must not end the test process. The signal stays blocked,
    // and pending, in this thread only, so one the library raises still shows.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    state.play();
  });
}

ScriptServer::~ScriptServer() {
  State& state = *state_;
  if (state.wakeWrite >= 0) {
    char wake = 1;
    while (::write(state.wakeWrite, &wake, 1) < 0 && errno == EINTR) {
    }
  }
  if (state.thread.joinable()) state.thread.join();
  closeFd(state.connection);
  closeFd(state.listener);
  closeFd(state.wakeRead);
  closeFd(state.wakeWrite);
}

uint16_t ScriptServer::port() const { return state_->port; }

bool ScriptServer::finished(int timeoutMs) {
  std::unique_lock<std::mutex> guard(state_->lock);
  return state_->doneSignal.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [this] { return state_->done; });
}

std::string ScriptServer::received() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->received;
}

std::string ScriptServer::mismatches() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->mismatches;
}

int ScriptServer::connections() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->connections;
}

// ---- Listeners that never answer --------------------------------------------

// Fills the accept queue of a listener with a backlog of 0: connections are
// opened until one no longer completes, which shows the queue is full and
// further attempts wait for ever.
StalledListener::StalledListener() {
  listener_ = openBoundSocket(&port_);
  if (listener_ < 0 || ::listen(listener_, 0) != 0) {
    ADD_FAILURE() << "stalled listener: " << std::strerror(errno);
    return;
  }
  for (int i = 0; i < kFillerLimit; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    sockaddr_in address = loopbackAddress(port_);
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected && errno == EINPROGRESS) {
      pollfd watched{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      connected = ::poll(&watched, 1, kFillerWaitMs) == 1 &&
                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (!connected) {
      ::close(fd);
      if (!fillers_.empty()) return;
      break;
    }
    fillers_.push_back(fd);
  }
  ADD_FAILURE() << "stalled listener: its accept queue did not fill";
}

StalledListener::~StalledListener() {
  for (int& fd : fillers_) closeFd(fd);
  closeFd(listener_);
}

// The port stays bound (never listening) for the life of the program, so no
// other socket can take it between this call and the test's connect.
uint16_t refusedPort() {
  static const uint16_t port = [] {
    uint16_t bound = 0;
    if (openBoundSocket(&bound) < 0) ADD_FAILURE() << "refusedPort: " << std::strerror(errno);
    return bound;
  }();
  return port;
}

}  // namespace qel::test
