// SMTP over TLS: STARTTLS in each mode with a fresh EHLO after the
// handshake, implicit TLS, and every refusal: nothing but what the
// transcript shows leaves the client, credentials above all.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "qel32.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"
#include "support/tls_server_side.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr char kEhlo[] = "EHLO example.org";
constexpr char kOffer[] = "250-mail.test\r\n250-AUTH LOGIN\r\n250 STARTTLS\r\n";
constexpr char kOfferNoTls[] = "250-mail.test\r\n250 AUTH LOGIN\r\n";
// AUTH LOGIN as user "u" with password "p".
constexpr char kLoginTranscript[] = "AUTH LOGIN\r\ndQ==\r\ncA==\r\n";

std::vector<Step> authLogin() {
  return {ExpectLine("AUTH LOGIN"), Send("334 VXNlcm5hbWU6\r\n"), ExpectLine("dQ=="), Send("334 UGFzc3dvcmQ6\r\n"),
          ExpectLine("cA=="), Send("235 ok\r\n")};
}

// Greeting, EHLO offering STARTTLS, its go-ahead.
std::vector<Step> upToGoAhead() {
  return {Send("220 mail.test ESMTP\r\n"), ExpectLine(kEhlo), Send(kOffer), ExpectLine("STARTTLS"),
          Send("220 go ahead\r\n")};
}

class SmtpTls : public ::testing::Test {
 protected:
  Attached lib{2};
  TempDir dir;

  // Connects channel 0 with the mode, as user "u" (AUTH when useEsmtp),
  // trusting the test CA; the log goes to dir/log.
  int32_t connect(const ScriptServer& server, int32_t mode, int32_t useEsmtp = 1, int32_t verify = 1) {
    qelStringParam(0, QEL_STRING_LOG_FILE, dir.file("log").c_str());
    qelIntegerParam(0, QEL_PARAM_TLS_MODE, mode);
    qelIntegerParam(0, QEL_PARAM_TLS_VERIFY, verify);
    qelStringParam(0, QEL_STRING_CA_FILE, testCertFile("ca.pem").c_str());
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, useEsmtp);
    qelStringParam(0, QEL_STRING_USER, "u");
    qelStringParam(0, QEL_STRING_PASSWORD, "p");
    return connectTo(server);
  }

  std::string errorText(int32_t code) {
    char text[300];
    qelErrorText(0, code, text, sizeof text);
    return text;
  }
};

