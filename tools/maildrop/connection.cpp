#include "connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace maildrop {
namespace {

constexpr size_t kBufferBytes = 64 * 1024;
// A client that streams this much without a line end after an overlong line
// is not talking SMTP or POP3.
constexpr size_t kMaxSkippedBytes = 1024 * 1024;
// How long a closing connection waits for the client's side to end.
constexpr int kLingerMilliseconds = 200;
constexpr size_t kMaxDrainedBytes = 1024 * 1024;

}  // namespace

Connection::Connection(int socketFd, int stopFd, int idleMilliseconds)
    : fd_(socketFd), stopFd_(stopFd), idleMilliseconds_(idleMilliseconds), buffer_(kBufferBytes) {}

// Closing a socket with unread input makes the kernel send a reset, which can
// destroy the farewell reply (421, -ERR) before the client reads it. So the
// sending side is shut first and what the client still sends is read away
// for a moment.
Connection::~Connection() {
  shutdown(fd_, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMilliseconds);
  size_t drained = 0;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd socket{fd_, POLLIN, 0};
    if (left.count() <= 0 || drained >= kMaxDrainedBytes || poll(&socket, 1, static_cast<int>(left.count())) <= 0)
      break;
    ssize_t got = recv(fd_, buffer_.data(), buffer_.size(), 0);
    if (got <= 0) break;
    drained += static_cast<size_t>(got);
  }
  close(fd_);
}

bool Connection::stopRequested() const {
  pollfd stop{stopFd_, POLLIN, 0};
  return poll(&stop, 1, 0) > 0;
}

// Waits until the socket is ready for events, the server stops, or the idle
// time-out passes. Stopping wins over a ready socket.
IoStatus Connection::waitFor(short events) {
  pollfd fds[2] = {{fd_, events, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    int ready = poll(fds, 2, idleMilliseconds_);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return IoStatus::Failed;
    if (ready == 0) return IoStatus::TimedOut;
    if (fds[1].revents != 0) return IoStatus::Stopped;
    return IoStatus::Ok;
  }
}

IoStatus Connection::fill() {
  if (start_ == end_) start_ = end_ = 0;
  if (end_ == buffer_.size()) {
    // Keep the unread bytes and make room behind them.
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    if (end_ == buffer_.size()) return IoStatus::TooLong;
  }
  IoStatus status = waitFor(POLLIN);
  if (status != IoStatus::Ok) return status;
  for (;;) {
    ssize_t got = recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
    if (got > 0) {
      end_ += static_cast<size_t>(got);
      return IoStatus::Ok;
    }
    if (got == 0) return IoStatus::Closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      status = waitFor(POLLIN);
      if (status != IoStatus::Ok) return status;
      continue;
    }
    return IoStatus::Failed;
  }
}

// Drops what is left of an overlong line, its line end included.
bool Connection::skipRestOfLine(IoStatus& status) {
  size_t skipped = 0;
  for (;;) {
    const char* lineEnd = static_cast<const char*>(std::memchr(buffered(), '\n', bufferedBytes()));
    if (lineEnd != nullptr) {
      consume(static_cast<size_t>(lineEnd - buffered()) + 1);
      skippingLine_ = false;
      return true;
    }
    skipped += bufferedBytes();
    consume(bufferedBytes());
    if (skipped > kMaxSkippedBytes) {
      status = IoStatus::Failed;
      return false;
    }
    status = fill();
    if (status != IoStatus::Ok) return false;
  }
}

IoStatus Connection::readLine(std::string& line, size_t maxBytes) {
  IoStatus status = IoStatus::Ok;
  if (skippingLine_ && !skipRestOfLine(status)) return status;
  size_t searched = 0;
  for (;;) {
    const char* data = buffered();
    const char* lineEnd = static_cast<const char*>(std::memchr(data + searched, '\n', bufferedBytes() - searched));
    if (lineEnd != nullptr) {
      size_t length = static_cast<size_t>(lineEnd - data);
      consume(length + 1);
      if (length > 0 && data[length - 1] == '\r') --length;
      if (length > maxBytes) return IoStatus::TooLong;
      line.assign(data, length);
      return IoStatus::Ok;
    }
    searched = bufferedBytes();
    // One more byte than the limit may be the CR of the line end.
    if (searched > maxBytes + 1) {
      consume(searched);
      skippingLine_ = true;
      return IoStatus::TooLong;
    }
    status = fill();
    if (status != IoStatus::Ok) return status;
    searched = std::min(searched, bufferedBytes());
  }
}

bool Connection::write(const char* data, size_t count) {
  size_t sent = 0;
  while (sent < count) {
    ssize_t wrote = send(fd_, data + sent, count - sent, MSG_NOSIGNAL);
    if (wrote > 0) {
      sent += static_cast<size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (waitFor(POLLOUT) != IoStatus::Ok) return false;
      continue;
    }
    return false;
  }
  return true;
}

void Connection::writeBestEffort(const std::string& text) {
  ssize_t ignored = send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)ignored;
}

}  // namespace maildrop
