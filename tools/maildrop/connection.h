// One client connection: buffered reading of bounded lines and of raw data,
// and complete writes, every wait bounded by the idle time-out and cut short
// when the server is told to stop.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace maildrop {

enum class IoStatus {
  Ok,
  TooLong,   // the line passed its limit; the rest of it is skipped on the next read
  Closed,    // the client closed the connection
  TimedOut,  // nothing came for the idle time-out
  Stopped,   // the server is stopping
  Failed,    // a socket error
};

class Connection {
 public:
  // Takes over the socket; stopFd turns readable when the server stops.
  Connection(int socketFd, int stopFd, int idleMilliseconds);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Reads one line into line, without its line end (CR LF, or a bare LF from
  // lenient clients). A line longer than maxBytes gives TooLong.
  IoStatus readLine(std::string& line, size_t maxBytes);

  // Waits for more bytes and adds them to the buffer.
  IoStatus fill();
  const char* buffered() const { return buffer_.data() + start_; }
  size_t bufferedBytes() const { return end_ - start_; }
  void consume(size_t count) { start_ += count; }

  // Sends all bytes; false when the client went away, stalled or the server
  // is stopping.
  bool write(const char* data, size_t count);
  bool write(const std::string& text) { return write(text.data(), text.size()); }
  // One send attempt without waiting: the farewell line when the server
  // stops or the client has stalled.
  void writeBestEffort(const std::string& text);

  bool stopRequested() const;

 private:
  IoStatus waitFor(short events);
  bool skipRestOfLine(IoStatus& status);

  int fd_;
  int stopFd_;
  int idleMilliseconds_;
  std::vector<char> buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool skippingLine_ = false;
};

}  // namespace maildrop
