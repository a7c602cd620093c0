// A scripted loopback server for protocol tests.
//
// A dialogue is a list of steps played in order on a TCP listener bound to
// 127.0.0.1 on an ephemeral port, in a thread of its own. The server records
// every byte the client sends, so a test asserts the exact transcript:
//
//   ScriptServer server({
//       Send("220 mail.test ESMTP\r\n"),
//       ExpectLine("HELO example.org"),
//       Send("250 mail.test\r\n"),
//       ExpectLine("QUIT"),
//       Send("221 bye\r\n"),
//       Close(),
//   });
//   ... drive the library against server.port() ...
//   ASSERT_TRUE(server.finished(5000));
//   EXPECT_EQ(server.received(), "HELO example.org\r\nQUIT\r\n");
//   EXPECT_EQ(server.mismatches(), "");
//
// Every wait of the server is bounded (a step that waits for the client gives
// up after its time-out), so a broken client fails the test instead of
// hanging it.
//
// How a dialogue is played:
// - the first connection is accepted (within 10 s) before the first step,
//   unless that step is an Accept itself; Accept() takes a further one and
//   closes the previous connection if it is still open;
// - an expectation that fails (wrong text, time-out, connection closed, a
//   line ending in a bare LF) stops the script and closes the connection, so
//   the client sees a closed connection instead of waiting; so does a send
//   the client stops taking for timeoutMs or refuses (it closed);
// - when the last step has been played the connection is closed, unless the
//   script went silent: Silent() keeps it open, unread, until the server is
//   destroyed;
// - steps are numbered from 0 in mismatches(), as indexes into the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qel::test {

struct Step {
  enum class Kind {
    accept,        // accept the next connection (implicit before the first step)
    send,          // send bytes, optionally as several segments with pauses
    expectLine,    // read one line (through LF); compare it without its CR LF
    expectPrefix,  // read one line; it must begin with the text
    expectUntil,   // read until the text has arrived (for example "\r\n.\r\n")
    expectBytes,   // read exactly count bytes
    expectClose,   // wait until the client closes the connection
    pause,         // sleep
    close,         // close the connection
    reset,         // drop the connection with a reset (RST), unread bytes discarded
    silent,        // keep the connection open, never answer; ends the script
    startTls,      // TLS handshake as the server with certificate text (see below);
                   // everything after it goes through TLS until the connection closes
    readPieces,    // from now on, receive at most count bytes per read
  };
  Kind kind = Kind::send;
  std::string text;                // bytes to send, line or prefix or terminator
  std::vector<std::size_t> cuts;   // send: segment boundaries (offsets into text)
  std::size_t pieceSize = 0;       // send: or fixed-size segments (when there are no cuts)
  int pauseMs = 0;                 // send: pause between segments; pause: its length
  std::size_t count = 0;           // expectBytes
  int timeoutMs = 10000;           // expect*, accept: how long to wait for the client;
                                   // send: how long it may stop taking bytes
  bool mustFail = false;           // startTls: the client must abort the handshake
  std::string filler;              // send: then sent over and over for fillMs
  int fillMs = 0;
};

// Step constructors.
Step Send(std::string bytes);
// Sends bytes as segments ending at the given offsets, pausing between them.
Step SendSplit(std::string bytes, std::vector<std::size_t> cuts, int pauseMs = 50);
// Sends bytes in segments of pieceSize bytes, pausing between them.
Step SendInPieces(std::string bytes, std::size_t pieceSize, int pauseMs = 5);
// Sends head, then filler over and over, as fast as the client takes it,
// for fillMs: a stream that never stops while the client reads.
Step SendEndless(std::string head, std::string filler, int fillMs);
Step ExpectLine(std::string line, int timeoutMs = 10000);
Step ExpectPrefix(std::string prefix, int timeoutMs = 10000);
Step ExpectUntil(std::string terminator, int timeoutMs = 10000);
Step ExpectBytes(std::size_t count, int timeoutMs = 10000);
Step ExpectClose(int timeoutMs = 10000);
Step Pause(int ms);
Step Close();
Step Reset();
Step Silent();
Step Accept(int timeoutMs = 10000);
// A TLS handshake with the test certificate certName (make_test_certs.sh:
// "server", "other", "expired", "untrusted", "wildcard"). The transcript
// holds what the client sent inside TLS, in clear.
Step StartTls(std::string certName = "server", int timeoutMs = 10000);
// A TLS handshake that the client must abort (it refuses the certificate);
// the script ends there.
Step TlsRefused(std::string certName, int timeoutMs = 10000);
// Receives what follows in reads of at most count bytes (with a small
// receive buffer), so the client's large writes arrive in many pieces.
Step ReadInPieces(std::size_t count);

class ScriptServer {
 public:
  // Binds 127.0.0.1 on an ephemeral port and starts playing the steps.
  explicit ScriptServer(std::vector<Step> steps);
  // Stops the thread and closes every socket (bounded: never hangs).
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  uint16_t port() const;

  // Waits until every step has been played (or the script stopped on a
  // mismatch or a time-out). True when it ended within timeoutMs.
  bool finished(int timeoutMs = 10000);

  // Every byte the client has sent so far, over all connections.
  std::string received() const;

  // Description of every expectation that failed ("" when none), for
  // example "step 3: expected line 'QUIT', got 'RSET'".
  std::string mismatches() const;

  // Number of connections accepted so far.
  int connections() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A listener on 127.0.0.1 whose backlog is full and which never accepts:
// a connection attempt to it never completes. For connect time-out tests.
class StalledListener {
 public:
  StalledListener();
  ~StalledListener();
  StalledListener(const StalledListener&) = delete;
  StalledListener& operator=(const StalledListener&) = delete;
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
uint16_t refusedPort();

}  // namespace qel::test
