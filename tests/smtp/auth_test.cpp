// AUTH CRAM-MD5 and AUTH LOGIN: the choice from the EHLO reply, the exchanges
// as exact transcripts, the response of RFC 2195's example, refused
// credentials and challenges, and the pauses between the steps.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "qel32.h"
#include "sasl/login_state.h"
#include "smtp/auth.h"
#include "codec/md5.h"
#include "smtp_session.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

constexpr char kEhlo[] = "EHLO example.org";

std::string base64(const std::string& text) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < text.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(text[i]) << 16;
    if (i + 1 < text.size()) n |= static_cast<uint8_t>(text[i + 1]) << 8;
    if (i + 2 < text.size()) n |= static_cast<uint8_t>(text[i + 2]);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += i + 1 < text.size() ? alphabet[(n >> 6) & 63] : '=';
    out += i + 2 < text.size() ? alphabet[n & 63] : '=';
  }
  return out;
}

std::string ehloReply(const std::string& authLine) {
  return "250-mail.test\r\n250-SIZE 1000000\r\n250-" + authLine + "\r\n250 8BITMIME\r\n";
}

class Auth : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::string log = dir.file("auth.log");

  void SetUp() override {
    qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 1);
    qelStringParam(0, QEL_STRING_USER, "tim");
    qelStringParam(0, QEL_STRING_PASSWORD, "tanstaaftanstaaf");
  }
};

// RFC 2195's example: the challenge, and the response for user "tim" with
// the secret "tanstaaftanstaaf".
const std::string kRfcChallenge = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
const std::string kRfcResponse = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";

std::vector<Step> cramExchange() {
  return {ExpectLine("AUTH CRAM-MD5"), Send("334 " + kRfcChallenge + "\r\n"), ExpectLine(kRfcResponse),
          Send("235 2.7.0 Authentication successful\r\n")};
}

std::vector<Step> loginExchange(const std::string& user, const std::string& password) {
  return {ExpectLine("AUTH LOGIN"), Send("334 VXNlcm5hbWU6\r\n"), ExpectLine(base64(user)),
          Send("334 UGFzc3dvcmQ6\r\n"), ExpectLine(base64(password)), Send("235 ok\r\n")};
}

TEST_F(Auth, MechanismComesFromTheEhloReply) {
  const struct {
    const char* authLine;
    std::vector<Step> exchange;
    std::string sent;
  } cases[] = {
      {"AUTH CRAM-MD5 LOGIN PLAIN", cramExchange(), "AUTH CRAM-MD5\r\n" + kRfcResponse + "\r\n"},
      {"auth cram-md5", cramExchange(), "AUTH CRAM-MD5\r\n" + kRfcResponse + "\r\n"},
      {"AUTH LOGIN CRAM-MD5", loginExchange("tim", "tanstaaftanstaaf"),
       "AUTH LOGIN\r\ndGlt\r\ndGFuc3RhYWZ0YW5zdGFhZg==\r\n"},
      {"AUTH=LOGIN", loginExchange("tim", "tanstaaftanstaaf"), "AUTH LOGIN\r\ndGlt\r\ndGFuc3RhYWZ0YW5zdGFhZg==\r\n"},
      {"AUTH PLAIN LOGIN CRAM-MD5", {}, ""},
      {"AUTH PLAIN LOGIN", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.authLine);
    ScriptServer server(steps({{Send("220 mail.test ESMTP\r\n"), ExpectLine(kEhlo), Send(ehloReply(c.authLine))},
                               c.exchange,
                               quit()}));
    EXPECT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelClose(0), 0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(server.received(), std::string(kEhlo) + "\r\n" + c.sent + "QUIT\r\n");
  }
}

TEST_F(Auth, WithoutEsmtpThereIsNoSearch) {
  qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 0);
  ScriptServer server(steps({{Send("220 hi\r\n"), ExpectLine(kHello), Send(ehloReply("AUTH CRAM-MD5"))}, quit()}));
  EXPECT_EQ(connectTo(server), 0);
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.received(), std::string(kHello) + "\r\nQUIT\r\n");
}