TEST_F(SmtpTls, ModesAndRefusals) {
  const std::string hello = std::string(kEhlo) + "\r\n";
  const std::string throughTls = hello + "STARTTLS\r\n" + hello;
  const struct {
    const char* name;
    int32_t mode;
    int32_t useEsmtp;
    int32_t verify;
    std::vector<Step> script;
    int32_t result;
    std::string transcript;
    const char* detail;  // in the error text (failures) or in the log (successes)
  } cases[] = {
      // The AUTH offer is taken from the EHLO after the handshake only.
      {"required", QEL_TLS_STARTTLS, 1, 1,
       steps({upToGoAhead(), {StartTls(), ExpectLine(kEhlo), Send(kOfferNoTls)}, authLogin()}), 0,
       throughTls + kLoginTranscript, "certificate checked"},
      // STARTTLS implies EHLO, also without useEsmtp, and no AUTH follows.
      {"required without ESMTP", QEL_TLS_STARTTLS, 0, 1,
       steps({upToGoAhead(), {StartTls(), ExpectLine(kEhlo), Send("250 mail.test\r\n")}}), 0, throughTls,
       "TLS established: TLSv1."},
      {"implicit", QEL_TLS_IMPLICIT, 0, 1,
       {StartTls(), Send("220 mail.test ESMTP\r\n"), ExpectLine(kHello), Send("250 mail.test\r\n")}, 0,
       std::string(kHello) + "\r\n", "certificate checked"},
      {"check off", QEL_TLS_IMPLICIT, 0, 0,
       {StartTls("untrusted"), Send("220 mail.test\r\n"), ExpectLine(kHello), Send("250 mail.test\r\n")}, 0,
       std::string(kHello) + "\r\n", "certificate NOT checked"},
      {"optional, not offered", QEL_TLS_STARTTLS_OPTIONAL, 1, 1,
       steps({{Send("220 mail.test\r\n"), ExpectLine(kEhlo), Send(kOfferNoTls)}, authLogin()}), 0,
       hello + kLoginTranscript, "No TLS (STARTTLS not in the EHLO reply): going on in clear"},
      {"optional, refused", QEL_TLS_STARTTLS_OPTIONAL, 1, 1,
       steps({{Send("220 mail.test\r\n"), ExpectLine(kEhlo), Send(kOffer), ExpectLine("STARTTLS"),
               Send("454 not now\r\n"), ExpectLine(kEhlo), Send(kOfferNoTls)},
              authLogin()}),
       0, hello + "STARTTLS\r\n" + hello + kLoginTranscript, "No TLS (454 not now)"},
      // A proxy that strips STARTTLS from the reply gets no credentials.
      {"required, stripped", QEL_TLS_STARTTLS, 1, 1,
       {Send("220 mail.test\r\n"), ExpectLine(kEhlo), Send(kOfferNoTls), ExpectClose()}, QEL_ERR_TLS_NOT_OFFERED,
       hello, "Server does not offer TLS. STARTTLS not in the EHLO reply"},
      {"required, refused", QEL_TLS_STARTTLS, 1, 1,
       {Send("220 mail.test\r\n"), ExpectLine(kEhlo), Send(kOffer), ExpectLine("STARTTLS"),
        Send("554 no TLS for you\r\n"), ExpectClose()},
       QEL_ERR_TLS_NOT_OFFERED, hello + "STARTTLS\r\n", "Server does not offer TLS. 554 no TLS for you"},
      {"another name", QEL_TLS_STARTTLS, 1, 1, steps({upToGoAhead(), {TlsRefused("other")}}),
       QEL_ERR_TLS_NAME_MISMATCH, hello + "STARTTLS\r\n", "not for this server name. IP address mismatch"},
      {"untrusted CA", QEL_TLS_STARTTLS, 1, 1, steps({upToGoAhead(), {TlsRefused("untrusted")}}),
       QEL_ERR_TLS_UNTRUSTED, hello + "STARTTLS\r\n", "not trusted. unable to get local issuer certificate"},
      {"expired", QEL_TLS_IMPLICIT, 1, 1, {TlsRefused("expired")}, QEL_ERR_TLS_UNTRUSTED, "",
       "not trusted. certificate has expired"},
      {"closed mid-handshake", QEL_TLS_STARTTLS, 1, 1, steps({upToGoAhead(), {ExpectBytes(5), Close()}}),
       QEL_ERR_TLS_HANDSHAKE, hello + "STARTTLS\r\n", "TLS handshake failed. "},
      {"garbage instead of a handshake", QEL_TLS_STARTTLS, 1, 1,
       steps({upToGoAhead(), {ExpectBytes(5), Send("250 ok\r\n")}}), QEL_ERR_TLS_HANDSHAKE,
       hello + "STARTTLS\r\n", "TLS handshake failed. "},
      // Bytes behind the go-ahead would pass for the first answer in TLS.
      {"clear text after the go-ahead", QEL_TLS_STARTTLS, 1, 1,
       {Send("220 mail.test\r\n"), ExpectLine(kEhlo), Send(kOffer), ExpectLine("STARTTLS"),
        Send("220 go ahead\r\n250-AUTH LOGIN\r\n250 ok\r\n"), ExpectClose()},
       QEL_ERR_TLS_HANDSHAKE, hello + "STARTTLS\r\n", "TLS handshake failed. data in clear after the go-ahead"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.script);
    int32_t result = connect(server, c.mode, c.useEsmtp, c.verify);
    EXPECT_EQ(result, c.result);
    if (c.result < 0) {
      EXPECT_NE(errorText(c.result).find(c.detail), std::string::npos) << errorText(c.result);
    }
    qelAbort(0);
    ASSERT_TRUE(server.finished());
    EXPECT_EQ(server.mismatches(), "");
    // Where the handshake itself failed, the start of the client's hello
    // follows the clear part.
    std::string sent = server.received();
    if (c.result == QEL_ERR_TLS_HANDSHAKE) sent = sent.substr(0, c.transcript.size());
    EXPECT_EQ(sent, c.transcript);
    if (c.result == 0) {
      EXPECT_NE(readFile(dir.file("log")).find(c.detail), std::string::npos);
    }
  }
}

