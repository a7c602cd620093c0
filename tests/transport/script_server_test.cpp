// The scripted loopback server itself, driven by plain POSIX client sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/script_server.h"

using namespace qel::test;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadWaitMs = 10000;  // bound on every read of the test client

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A blocking client socket on 127.0.0.1 whose reads all have a bound.
class Client {
 public:
  explicit Client(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = loopback(port);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << errno;
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  int fd() const { return fd_; }

  void send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(sent, 0) << errno;
      done += static_cast<std::size_t>(sent);
    }
  }
  void endSending() { ::shutdown(fd_, SHUT_WR); }

  // Reads until count bytes arrived, the server closed, or the wait ran out.
  std::string read(std::size_t count, int timeoutMs = kReadWaitMs) {
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (got.size() < count && !closed_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd watched{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&watched, 1, static_cast<int>(left.count())) != 1) break;
      ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
      if (n <= 0) closed_ = true;
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  std::string readToClose(int timeoutMs = kReadWaitMs) {
    return read(std::string::npos, timeoutMs);
  }

  // Whatever is waiting right now, without waiting for more.
  std::string readWaiting() {
    std::string got;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  bool waitReadable(int timeoutMs) {
    pollfd watched{fd_, POLLIN, 0};
    return ::poll(&watched, 1, timeoutMs) == 1;
  }
  bool closed() const { return closed_; }

 private:
  int fd_;
  bool closed_ = false;
};

// Printable lines with a little variety, so a lost or moved byte shows.
std::string bulkLines(std::size_t bytes) {
  std::string out;
  out.reserve(bytes + 80);
  uint32_t seed = 12345;
  while (out.size() < bytes) {
    for (int i = 0; i < 76; ++i) {
      seed = seed * 1103515245u + 12345u;
      out += static_cast<char>('A' + (seed >> 16) % 26);
    }
    out += "\r\n";
  }
  return out;
}

TEST(ScriptServer, PlaysDialogueAndRecordsTranscript) {
  ScriptServer server({
      Send("220 mail.test ESMTP\r\n"),
      ExpectLine("HELO example.org"),
      Send("250 mail.test\r\n"),
      ExpectLine("QUIT"),
      Send("221 bye\r\n"),
      Close(),
  });
  Client client(server.port());
  EXPECT_EQ(client.read(21), "220 mail.test ESMTP\r\n");
  client.send("HELO example.org\r\n");
  EXPECT_EQ(client.read(15), "250 mail.test\r\n");
  client.send("QUIT\r\n");
  EXPECT_EQ(client.readToClose(), "221 bye\r\n");
  EXPECT_TRUE(client.closed());
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.received(), "HELO example.org\r\nQUIT\r\n");
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_EQ(server.connections(), 1);
}

