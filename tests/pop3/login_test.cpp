// qelPop3Connect: the greeting, APOP, USER and PASS.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "frame/errors.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "pop3_session.h"
#include "codec/md5.h"
#include "support/channel_setup.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

class Pop3Login : public Pop3Channel {};

TEST_F(Pop3Login, ApopSendsTheDigestOfTimestampAndPassword) {
  // The example of RFC 1939, section 7.
  ScriptServer server({Send("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n"),
                       ExpectLine("APOP mrose c4c9334bac560ecc979e58001b3e22fb"),
                       Send("+OK mrose's maildrop has 2 messages (320 octets)\r\n"), ExpectClose()});
  qelIntegerParam(0, QEL_PARAM_USE_APOP, 1);
  EXPECT_EQ(connect(server, "mrose", "tanstaaf"), 0);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_EQ(server.received(), "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n");
}

TEST_F(Pop3Login, ApopWithoutUsableTimestampFailsBeforeAnythingIsSent) {
  const std::string greetings[] = {
      "+OK ready\r\n",
      "+OK ready <unclosed\r\n",
      "+OK ready >reversed<\r\n",
      // Longer than the scratch area can hold.
      "+OK <" + std::string(140, 'x') + ">\r\n",
  };
  for (const std::string& greeting : greetings) {
    SCOPED_TRACE(greeting);
    ScriptServer server({Send(greeting), ExpectClose()});
    qelIntegerParam(0, QEL_PARAM_USE_APOP, 1);
    EXPECT_EQ(connect(server, "mrose", "tanstaaf"), QEL_ERR_NO_APOP_TIMESTAMP);
    EXPECT_FALSE(socketIsOpen(record->connection));
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.received(), "");
  }
}

TEST_F(Pop3Login, ApopTimestampMustLeaveRoomForThePassword) {
  // The timestamp and the password together fill the scratch area exactly:
  // accepted. One character more: refused without sending anything.
  std::string password = "secret12";
  for (int extra : {0, 1}) {
    SCOPED_TRACE(extra);
    std::string stamp = "<" + std::string(kScratchTextCap - 2 - password.size() + extra, 's') + ">";
    uint8_t digest[kMd5DigestBytes];
    std::string input = stamp + password;
    md5Digest(input.data(), input.size(), digest);
    char hex[kMd5HexChars + 1];
    hexDigest(digest, hex);
    std::string command = std::string("APOP u ") + hex;
    std::vector<Step> steps = {Send("+OK " + stamp + "\r\n")};
    if (extra == 0) {
      steps.push_back(ExpectLine(command));
      steps.push_back(Send("+OK\r\n"));
    }
    steps.push_back(ExpectClose());
    ScriptServer server(steps);
    qelIntegerParam(0, QEL_PARAM_USE_APOP, 1);
    EXPECT_EQ(connect(server, "u", password.c_str()), extra == 0 ? 0 : QEL_ERR_NO_APOP_TIMESTAMP);
    qelAbort(0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.received(), extra == 0 ? command + "\r\n" : "");
    EXPECT_EQ(server.mismatches(), "");
  }
}

TEST_F(Pop3Login, UserAndPassIgnoreTheTimestampWhenApopIsOff) {
  ScriptServer server({Send("+OK ready <1.2@host>\r\n"), ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS p"),
                       Send("+OK logged in\r\n"), ExpectClose()});
  EXPECT_EQ(connect(server), 0);
  EXPECT_EQ(record->protocol, kProtocolPop3);
  EXPECT_TRUE(socketIsOpen(record->connection));
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.received(), "USER u\r\nPASS p\r\n");
}

TEST_F(Pop3Login, PassIsFollowedByTheLoginPause) {
  // Driven step by step: after PASS the next state waits minimumWait + 200
  // ms, after USER only minimumWait.
  settings.minimumWait = 30;
  ScriptServer server(afterLogin({ExpectClose()}));
  qelIntegerParam(0, QEL_PARAM_POP3_PORT, server.port());
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  ASSERT_EQ(qelPop3Connect(0, kLoopback, "u", "p"), 0);
  // dueTime - (tick before the call) and dueTime - (tick after it), for the
  // steps that sent USER and PASS: dueTime = now + pause, now lying between.
  uint32_t fromStart[2] = {0, 0};
  uint32_t fromEnd[2] = {0, 0};
  uint32_t start = plat::tickCount();
  while (record->step.nextState != 0 && plat::tickCount() - start < 10000) {
    int32_t state = record->step.nextState;
    uint32_t before = plat::tickCount();
    int32_t rc = qelDriver(0);
    uint32_t after = plat::tickCount();
    ASSERT_GE(rc, 0);
    if (rc == QEL_WAITING || (state != 303 && state != 305)) continue;
    int index = state == 303 ? 0 : 1;
    fromStart[index] = record->step.dueTime - before;
    fromEnd[index] = record->step.dueTime - after;
  }
  EXPECT_EQ(qelDriver(0), 0);
  EXPECT_GE(fromStart[0], 30u);
  EXPECT_LE(fromEnd[0], 30u);
  EXPECT_GE(fromStart[1], 230u);
  EXPECT_LE(fromEnd[1], 230u);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.received(), kLoginTranscript);
}