TEST_F(Auth, CramMd5LogsTheChallengeAndTheOutcome) {
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  ScriptServer server(steps({{Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH CRAM-MD5\r\n")},
                             cramExchange(), {ExpectClose()}}));
  EXPECT_EQ(connectTo(server), 0);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  std::string text = readFile(log);
  EXPECT_NE(text.find("Challenge '<1896.697170952@postoffice.reston.mci.net>'\r\n"), std::string::npos);
  EXPECT_NE(text.find("AUTH CRAM-MD5 ok\r\n"), std::string::npos);
}

TEST_F(Auth, CramResponseDigestsTheChallengeUpToItsFirstCr) {
  const struct {
    std::string user;
    std::string password;
    std::string challenge;
    std::string digested;
  } cases[] = {
      {"tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>",
       "<1896.697170952@postoffice.reston.mci.net>"},
      {"ann", "secret", "<42.17@mail.test>\r\nignored", "<42.17@mail.test>"},
      {std::string(30, 'u'), std::string(64, 'p'), "<1.2@x>", "<1.2@x>"},
      {"", "", "<1.2@x>", "<1.2@x>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    copyText(record->login->userName, c.user.c_str(), kCredentialCap);
    copyText(record->login->password, c.password.c_str(), kCredentialCap);
    copyText(record->texts.scratchText, c.challenge.c_str(), kScratchTextCap);
    makeCramResponse(record);
    uint8_t digest[16];
    hmacMd5(c.digested.data(), c.digested.size(), c.password.data(), c.password.size(), digest);
    char hex[33];
    hexDigest(digest, hex);
    EXPECT_EQ(std::string(record->texts.scratchText), c.user + " " + hex);
  }
  // A 30-character user name makes a 63-byte response, sent as one line.
  copyText(record->login->userName, std::string(30, 'u').c_str(), kCredentialCap);
  ScriptServer server(steps({{Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH CRAM-MD5\r\n"),
                              ExpectLine("AUTH CRAM-MD5"), Send("334 " + base64("<1.2@x>") + "\r\n"),
                              ExpectPrefix(""), Send("235 ok\r\n"), ExpectClose()}}));
  EXPECT_EQ(connectTo(server), 0);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  std::string sent = server.received();
  std::string response = sent.substr(sent.find("AUTH CRAM-MD5\r\n") + 15);
  EXPECT_EQ(response.size(), 84u + 2u);
  EXPECT_EQ(response.find("\r\n"), 84u);
}

TEST_F(Auth, LoginSendsEachCredentialAsOneLine) {
  const struct {
    std::string user;
    std::string password;
    std::string userLine;
  } cases[] = {
      // 60 characters make one line of 80.
      {std::string(60, 'n'), "pw", base64(std::string(60, 'n'))},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    qelStringParam(0, QEL_STRING_USER, c.user.c_str());
    qelStringParam(0, QEL_STRING_PASSWORD, c.password.c_str());
    ScriptServer server(steps({{Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH LOGIN\r\n")},
                               loginExchange(c.user, c.password), {ExpectClose()}}));
    EXPECT_EQ(connectTo(server), 0);
    qelAbort(0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(server.received(),
              std::string(kEhlo) + "\r\nAUTH LOGIN\r\n" + c.userLine + "\r\n" + base64(c.password) + "\r\n");
  }
  EXPECT_EQ(base64(std::string(60, 'n')).size(), 80u);
}

TEST_F(Auth, RefusalsEndTheConnect) {
  const struct {
    const char* name;
    std::vector<Step> script;
    const char* reply;
  } cases[] = {
      {"password refused",
       {Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH LOGIN\r\n"), ExpectLine("AUTH LOGIN"),
        Send("334 VXNlcm5hbWU6\r\n"), ExpectLine("dGlt"), Send("334 UGFzc3dvcmQ6\r\n"),
        ExpectLine("dGFuc3RhYWZ0YW5zdGFhZg=="), Send("535 5.7.8 Error: authentication failed\r\n"), ExpectClose()},
       "535 5.7.8 Error: authentication failed\r\n"},
      {"response refused",
       steps({{Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH CRAM-MD5\r\n"), ExpectLine("AUTH CRAM-MD5"),
               Send("334 " + kRfcChallenge + "\r\n"), ExpectLine(kRfcResponse), Send("535 no\r\n"), ExpectClose()}}),
       "535 no\r\n"},
      {"mechanism refused",
       {Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH CRAM-MD5\r\n"), ExpectLine("AUTH CRAM-MD5"),
        Send("504 not supported\r\n"), ExpectClose()},
       "504 not supported\r\n"},
      // A temporary failure is no authenticated connection either.
      {"temporary failure at the end",
       steps({{Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH CRAM-MD5\r\n"), ExpectLine("AUTH CRAM-MD5"),
               Send("334 " + kRfcChallenge + "\r\n"), ExpectLine(kRfcResponse), Send("454 try later\r\n"),
               ExpectClose()}}),
       "454 try later\r\n"},
      // A challenge that decodes to more than scratchText holds is refused,
      // and nothing is sent for it.
      {"overlong challenge",
       {Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH CRAM-MD5\r\n"), ExpectLine("AUTH CRAM-MD5"),
        Send("334 " + base64("<" + std::string(129, 'c') + ">") + "\r\n"), ExpectClose()},
       "334 PGNjY2Nj"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.script);
    EXPECT_EQ(connectTo(server), QEL_ERR_SMTP_ERROR);
    EXPECT_FALSE(socketIsOpen(record->connection));
    char text[200];
    qelErrorText(0, QEL_ERR_SMTP_ERROR, text, sizeof text);
    std::string expected = std::string("SMTP returned error. ") + c.reply;
    EXPECT_EQ(std::string(text).substr(0, expected.size()), expected);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
    EXPECT_EQ(qelSendEmail(0, "<a@x>", nullptr, nullptr, nullptr, "m", nullptr), QEL_ERR_NOT_CONNECTED);
  }
}

TEST_F(Auth, ChallengeThatJustFitsIsAnswered) {
  std::string challenge = "<" + std::string(128, 'c') + ">";  // 130 characters
  ScriptServer server({Send("220 hi\r\n"), ExpectLine(kEhlo), Send("250 AUTH CRAM-MD5\r\n"),
                       ExpectLine("AUTH CRAM-MD5"), Send("334 " + base64(challenge) + "\r\n"), ExpectPrefix("dGlt"),
                       Send("235 ok\r\n"), ExpectClose()});
  EXPECT_EQ(connectTo(server), 0);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

// Drives the channel to the end. After each state of `pauses` has run and
// moved on, the next step must wait its pause: every call before then
// returns 9999, and the first one after runs. Returns the states seen.
std::set<int32_t> checkPauses(ChannelRecord* record, const std::map<int32_t, int32_t>& pauses) {
  std::set<int32_t> seen;
  bool watching = false;
  int32_t watched = 0;
  uint32_t due = 0;
  int waits = 0;
  const uint32_t start = plat::tickCount();
  for (;;) {
    int32_t current = record->step.nextState;
    uint32_t before = plat::tickCount();
    int32_t rc = qelDriver(0);
    uint32_t after = plat::tickCount();
    if (watching) {
      SCOPED_TRACE(watched);
      if (rc == kWaiting) {
        ++waits;
        EXPECT_TRUE(tickBefore(before, due));
      } else {
        EXPECT_TRUE(tickBeforeOrAt(due, after));
        // The long pauses are always met by at least one call.
        if (pauses.at(watched) >= 200) {
          EXPECT_GT(waits, 0);
        }
        seen.insert(watched);
        watching = false;
      }
    }
    auto pause = pauses.find(current);
    if (rc != kWaiting && pause != pauses.end() && record->step.nextState != current) {
      SCOPED_TRACE(current);
      due = record->step.dueTime;
      EXPECT_TRUE(tickBeforeOrAt(tickAfter(before, pause->second), due) &&
                  tickBeforeOrAt(due, tickAfter(after, pause->second)));
      watched = current;
      watching = true;
      waits = 0;
    }
    if (rc <= 0 && rc != kWaiting) {
      EXPECT_EQ(rc, 0);
      return seen;
    }
    if (plat::tickCount() - start > 20000) {
      ADD_FAILURE() << "no end";
      return seen;
    }
    plat::yield();
  }
}

TEST_F(Auth, PausesBetweenTheSteps) {
  const struct {
    const char* authLine;
    std::vector<Step> exchange;
    std::map<int32_t, int32_t> pauses;  // state, pause after it
  } cases[] = {
      {"AUTH CRAM-MD5", cramExchange(), {{150, 50}, {152, 225}}},
      {"AUTH LOGIN", loginExchange("tim", "tanstaaftanstaaf"), {{160, 250}, {162, 25}, {163, 225}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.authLine);
    ScriptServer server(steps({{Send("220 hi\r\n"), ExpectLine(kEhlo), Send(std::string("250 ") + c.authLine + "\r\n")},
                               c.exchange, {ExpectClose()}}));
    // qelAbort of the case before turned autoCall back on.
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
    qelIntegerParam(0, QEL_PARAM_SMTP_PORT, server.port());
    ASSERT_EQ(qelSmtpConnect(0, "127.0.0.1", kFrom, nullptr), 0);
    std::set<int32_t> states;
    for (const auto& entry : c.pauses) states.insert(entry.first);
    EXPECT_EQ(checkPauses(record, c.pauses), states);
    qelAbort(0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

TEST(AuthChoice, KeywordsInTheirOrder) {
  const struct {
    const char* reply;
    int32_t state;
  } cases[] = {
      {"250-x\r\n250-AUTH CRAM-MD5 LOGIN\r\n250 OK\r\n", 150},
      {"250-x\r\n250-AUTH LOGIN CRAM-MD5\r\n250 OK\r\n", 160},
      {"250-AUTH=LOGIN\r\n250 AUTH CRAM-MD5\r\n", 150},
      {"250-x\r\n250 Auth=Login\r\n", 160},
      {"250-x\r\n250 AUTH PLAIN LOGIN CRAM-MD5\r\n", 0},
      {"250 AUTHLOGIN\r\n", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(chooseAuthState(c.reply), c.state) << c.reply;
}

}  // namespace
