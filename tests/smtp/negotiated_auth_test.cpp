// Negotiated SMTP login: the whole AUTH offer, the choice among the
// mechanisms, each exchange as an exact transcript (SCRAM-SHA-256 with
// RFC 7677's messages, CRAM-MD5 with RFC 2195's), the refusals, and a log
// that never shows a secret.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "frame/channel.h"
#include "qel32.h"
#include "sasl/sasl.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"
#include "support/tls_server_side.h"
#include "../platform/digest_vectors.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr char kEhlo[] = "EHLO example.org";
constexpr char kUser[] = "tim";
constexpr char kPassword[] = "tanstaaftanstaaf";

std::string b64(const std::string& bytes) {
  std::string out(bytes.size() * 4 / 3 + 8, '\0');
  int32_t n = base64EncodeLine(reinterpret_cast<const uint8_t*>(bytes.data()), &out[0],
                               static_cast<int32_t>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string ehloWith(const std::string& authLines) { return "250-mail.test\r\n" + authLines + "250 8BITMIME\r\n"; }

// RFC 2195's example for tim / tanstaaftanstaaf.
const std::string kCramChallenge = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
const std::string kCramResponse = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";
const std::string kPlain = b64(std::string("\0tim\0tanstaaftanstaaf", 21));

std::vector<Step> scramUpToFinal(const std::string& serverFinal) {
  return {ExpectLine("AUTH SCRAM-SHA-256 " + b64(kScramVector.clientFirst)),
          Send("334 " + b64(kScramVector.serverFirst) + "\r\n"), ExpectLine(b64(kScramVector.clientFinal)),
          Send("334 " + b64(serverFinal) + "\r\n")};
}

class NegotiatedAuth : public ::testing::Test {
 protected:
  Attached lib{2};
  TempDir dir;
  std::string log = dir.file("log");

  void SetUp() override {
    qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str());
    qelIntegerParam(0, QEL_PARAM_NEGOTIATE_LOGIN, 1);
    qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 1);
    qelStringParam(0, QEL_STRING_USER, kUser);
    qelStringParam(0, QEL_STRING_PASSWORD, kPassword);
    scramTestNonce = kScramVector.clientNonce;
  }
  void TearDown() override { scramTestNonce = nullptr; }

  std::string errorText(int32_t code) {
    char text[400];
    qelErrorText(0, code, text, sizeof text);
    return text;
  }
};

// Every line the client sent after AUTH's mechanism name carries a
// credential or a proof: none of them, and no password, is in the log.
void expectNoSecretIn(const std::string& logText, const std::string& transcript,
                      const std::vector<std::string>& secrets) {
  size_t auth = transcript.find("AUTH ");
  for (size_t at = auth; auth != std::string::npos && at < transcript.size();) {
    size_t end = transcript.find("\r\n", at);
    if (end == std::string::npos) break;
    std::string line = transcript.substr(at, end - at);
    if (line.rfind("AUTH ", 0) == 0) {
      size_t space = line.find(' ', 5);
      line = space == std::string::npos ? "" : line.substr(space + 1);
    }
    if (line.size() > 4 && line != "QUIT") {
      EXPECT_EQ(logText.find(line), std::string::npos) << line;
    }
    at = end + 2;
  }
  for (const auto& secret : secrets) EXPECT_EQ(logText.find(secret), std::string::npos) << secret;
}