TEST_F(Pop3Login, RefusedLoginGivesTheServersWords) {
  ScriptServer server({Send("+OK ready\r\n"), ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS wrong"),
                       Send("-ERR [AUTH] Authentication failed.\r\n"), ExpectClose()});
  EXPECT_EQ(connect(server, "u", "wrong"), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(errorText(QEL_ERR_POP3_ERROR), "POP3 returned error. -ERR [AUTH] Authentication failed.\r\n");
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 500);
  EXPECT_FALSE(socketIsOpen(record->connection));
  ASSERT_TRUE(server.finished(5000));
}

TEST_F(Pop3Login, FailuresAtEachStep) {
  const struct {
    const char* name;
    std::vector<Step> steps;
    int32_t result;
  } cases[] = {
      {"greeting is an error", {Send("-ERR too busy\r\n"), ExpectClose()}, QEL_ERR_POP3_ERROR},
      {"closed before the greeting", {Close()}, QEL_ERR_SOCKET_CLOSED},
      {"USER refused", {Send("+OK\r\n"), ExpectLine("USER u"), Send("-ERR who?\r\n"), ExpectClose()},
       QEL_ERR_POP3_ERROR},
      {"closed after USER", {Send("+OK\r\n"), ExpectLine("USER u"), Close()}, QEL_ERR_SOCKET_CLOSED},
      // The tail of a long answer to USER is not taken for the answer to PASS.
      {"PASS refused after a long USER answer",
       {Send("+OK\r\n"), ExpectLine("USER u"), Send("+OK " + std::string(1019, 'a') + "+OK tail\r\n"),
        ExpectLine("PASS p"), Send("-ERR wrong password\r\n"), ExpectClose()},
       QEL_ERR_POP3_ERROR},
      {"closed after PASS",
       {Send("+OK\r\n"), ExpectLine("USER u"), Send("+OK\r\n"), ExpectLine("PASS p"), Close()},
       QEL_ERR_SOCKET_CLOSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(c.steps);
    EXPECT_EQ(connect(server), c.result);
    EXPECT_FALSE(socketIsOpen(record->connection));
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

TEST_F(Pop3Login, SilentServerTimesOut) {
  settings.replyTimeout = 300;
  settings.pop3ReadWait = 300;
  ScriptServer server({Silent()});
  EXPECT_EQ(connect(server), QEL_ERR_TIMED_OUT);
}

// The wait for the USER and PASS answers ends when the answer comes, or at
// the reply deadline, however long the poll interval.
TEST_F(Pop3Login, ReplyWaitEndsWithTheAnswerOrTheDeadline) {
  const struct {
    const char* name;
    int32_t replyTimeout;
    std::vector<Step> steps;
    int32_t result;
  } cases[] = {
      {"silent after USER", 300, {Send("+OK ready\r\n"), ExpectLine("USER u"), Silent()}, QEL_ERR_TIMED_OUT},
      {"prompt answers", 25000, afterLogin({ExpectClose()}), 0},
  };
  settings.pollInterval = 20000;
  qelIntegerParam(0, QEL_PARAM_FAST_TIMING, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    settings.replyTimeout = c.replyTimeout;
    ScriptServer server(c.steps);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connect(server), c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    qelAbort(0);
  }
}

TEST_F(Pop3Login, LogStartsWithTheVersionLine) {
  std::string log = dir.file("pop3.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  ScriptServer server(afterLogin({ExpectClose()}));
  EXPECT_EQ(connect(server), 0);
  qelAbort(0);
  std::string text = readFile(log);
  EXPECT_NE(text.find("*** qelPop3Connect\r\n<300:"), std::string::npos) << text;
  EXPECT_NE(text.find("QEL Win32 Version 3.4.1 Build 16\r\n<101:"), std::string::npos) << text;
  EXPECT_NE(text.find("S: PASS p\r\n"), std::string::npos) << text;
}

}  // namespace