// A failed expectation stops the script and closes the connection: the client
// gets what was sent before it, then a close, and never the later steps.
TEST(ScriptServer, ReportsMismatchAndClosesConnection) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::string clientSends;
    bool clientEndsSending;
    std::string reply;
    std::string mismatch;
  };
  const std::vector<Case> cases = {
      {"wrong line", {ExpectLine("HELO a"), Send("250\r\n"), ExpectLine("QUIT"), Send("221\r\n")},
       "HELO a\r\nRSET\r\n", false, "250\r\n", "step 2: expected line 'QUIT', got 'RSET'"},
      {"bare LF", {ExpectLine("QUIT"), Send("221\r\n")}, "QUIT\n", false, "",
       "step 0: expected line 'QUIT', got 'QUIT' ending in a bare LF"},
      {"prefix", {ExpectPrefix("MAIL FROM:")}, "RCPT TO:<a@b>\r\n", false, "",
       "step 0: expected a line beginning 'MAIL FROM:', got 'RCPT TO:<a@b>'"},
      {"control bytes quoted", {ExpectLine("A")}, "\x01\xff\tB\r\n", false, "",
       "step 0: expected line 'A', got '\\x01\\xFF\\x09B'"},
      {"closed mid-line", {ExpectLine("QUIT")}, "QU", true, "",
       "step 0: expected line 'QUIT', the client closed the connection after 'QU'"},
      {"line time-out", {Send("+OK\r\n"), ExpectLine("USER a", 200)}, "", false, "+OK\r\n",
       "step 1: expected line 'USER a', nothing arrived within 200 ms"},
      {"bytes time-out", {ExpectBytes(5, 200)}, "abc", false, "",
       "step 0: expected 5 bytes, only 'abc' arrived within 200 ms"},
      {"terminator never came", {ExpectUntil("\r\n.\r\n")}, "body\r\n", true, "",
       "step 0: expected '\\r\\n.\\r\\n', the client closed the connection after 6 bytes without it"},
      {"data instead of close", {ExpectClose(2000)}, "NOOP\r\n", false, "",
       "step 0: expected the client to close, got 'NOOP\\r\\n'"},
      {"open instead of close", {ExpectClose(200)}, "", false, "",
       "step 0: expected the client to close, the connection stayed open for 200 ms"},
      {"no connection", {Close(), Send("x")}, "", false, "",
       "step 1: no open connection (an Accept step is missing)"},
      {"bad cuts", {SendSplit("abc", {2, 1})}, "", false, "",
       "step 0: cut 1 does not rise within the 3 bytes to send"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.steps);
    Client client(server.port());
    client.send(c.clientSends);
    if (c.clientEndsSending) client.endSending();
    EXPECT_EQ(client.readToClose(), c.reply);
    EXPECT_TRUE(client.closed());
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), c.mismatch);
    EXPECT_EQ(server.received(), c.clientSends);
  }
}

TEST(ScriptServer, ReportsAClientThatNeverConnects) {
  ScriptServer first({Accept(200), Send("x")});
  ASSERT_TRUE(first.finished(5000));
  EXPECT_EQ(first.mismatches(), "step 0: no connection within 200 ms");
  EXPECT_EQ(first.connections(), 0);

  ScriptServer second({Close(), Accept(200)});
  { Client client(second.port()); }
  ASSERT_TRUE(second.finished(5000));
  EXPECT_EQ(second.mismatches(), "step 1: no connection within 200 ms");
  EXPECT_EQ(second.connections(), 1);
}

// Every reader must find its text however the client's bytes are cut, so the
// same stream is sent split at every position.
TEST(ScriptServer, ReadersFindTheirTextAcrossEverySplit) {
  const std::string stream = "HELO a\r\nbody\r\n.\rx\r\n.\r\nxyzQUIT\r\n";
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    ScriptServer server({ExpectLine("HELO a"), ExpectUntil("\r\n.\r\n"), ExpectBytes(3),
                         ExpectLine("QUIT"), Send("ok\r\n")});
    Client client(server.port());
    client.send(stream.substr(0, cut));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // lets the first part arrive alone
    client.send(stream.substr(cut));
    EXPECT_EQ(client.readToClose(), "ok\r\n");
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(server.received(), stream);
  }
}