TEST_F(NegotiatedAuth, MechanismsAndRefusals) {
  const std::string scramUser = kScramVector.user;
  const struct {
    const char* name;
    std::string authLines;
    std::function<void()> settings;
    std::vector<Step> exchange;  // after the EHLO reply
    int32_t result;
    std::string sent;          // after the EHLO line
    std::string errorText;     // beginning of qelErrorText for the result
    const char* hello = kEhlo;
  } cases[] = {
      // The whole offer: AUTH on two lines, the old AUTH= form among them.
      {"CRAM-MD5 from the second AUTH line", "250-AUTH LOGIN\r\n250-AUTH=PLAIN CRAM-MD5\r\n", [] {},
       {ExpectLine("AUTH CRAM-MD5"), Send("334 " + kCramChallenge + "\r\n"), ExpectLine(kCramResponse),
        Send("235 ok\r\n")},
       0, "AUTH CRAM-MD5\r\n" + kCramResponse + "\r\n", ""},
      {"PLAIN before LOGIN", "250-AUTH LOGIN PLAIN\r\n", [] {},
       {ExpectLine("AUTH PLAIN " + kPlain), Send("235 ok\r\n")}, 0, "AUTH PLAIN " + kPlain + "\r\n", ""},
      {"LOGIN", "250-AUTH LOGIN\r\n", [] {},
       {ExpectLine("AUTH LOGIN"), Send("334 VXNlcm5hbWU6\r\n"), ExpectLine("dGlt"), Send("334 UGFzc3dvcmQ6\r\n"),
        ExpectLine(b64(kPassword)), Send("235 ok\r\n")},
       0, "AUTH LOGIN\r\ndGlt\r\n" + b64(kPassword) + "\r\n", ""},
      {"SCRAM-SHA-256 first",
       "250-AUTH PLAIN LOGIN CRAM-MD5 SCRAM-SHA-256\r\n",
       [] {
         qelStringParam(0, QEL_STRING_LOGIN_USER, kScramVector.user);
         qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, kScramVector.password);
       },
       steps({scramUpToFinal(kScramVector.serverFinal), {ExpectLine(""), Send("235 ok\r\n")}}), 0,
       "AUTH SCRAM-SHA-256 " + b64(kScramVector.clientFirst) + "\r\n" + b64(kScramVector.clientFinal) + "\r\n\r\n",
       ""},
      {"mask narrows to PLAIN", "250-AUTH SCRAM-SHA-256 CRAM-MD5 PLAIN\r\n",
       [] { qelIntegerParam(0, QEL_PARAM_AUTH_MECHANISMS, QEL_AUTH_PLAIN); },
       {ExpectLine("AUTH PLAIN " + kPlain), Send("235 ok\r\n")}, 0, "AUTH PLAIN " + kPlain + "\r\n", ""},
      {"long credentials", "250-AUTH PLAIN\r\n",
       [] {
         qelStringParam(0, QEL_STRING_LOGIN_USER, std::string(255, 'u').c_str());
         qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, std::string(255, 'p').c_str());
       },
       {ExpectLine("AUTH PLAIN " + b64('\0' + std::string(255, 'u') + '\0' + std::string(255, 'p'))),
        Send("235 ok\r\n")},
       0, "AUTH PLAIN " + b64('\0' + std::string(255, 'u') + '\0' + std::string(255, 'p')) + "\r\n", ""},
      // Nothing to log in with: HELO, as before.
      {"no user name: no login", "250-AUTH PLAIN\r\n", [] { qelStringParam(0, QEL_STRING_USER, ""); }, {}, 0, "",
       "", kHello},
      // Refusals: nothing after the EHLO unless said.
      {"PLAIN offered only in clear", "250-AUTH PLAIN LOGIN\r\n",
       [] { qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 0); }, {}, QEL_ERR_NO_COMMON_MECHANISM, "",
       "No login mechanism in common with the server. (offered: PLAIN LOGIN; PLAIN, LOGIN and tokens only over "
       "TLS)"},
      {"PLAIN only in clear, STARTTLS offered", "250-STARTTLS\r\n250-AUTH PLAIN\r\n",
       [] { qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 0); }, {}, QEL_ERR_NO_COMMON_MECHANISM, "",
       "No login mechanism in common with the server. (offered: PLAIN; PLAIN, LOGIN and tokens only over TLS)"},
      {"only unknown mechanisms", "250-AUTH GSSAPI NTLM\r\n", [] {}, {}, QEL_ERR_NO_COMMON_MECHANISM, "",
       "No login mechanism in common with the server. (offered: GSSAPI NTLM; none this client speaks)"},
      {"no AUTH line", "", [] {}, {}, QEL_ERR_NO_COMMON_MECHANISM, "",
       "No login mechanism in common with the server. (offered: no mechanism; none this client speaks)"},
      {"token needs XOAUTH2", "250-AUTH PLAIN\r\n", [] { qelStringParam(0, QEL_STRING_BEARER_TOKEN, "tok"); }, {},
       QEL_ERR_NO_COMMON_MECHANISM, "", "No login mechanism in common with the server. (offered: PLAIN; a token"},
      {"PLAIN refused", "250-AUTH PLAIN\r\n", [] {},
       {ExpectLine("AUTH PLAIN " + kPlain), Send("535 5.7.8 Error: authentication failed\r\n")},
       QEL_ERR_SMTP_ERROR, "AUTH PLAIN " + kPlain + "\r\n", "SMTP returned error. 535 5.7.8 Error"},
      {"SCRAM wrong server signature", "250-AUTH SCRAM-SHA-256\r\n",
       [] {
         qelStringParam(0, QEL_STRING_LOGIN_USER, kScramVector.user);
         qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, kScramVector.password);
       },
       scramUpToFinal("v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="), QEL_ERR_SERVER_NOT_PROVEN,
       "AUTH SCRAM-SHA-256 " + b64(kScramVector.clientFirst) + "\r\n" + b64(kScramVector.clientFinal) + "\r\n",
       "Server failed to prove it knows the password. (the server signature is wrong)"},
      {"SCRAM server nonce not extending ours", "250-AUTH SCRAM-SHA-256\r\n",
       [] {
         qelStringParam(0, QEL_STRING_LOGIN_USER, kScramVector.user);
         qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, kScramVector.password);
       },
       {ExpectLine("AUTH SCRAM-SHA-256 " + b64(kScramVector.clientFirst)),
        Send("334 " + b64("r=someoneElse123,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096") + "\r\n")},
       QEL_ERR_SERVER_NOT_PROVEN, "AUTH SCRAM-SHA-256 " + b64(kScramVector.clientFirst) + "\r\n",
       "Server failed to prove it knows the password. (the server nonce does not extend ours)"},
      {"SCRAM success without signature", "250-AUTH SCRAM-SHA-256\r\n",
       [] {
         qelStringParam(0, QEL_STRING_LOGIN_USER, kScramVector.user);
         qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, kScramVector.password);
       },
       {ExpectLine("AUTH SCRAM-SHA-256 " + b64(kScramVector.clientFirst)),
        Send("334 " + b64(kScramVector.serverFirst) + "\r\n"), ExpectLine(b64(kScramVector.clientFinal)),
        Send("235 ok\r\n")},
       QEL_ERR_SERVER_NOT_PROVEN,
       "AUTH SCRAM-SHA-256 " + b64(kScramVector.clientFirst) + "\r\n" + b64(kScramVector.clientFinal) + "\r\n",
       "Server failed to prove it knows the password. (the server accepted without its signature)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelIntegerParam(0, QEL_PARAM_AUTH_MECHANISMS, 0);
    qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 1);
    qelStringParam(0, QEL_STRING_USER, kUser);
    qelStringParam(0, QEL_STRING_LOGIN_USER, "");
    qelStringParam(0, QEL_STRING_LOGIN_PASSWORD, "");
    qelStringParam(0, QEL_STRING_BEARER_TOKEN, "");
    c.settings();
    std::vector<Step> end = c.result == 0 ? quit() : std::vector<Step>{ExpectClose()};
    ScriptServer server(steps({{Send("220 mail.test ESMTP\r\n"), ExpectLine(c.hello), Send(ehloWith(c.authLines))},
                               c.exchange, end}));
    qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str());
    EXPECT_EQ(connectTo(server), c.result);
    // The exchange's buffers go with the login, whatever its end.
    EXPECT_EQ(channelRecord(0)->login->saslBuffers, nullptr);
    if (c.result == 0) {
      EXPECT_EQ(qelClose(0), 0);
    }
    ASSERT_TRUE(server.finished(10000));
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(server.received(), std::string(c.hello) + "\r\n" + c.sent + (c.result == 0 ? "QUIT\r\n" : ""));
    if (c.result != 0) {
      EXPECT_EQ(errorText(c.result).substr(0, c.errorText.size()), c.errorText);
    }
    EXPECT_EQ(qelStatistics(0, QEL_STAT_TLS_OFFERED), c.authLines.find("STARTTLS") != std::string::npos ? 1 : 0);
    expectNoSecretIn(readFile(log), server.received(),
                     {kPassword, kScramVector.password, std::string(255, 'p')});
  }
}

