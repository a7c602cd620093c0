// Negotiated POP3 login: CAPA after the greeting, AUTH (RFC 5034) with the
// mechanism chosen from the SASL line, the fallbacks to APOP and USER/PASS,
// and the refusals, as exact transcripts; CAPA again after STLS.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "pop3_session.h"
#include "sasl/sasl.h"
#include "support/tls_server_side.h"
#include "../platform/digest_vectors.h"

using namespace qel;
using namespace qel::test;

namespace {

std::string b64(const std::string& bytes) {
  std::string out(bytes.size() * 4 / 3 + 8, '\0');
  int32_t n = base64EncodeLine(reinterpret_cast<const uint8_t*>(bytes.data()), &out[0],
                               static_cast<int32_t>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::vector<Step> join(std::initializer_list<std::vector<Step>> pieces) {
  std::vector<Step> all;
  for (const auto& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

std::vector<Step> capa(const std::string& lines) {
  return {ExpectLine("CAPA"), Send("+OK Capability list follows\r\n" + lines + ".\r\n")};
}

const std::string kPlain = b64(std::string("\0u\0p", 4));
// RFC 2195's challenge; the response for user "u" and password "p".
const std::string kCramChallenge = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";

class Pop3Sasl : public Pop3Channel {
 protected:
  // An SMTP login on channel 0 with the login settings user and password.
  void smtpLogin(const std::string& user, const std::string& password) {
    qelStringParam(0, QEL_STRING_LOGIN_USER, user.c_str());
    qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, password.c_str());
    ScriptServer smtp({Send("220 ready\r\n"), ExpectLine("EHLO example.test"), Send("250 AUTH PLAIN\r\n"),
                       ExpectLine("AUTH PLAIN " + b64('\0' + user + '\0' + password)), Send("235 ok\r\n"),
                       ExpectClose()});
    qelIntegerParam(0, QEL_PARAM_SMTP_PORT, smtp.port());
    EXPECT_EQ(qelSmtpConnect(0, kLoopback, "<ann@example.test>", nullptr), 0);
    qelAbort(0);
    EXPECT_TRUE(smtp.finished(10000));
    EXPECT_EQ(smtp.mismatches(), "");
  }

  void SetUp() override {
    qelIntegerParam(0, QEL_PARAM_NEGOTIATE_LOGIN, 1);
    qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 1);
    scramTestNonce = kScramVector.clientNonce;
  }
  void TearDown() override { scramTestNonce = nullptr; }
};

TEST_F(Pop3Sasl, MechanismsFallbacksAndRefusals) {
  const std::string scramFirst = b64(kScramVector.clientFirst);
  const std::string scramFinal = b64(kScramVector.clientFinal);
  const std::string alicePlain = b64(std::string("\0alice\0alicepw", 14));
  const auto aliceSettings = [] {
    qelStringParam(0, QEL_STRING_LOGIN_USER, "alice");
    qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, "alicepw");
  };
  const auto aliceAfterSmtp = [&] { smtpLogin("alice", "alicepw"); };
  const std::string longUser = std::string(70, 'a') + "@example.test";
  const struct {
    const char* name;
    std::string greeting;
    std::string capabilities;  // "" = CAPA refused
    std::function<void()> settings;
    std::vector<Step> login;
    int32_t result;
    std::string sent;  // after CAPA
    std::string errorText;
    const char* user;
    const char* password;
    const char* logged = nullptr;  // a line the log must hold
  } cases[] = {
      {"PLAIN", "+OK ready", "USER\r\nSASL PLAIN LOGIN\r\n", [] {},
       {ExpectLine("AUTH PLAIN"), Send("+ \r\n"), ExpectLine(kPlain), Send("+OK logged in\r\n")}, 0,
       "AUTH PLAIN\r\n" + kPlain + "\r\n", "", "u", "p"},
      {"CRAM-MD5 first", "+OK ready", "SASL PLAIN CRAM-MD5\r\nUSER\r\n", [] {},
       {ExpectLine("AUTH CRAM-MD5"), Send("+ " + kCramChallenge + "\r\n"),
        ExpectLine("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"), Send("+OK\r\n")},
       0, "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n", "", "tim", "tanstaaftanstaaf"},
      {"LOGIN", "+OK ready", "SASL LOGIN\r\n", [] {},
       {ExpectLine("AUTH LOGIN"), Send("+ VXNlcm5hbWU6\r\n"), ExpectLine("dQ=="), Send("+ UGFzc3dvcmQ6\r\n"),
        ExpectLine("cA=="), Send("+OK\r\n")},
       0, "AUTH LOGIN\r\ndQ==\r\ncA==\r\n", "", "u", "p"},
      {"SCRAM-SHA-256", "+OK ready", "SASL PLAIN SCRAM-SHA-256\r\n", [] {},
       {ExpectLine("AUTH SCRAM-SHA-256"), Send("+ \r\n"), ExpectLine(scramFirst),
        Send("+ " + b64(kScramVector.serverFirst) + "\r\n"), ExpectLine(scramFinal),
        Send("+ " + b64(kScramVector.serverFinal) + "\r\n"), ExpectLine(""), Send("+OK\r\n")},
       0, "AUTH SCRAM-SHA-256\r\n" + scramFirst + "\r\n" + scramFinal + "\r\n\r\n", "", kScramVector.user,
       kScramVector.password},
      {"no CAPA: USER and PASS", "+OK ready", "", [] {},
       {ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS p"), Send("+OK\r\n")}, 0, "USER u\r\nPASS p\r\n", "",
       "u", "p"},
      {"no usable SASL: APOP", "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>", "SASL PLAIN\r\n",
       [] {
         qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 0);
         qelIntegerParam(0, QEL_PARAM_USE_APOP, 1);
       },
       {ExpectLine("APOP mrose c4c9334bac560ecc979e58001b3e22fb"), Send("+OK\r\n")}, 0,
       "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n", "", "mrose", "tanstaaf"},
      {"USER/PASS only over TLS", "+OK ready", "USER\r\nSASL PLAIN\r\n",
       [] { qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 0); }, {}, QEL_ERR_NO_COMMON_MECHANISM, "",
       "No login mechanism in common with the server. (offered: PLAIN; PLAIN, LOGIN, tokens and USER/PASS only "
       "over TLS)",
       "u", "p"},
      {"USER/PASS only over TLS, STLS offered", "+OK ready", "STLS\r\nUSER\r\n",
       [] { qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 0); }, {}, QEL_ERR_NO_COMMON_MECHANISM, "",
       "No login mechanism in common with the server. (offered: no mechanism; PLAIN", "u", "p"},
      {"AUTH refused", "+OK ready", "SASL PLAIN\r\n", [] {},
       {ExpectLine("AUTH PLAIN"), Send("+ \r\n"), ExpectLine(kPlain), Send("-ERR [AUTH] Authentication failed.\r\n")},
       QEL_ERR_POP3_ERROR, "AUTH PLAIN\r\n" + kPlain + "\r\n", "POP3 returned error. -ERR [AUTH] Authentication",
       "u", "p"},
      {"SCRAM wrong server signature", "+OK ready", "SASL SCRAM-SHA-256\r\n", [] {},
       {ExpectLine("AUTH SCRAM-SHA-256"), Send("+ \r\n"), ExpectLine(scramFirst),
        Send("+ " + b64(kScramVector.serverFirst) + "\r\n"), ExpectLine(scramFinal),
        Send("+ " + b64("v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=") + "\r\n")},
       QEL_ERR_SERVER_NOT_PROVEN, "AUTH SCRAM-SHA-256\r\n" + scramFirst + "\r\n" + scramFinal + "\r\n",
       "Server failed to prove it knows the password. (the server signature is wrong)", kScramVector.user,
       kScramVector.password},
      // A bad token: the error continuation is answered with an empty line.
      {"XOAUTH2 token refused", "+OK ready", "SASL PLAIN XOAUTH2\r\n",
       [] { qelStringParam(0, QEL_STRING_BEARER_TOKEN, "ya29.token"); },
       {ExpectLine("AUTH XOAUTH2"), Send("+ \r\n"), ExpectLine(b64("user=u\x01" "auth=Bearer ya29.token\x01\x01")),
        Send("+ " + b64("{\"status\":\"401\",\"schemes\":\"bearer\"}") + "\r\n"), ExpectLine(""),
        Send("-ERR [AUTH] Invalid credentials\r\n")},
       QEL_ERR_POP3_ERROR,
       "AUTH XOAUTH2\r\n" + b64("user=u\x01" "auth=Bearer ya29.token\x01\x01") + "\r\n\r\n",
       "POP3 returned error. -ERR [AUTH] Invalid credentials", "u", "p"},
      // Login settings an SMTP login used: the call's user and password win,
      // unless the call leaves them empty or gives the same (longer than the
      // call's 64 characters: cut there); set for the POP3 login, they win.
      {"call's user over an SMTP step's", "+OK ready", "SASL PLAIN\r\n", aliceAfterSmtp,
       {ExpectLine("AUTH PLAIN"), Send("+ \r\n"), ExpectLine(b64(std::string("\0bob\0bobpw", 10))), Send("+OK\r\n")},
       0, "AUTH PLAIN\r\n" + b64(std::string("\0bob\0bobpw", 10)) + "\r\n", "", "bob", "bobpw",
       "AUTH PLAIN ok\r\nLogged in as bob\r\n"},
      {"call's user over an SMTP step's: USER/PASS", "+OK ready", "", aliceAfterSmtp,
       {ExpectLine("USER bob"), Send("+OK\r\n"), ExpectLine("PASS bobpw"), Send("+OK\r\n")}, 0,
       "USER bob\r\nPASS bobpw\r\n", "", "bob", "bobpw"},
      {"empty call after an SMTP step", "+OK ready", "SASL PLAIN\r\n", aliceAfterSmtp,
       {ExpectLine("AUTH PLAIN"), Send("+ \r\n"), ExpectLine(alicePlain), Send("+OK\r\n")}, 0,
       "AUTH PLAIN\r\n" + alicePlain + "\r\n", "", "", "", "Logged in as alice\r\n"},
      {"the long SMTP user given to the call too", "+OK ready", "SASL PLAIN\r\n", [&] { smtpLogin(longUser, "p"); },
       {ExpectLine("AUTH PLAIN"), Send("+ \r\n"), ExpectLine(b64('\0' + longUser + std::string("\0p", 2))),
        Send("+OK\r\n")},
       0, "AUTH PLAIN\r\n" + b64('\0' + longUser + std::string("\0p", 2)) + "\r\n", "", longUser.c_str(), "p"},
      {"settings for this login over the call's", "+OK ready", "SASL PLAIN\r\n", aliceSettings,
       {ExpectLine("AUTH PLAIN"), Send("+ \r\n"), ExpectLine(alicePlain), Send("+OK\r\n")}, 0,
       "AUTH PLAIN\r\n" + alicePlain + "\r\n", "", "-", "-"},
  };
  const std::string log = dir.file("pop3.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 1);
    qelIntegerParam(0, QEL_PARAM_USE_APOP, 0);
    qelStringParam(0, QEL_STRING_BEARER_TOKEN, "");
    qelStringParam(0, QEL_STRING_LOGIN_USER, "");
    qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, "");
    c.settings();
    std::vector<Step> capaSteps =
        c.capabilities.empty() ? std::vector<Step>{ExpectLine("CAPA"), Send("-ERR unknown command\r\n")}
                               : capa(c.capabilities);
    ScriptServer server(join({{Send(c.greeting + "\r\n")}, capaSteps, c.login, {ExpectClose()}}));
    EXPECT_EQ(connect(server, c.user, c.password), c.result);
    qelAbort(0);
    ASSERT_TRUE(server.finished(10000));
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(server.received(), "CAPA\r\n" + c.sent);
    if (c.result != 0) {
      EXPECT_EQ(errorText(c.result).substr(0, c.errorText.size()), c.errorText);
    }
    EXPECT_EQ(qelStatistics(0, QEL_STAT_TLS_OFFERED), c.capabilities.find("STLS") != std::string::npos ? 1 : 0);
    if (c.logged != nullptr) {
      EXPECT_NE(readFile(log).find(c.logged), std::string::npos);
    }
  }
}

// With STLS, CAPA is asked before and after the handshake; the offer after
// it counts, and PLAIN may go through TLS.
TEST_F(Pop3Sasl, CapaAgainAfterStls) {
  qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 0);
  qelIntegerParam(0, QEL_PARAM_TLS_MODE, QEL_TLS_STARTTLS);
  qelStringParam(0, QEL_STRING_CA_FILE, testCertFile("ca.pem").c_str());
  ScriptServer server(join({{Send("+OK ready\r\n")}, capa("STLS\r\nUSER\r\n"),
                            {ExpectLine("STLS"), Send("+OK go ahead\r\n"), StartTls()}, capa("USER\r\nSASL PLAIN\r\n"),
                            {ExpectLine("AUTH PLAIN"), Send("+ \r\n"), ExpectLine(kPlain), Send("+OK\r\n"),
                             ExpectLine("QUIT"), Send("+OK bye\r\n")}}));
  EXPECT_EQ(connect(server), 0);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_TLS_OFFERED), 0);  // the offer after the handshake counts
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(10000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_EQ(server.received(), "CAPA\r\nSTLS\r\nCAPA\r\nAUTH PLAIN\r\n" + kPlain + "\r\nQUIT\r\n");
}

}  // namespace
