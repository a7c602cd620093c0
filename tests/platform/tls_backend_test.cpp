// The TLS backend against the scripted server's TLS side: which
// certificates and names it accepts, and decrypted bytes held inside the
// session after a receive.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>

#include "platform/platform.h"
#include "platform/tls.h"
#include "support/script_server.h"
#include "support/tls_server_side.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;
constexpr int kStepLimitMs = 5000;

// A connected client socket with a TLS session on it.
struct Client {
  plat::SocketHandle socket = 0;
  plat::TlsSession* session = nullptr;
  std::string createReason;
  bool caFileFailed = false;

  Client(uint16_t port, const char* name, bool verify, const std::string& caFile) {
    EXPECT_EQ(plat::socketOpen(&socket), 0);
    EXPECT_EQ(plat::socketConnect(socket, kLoopback, port), 0);
    plat::TlsOptions options{name, verify, caFile.c_str(), kStepLimitMs};
    char reason[200] = "";
    session = plat::tlsCreate(socket, options, reason, sizeof reason, &caFileFailed);
    createReason = reason;
  }
  ~Client() {
    if (session != nullptr) {
      plat::tlsCloseNotify(session);
      plat::tlsFree(session);
    }
    plat::socketClose(socket, 0);
  }

  // Steps the handshake until it ends, waiting on the socket in between.
  plat::TlsStep handshake() {
    for (int rounds = 0; rounds < 1000; ++rounds) {
      plat::TlsStep step = plat::tlsHandshakeStep(session);
      if (step != plat::TlsStep::wantRead && step != plat::TlsStep::wantWrite) return step;
      short events = step == plat::TlsStep::wantRead ? POLLIN : POLLOUT;
      pollfd watched{static_cast<int>(socket), events, 0};
      ::poll(&watched, 1, kStepLimitMs);
    }
    return plat::TlsStep::failed;
  }

  std::string reason() {
    char text[200] = "";
    plat::tlsReason(session, text, sizeof text);
    return text;
  }
};

TEST(TlsBackend, CertificatesAndNames) {
  const std::string ca = testCertFile("ca.pem");
  using plat::TlsStep;
  struct Case {
    const char* cert;
    const char* name;
    bool verify;
    std::string caFile;
    TlsStep expected;
    const char* reason;  // part of the reason, for refusals
  } cases[] = {
      {"server", "localhost", true, ca, TlsStep::done, ""},
      {"server", "LocalHost", true, ca, TlsStep::done, ""},  // names compare case-blind
      {"server", "127.0.0.1", true, ca, TlsStep::done, ""},  // IP address against the IP SAN
      {"server", "127.0.0.2", true, ca, TlsStep::nameMismatch, "IP address mismatch"},
      {"other", "localhost", true, ca, TlsStep::nameMismatch, "hostname mismatch"},
      {"other", "127.0.0.1", true, ca, TlsStep::nameMismatch, "IP address mismatch"},
      {"expired", "localhost", true, ca, TlsStep::untrusted, "expired"},
      {"untrusted", "localhost", true, ca, TlsStep::untrusted, "local issuer"},
      {"server", "localhost", true, "", TlsStep::untrusted, "local issuer"},  // test CA not in the system store
      {"untrusted", "other.test", false, "", TlsStep::done, ""},            // check off
      {"expired", "localhost", false, ca, TlsStep::done, ""},
      {"wildcard", "mail.example.test", true, ca, TlsStep::done, ""},
      {"wildcard", "a.mail.example.test", true, ca, TlsStep::nameMismatch, "hostname"},  // one label only
      {"wildcard", "example.test", true, ca, TlsStep::nameMismatch, "hostname"},
      {"wildcard", "foo.partial.test", true, ca, TlsStep::nameMismatch, "hostname"},  // no partial labels
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " as " + c.name);
    bool accepted = c.expected == TlsStep::done;
    ScriptServer server({accepted ? StartTls(c.cert) : TlsRefused(c.cert), ExpectLine("PING"),
                         Send("PONG\r\n"), ExpectClose()});
    {
      Client client(server.port(), c.name, c.verify, c.caFile);
      ASSERT_NE(client.session, nullptr) << client.createReason;
      EXPECT_EQ(client.handshake(), c.expected);
      EXPECT_NE(client.reason().find(accepted ? "TLSv1." : c.reason), std::string::npos) << client.reason();
      if (accepted) {
        EXPECT_EQ(plat::tlsSend(client.session, "PING\r\n", 6), 6);
        char reply[16] = "";
        int32_t got = 0;
        for (int i = 0; i < 500 && got == 0; ++i) {
          if (plat::tlsReadable(client.session) == 0) plat::sleepMs(10);
          got = plat::tlsReceive(client.session, reply, sizeof reply - 1);
        }
        EXPECT_EQ(std::string(reply, got > 0 ? got : 0), "PONG\r\n");
      }
    }
    ASSERT_TRUE(server.finished());
    EXPECT_EQ(server.mismatches(), "");
  }
}

TEST(TlsBackend, BytesHeldInsideTheSessionCountAsReadable) {
  ScriptServer server({StartTls(), Send("+OK one\r\n+OK two\r\n"), ExpectClose()});
  Client client(server.port(), "localhost", true, testCertFile("ca.pem"));
  ASSERT_EQ(client.handshake(), plat::TlsStep::done);
  char first[8] = "";
  int32_t got = 0;
  for (int i = 0; i < 500 && got == 0; ++i) {
    if (plat::tlsReadable(client.session) == 0) plat::sleepMs(10);
    got = plat::tlsReceive(client.session, first, 5);
  }
  ASSERT_EQ(got, 5);
  // The rest of the record is decrypted and held: the socket shows nothing.
  EXPECT_EQ(plat::socketReady(client.socket, plat::Readiness::readable), 0);
  EXPECT_EQ(plat::tlsPending(client.session), 13);
  EXPECT_EQ(plat::tlsReadable(client.session), 1);
  char rest[32] = "";
  EXPECT_EQ(plat::tlsReceive(client.session, rest, sizeof rest), 13);
  EXPECT_EQ(plat::tlsReadable(client.session), 0);
}

TEST(TlsBackend, RefusalsBeforeAndDuringTheHandshake) {
  {  // a CA file that cannot be read
    ScriptServer server({Close()});
    Client client(server.port(), "localhost", true, testCertFile("missing.pem"));
    EXPECT_EQ(client.session, nullptr);
    EXPECT_TRUE(client.caFileFailed);
    EXPECT_FALSE(client.createReason.empty());
  }
  struct Case {
    const char* what;
    std::vector<Step> script;
  } cases[] = {
      {"closed mid-handshake", {ExpectBytes(5), Close()}},
      {"garbage instead of a handshake", {ExpectBytes(5), Send("220 ready when you are\r\n"), ExpectClose()}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer server(std::move(c.script));
    Client client(server.port(), "localhost", true, testCertFile("ca.pem"));
    ASSERT_NE(client.session, nullptr);
    EXPECT_EQ(client.handshake(), plat::TlsStep::failed);
    EXPECT_FALSE(client.reason().empty());
  }
}

}  // namespace