// PLAIN goes over TLS without the clear-text setting.
TEST_F(NegotiatedAuth, PlainOverStartTls) {
  qelIntegerParam(0, QEL_PARAM_LOGIN_CLEAR_TEXT, 0);
  qelIntegerParam(0, QEL_PARAM_TLS_MODE, QEL_TLS_STARTTLS);
  qelStringParam(0, QEL_STRING_CA_FILE, testCertFile("ca.pem").c_str());
  ScriptServer server(steps({{Send("220 mail.test ESMTP\r\n"), ExpectLine(kEhlo),
                              Send("250-mail.test\r\n250-AUTH PLAIN\r\n250 STARTTLS\r\n"), ExpectLine("STARTTLS"),
                              Send("220 go ahead\r\n"), StartTls(), ExpectLine(kEhlo),
                              Send("250-mail.test\r\n250 AUTH PLAIN LOGIN\r\n"), ExpectLine("AUTH PLAIN " + kPlain),
                              Send("235 ok\r\n")},
                             quit()}));
  EXPECT_EQ(connectTo(server), 0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(10000));
  EXPECT_EQ(server.mismatches(), "");
}

// XOAUTH2 and OAUTHBEARER with a 2 KB token: the exact initial response,
// and on a bad token the server's error continuation, answered with an
// empty line (XOAUTH2) or a single ^A (OAUTHBEARER, RFC 7628).
TEST_F(NegotiatedAuth, TokensOfTwoKilobytes) {
  std::string token;
  for (int i = 0; token.size() < 2048; ++i) token += "ya29.a0Af" + std::to_string(i);
  token.resize(2048);
  const std::string user = "ann@example.org";
  const std::string error = b64("{\"status\":\"401\",\"schemes\":\"bearer\",\"scope\":\"https://mail.example/\"}");
  const struct {
    const char* name;
    const char* offer;
    const char* mechanism;
    bool refused;
    const char* errorAnswer;
  } cases[] = {
      {"XOAUTH2 accepted", "250-AUTH LOGIN PLAIN XOAUTH2\r\n", "XOAUTH2", false, ""},
      {"XOAUTH2 bad token", "250-AUTH LOGIN PLAIN XOAUTH2\r\n", "XOAUTH2", true, ""},
      {"OAUTHBEARER first", "250-AUTH XOAUTH2 OAUTHBEARER PLAIN\r\n", "OAUTHBEARER", false, ""},
      {"OAUTHBEARER bad token", "250-AUTH OAUTHBEARER\r\n", "OAUTHBEARER", true, "AQ=="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qelStringParam(0, QEL_STRING_LOGIN_USER, user.c_str());
    qelStringParam(0, QEL_STRING_BEARER_TOKEN, token.c_str());
    std::vector<Step> outcome =
        c.refused ? std::vector<Step>{Send("334 " + error + "\r\n"), ExpectLine(c.errorAnswer),
                                      Send("535 5.7.8 Username and Password not accepted\r\n"), ExpectClose()}
                  : steps({{Send("235 2.7.0 Accepted\r\n")}, quit()});
    ScriptServer server(steps({{Send("220 mail.test ESMTP\r\n"), ExpectLine(kEhlo), Send(ehloWith(c.offer)),
                                ExpectPrefix(std::string("AUTH ") + c.mechanism + " ")},
                               outcome}));
    qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str());
    EXPECT_EQ(connectTo(server), c.refused ? QEL_ERR_SMTP_ERROR : 0);
    if (!c.refused) {
      EXPECT_EQ(qelClose(0), 0);
    }
    ASSERT_TRUE(server.finished(10000));
    EXPECT_EQ(server.mismatches(), "");
    // The OAUTHBEARER message names the host and port connected to.
    std::string message = std::string(c.mechanism) == "XOAUTH2"
                              ? "user=" + user + "\x01" + "auth=Bearer " + token + "\x01\x01"
                              : "n,a=" + user + ",\x01host=127.0.0.1\x01port=" + std::to_string(server.port()) +
                                    "\x01" + "auth=Bearer " + token + "\x01\x01";
    EXPECT_EQ(server.received(), std::string(kEhlo) + "\r\nAUTH " + c.mechanism + " " + b64(message) + "\r\n" +
                                     (c.refused ? std::string(c.errorAnswer) + "\r\n" : "QUIT\r\n"));
    std::string logText = readFile(log);
    EXPECT_EQ(logText.find(token.substr(0, 40)), std::string::npos);
    EXPECT_EQ(logText.find(b64(message).substr(0, 40)), std::string::npos);
    EXPECT_NE(logText.find(std::string("AUTH ") + c.mechanism + " [response hidden]"), std::string::npos);
  }
}

}  // namespace