TEST_F(SmtpTls, MessageGoesOutThroughTls) {
  ScriptServer server(steps({upToGoAhead(), {StartTls(), ExpectLine(kEhlo), Send("250 mail.test\r\n")},
                             {ExpectLine("MAIL FROM:<ann@example.org>"), Send("250 ok\r\n"),
                              ExpectLine("RCPT TO:<bob@example.net>"), Send("250 ok\r\n"), ExpectLine("DATA"),
                              Send("354 go\r\n"), ExpectUntil("\r\n.\r\n"), Send("250 queued\r\n")},
                             quit()}));
  ASSERT_EQ(connect(server, QEL_TLS_STARTTLS, 0), 0);
  std::string body(5000, 'x');
  EXPECT_EQ(qelSendEmail(0, "Bob <bob@example.net>", nullptr, nullptr, "over TLS", body.c_str(), nullptr), 0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished());
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_NE(server.received().find("Subject: over TLS\r\n"), std::string::npos);
}

// Eight channels, each with its own implicit-TLS server, driven from one
// thread with autoCall 0: every handshake goes one step per call.
TEST(TlsChannels, EightDrivenFromOneThread) {
  constexpr int kChannels = 8;
  Attached lib{kChannels};
  std::vector<std::unique_ptr<ScriptServer>> servers;
  for (int i = 0; i < kChannels; ++i) {
    servers.push_back(std::make_unique<ScriptServer>(
        std::vector<Step>{StartTls(), Send("220 mail.test\r\n"), ExpectLine(kHello), Send("250 mail.test\r\n"),
                          ExpectLine("QUIT"), Send("221 bye\r\n"), ExpectClose()}));
    qelIntegerParam(i, QEL_PARAM_AUTO_CALL, 0);
    qelIntegerParam(i, QEL_PARAM_TLS_MODE, QEL_TLS_IMPLICIT);
    qelStringParam(i, QEL_STRING_CA_FILE, testCertFile("ca.pem").c_str());
    ASSERT_EQ(connectTo(*servers[i], kFrom, i), 0);
  }
  // Connect, then QUIT, on all channels at once.
  for (int phase = 0; phase < 2; ++phase) {
    int results[kChannels];
    bool running[kChannels];
    for (int i = 0; i < kChannels; ++i) running[i] = true;
    for (int rounds = 0, left = kChannels; left > 0 && rounds < 2000000; ++rounds) {
      for (int i = 0; i < kChannels; ++i) {
        if (!running[i]) continue;
        int32_t rc = qelDriver(i);
        if (rc <= 0) {
          results[i] = rc;
          running[i] = false;
          --left;
        }
      }
    }
    for (int i = 0; i < kChannels; ++i) {
      EXPECT_FALSE(running[i]) << "channel " << i;
      EXPECT_EQ(results[i], 0) << "channel " << i;
      if (phase == 0) {
        EXPECT_EQ(qelClose(i), 0);
      }
    }
  }
  for (auto& server : servers) {
    ASSERT_TRUE(server->finished());
    EXPECT_EQ(server->mismatches(), "");
  }
}

}  // namespace