TEST(ScriptServer, SplitSendArrivesAsSeparateSegments) {
  const std::vector<std::string> segments = {"+OK", " one\r\n", "+OK two\r\n"};
  ScriptServer server({SendSplit(segments[0] + segments[1] + segments[2], {3, 9}, 400), Close()});
  Client client(server.port());
  for (const std::string& segment : segments) {
    ASSERT_TRUE(client.waitReadable(kReadWaitMs));
    EXPECT_EQ(client.readWaiting(), segment);
  }
  EXPECT_EQ(client.readToClose(), "");
  EXPECT_TRUE(client.closed());
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

// A whole mail body of tens of megabytes in each direction, with the commands
// around it still read in order.
TEST(ScriptServer, MovesTensOfMegabytesBothWays) {
  const std::string body = bulkLines(30 * 1024 * 1024);
  const std::string download = bulkLines(25 * 1024 * 1024);
  ScriptServer server({
      ExpectLine("DATA"),
      ExpectUntil("\r\n.\r\n", 60000),
      SendInPieces(download, 1024 * 1024, 0),
      ExpectLine("QUIT"),
      Send("221 bye\r\n"),
  });
  const std::string sent = "DATA\r\n" + body + ".\r\nQUIT\r\n";
  Client client(server.port());
  client.send(sent);
  std::string got = client.readToClose(60000);
  EXPECT_TRUE(client.closed());
  ASSERT_EQ(got.size(), download.size() + 9);
  EXPECT_TRUE(got == download + "221 bye\r\n");
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_TRUE(server.received() == sent);
}

TEST(ScriptServer, AcceptsFurtherConnectionsAfterAClose) {
  ScriptServer server({ExpectLine("A"), Send("1\r\n"), ExpectClose(), Accept(), ExpectLine("B"),
                       Send("2\r\n")});
  {
    Client first(server.port());
    first.send("A\r\n");
    EXPECT_EQ(first.read(3), "1\r\n");
  }
  Client second(server.port());
  second.send("B\r\n");
  EXPECT_EQ(second.readToClose(), "2\r\n");
  EXPECT_TRUE(second.closed());  // the end of the script closes the connection
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_EQ(server.received(), "A\r\nB\r\n");
  EXPECT_EQ(server.connections(), 2);
}

TEST(ScriptServer, SilentKeepsConnectionOpenUntilDestroyed) {
  auto server = std::make_unique<ScriptServer>(std::vector<Step>{Send("+OK\r\n"), Silent()});
  Client client(server->port());
  EXPECT_EQ(client.read(5), "+OK\r\n");
  ASSERT_TRUE(server->finished(5000));
  client.send("USER a\r\n");
  EXPECT_FALSE(client.waitReadable(300));  // neither an answer nor a close
  EXPECT_EQ(server->received(), "");
  EXPECT_EQ(server->mismatches(), "");
  server.reset();
  EXPECT_EQ(client.readToClose(), "");
  EXPECT_TRUE(client.closed());
}

// Destruction wakes the server wherever it waits. Its own waits here are a
// minute long (the first accept 10 s), so a destructor that waited for them
// would take far longer than the bound.
TEST(ScriptServer, DestructionDoesNotWaitForTheScript) {
  constexpr int kLongMs = 60000;
  constexpr auto kBound = std::chrono::milliseconds(5000);
  Step stuckSend = Send(bulkLines(32 * 1024 * 1024));
  stuckSend.timeoutMs = kLongMs;
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool connect;
  };
  const std::vector<Case> cases = {
      {"first accept", {ExpectLine("x", kLongMs)}, false},
      {"further accept", {Close(), Accept(kLongMs)}, true},
      {"client says nothing", {ExpectLine("x", kLongMs)}, true},
      {"pausing", {Pause(kLongMs)}, true},
      {"between segments", {SendSplit("ab", {1}, kLongMs)}, true},
      {"client never reads", {stuckSend}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = std::make_unique<ScriptServer>(c.steps);
    std::unique_ptr<Client> client;
    if (c.connect) client = std::make_unique<Client>(server->port());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // lets the server reach its wait
    EXPECT_FALSE(server->finished(0));
    auto start = Clock::now();
    server.reset();
    EXPECT_LT(Clock::now() - start, kBound);
  }
}

TEST(StalledListener, ConnectionAttemptNeverCompletes) {
  StalledListener stalled;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in address = loopback(stalled.port());
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(errno, EINPROGRESS);
  pollfd watched{fd, POLLOUT, 0};
  EXPECT_EQ(::poll(&watched, 1, 500), 0);
  ::close(fd);
}

TEST(RefusedPort, ConnectionIsRefused) {
  uint16_t port = refusedPort();
  ASSERT_NE(port, 0);
  EXPECT_EQ(refusedPort(), port);
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  ::close(fd);
}

}  // namespace
