// Argument checks and staging of qelSmtpConnect, qelSendEmail and
// qelVerifyUser.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "frame/channel.h"
#include "frame/memory.h"
#include "qel32.h"
#include "smtp/smtp_send.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"
#include "driver/connection_use.h"

using namespace qel;
using namespace qel::test;

namespace {

class Operations : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::string log = dir.file("smtp.log");
};

TEST(OperationsUnattached, ChannelChecksComeFirst) {
  EXPECT_EQ(qelSmtpConnect(0, "h", kFrom, nullptr), QEL_ERR_NOT_ATTACHED);
  EXPECT_EQ(qelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), QEL_ERR_NOT_ATTACHED);
  EXPECT_EQ(qelVerifyUser(0, "a"), QEL_ERR_NOT_ATTACHED);
  Attached lib{2};
  EXPECT_EQ(qelSmtpConnect(2, "h", kFrom, nullptr), QEL_ERR_CHANNEL_RANGE);
  EXPECT_EQ(qelSendEmail(2, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), QEL_ERR_CHANNEL_RANGE);
  EXPECT_EQ(qelVerifyUser(2, "a"), QEL_ERR_CHANNEL_RANGE);
}

TEST_F(Operations, ConnectArgumentErrors) {
  const struct {
    const char* server;
    const char* from;
    int32_t expected;
  } cases[] = {
      {nullptr, kFrom, QEL_ERR_NO_SERVER},
      {"mail.test", nullptr, QEL_ERR_FROM_NULL},
      {"mail<x", kFrom, QEL_ERR_BAD_SERVER_NAME},
      {"mail@x", kFrom, QEL_ERR_BAD_SERVER_NAME},
      {"mail\tx", kFrom, QEL_ERR_BAD_SERVER_NAME},
      {"mail\x7F", kFrom, QEL_ERR_BAD_SERVER_NAME},
      {"mail\xA0", kFrom, QEL_ERR_BAD_SERVER_NAME},
      {"mail.test", "", QEL_ERR_EMPTY_ADDRESS},
      {"mail.test", "ann@example.org>", QEL_ERR_MISSING_LT},
      {"mail.test", "Ann <ann@example.org", QEL_ERR_MISSING_GT},
      {"mail.test", "a> <ann@example.org", QEL_ERR_MISSING_GT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    record->protocol = kProtocolNone;
    EXPECT_EQ(qelSmtpConnect(0, c.server, c.from, nullptr), c.expected);
    // The channel is an SMTP channel even when the arguments are refused.
    EXPECT_EQ(record->protocol, kProtocolSmtp);
    EXPECT_EQ(record->step.nextState, 0);
  }
}

TEST_F(Operations, MissingBracketIsLoggedAsAFailure) {
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  EXPECT_EQ(qelSmtpConnect(0, "mail.test", "ann@example.org", nullptr), QEL_ERR_MISSING_LT);
  std::string text = readFile(log);
  EXPECT_NE(text.find("*** qelSmtpConnect\r\n"), std::string::npos);
  EXPECT_NE(text.find("QelCode=-41"), std::string::npos);
  EXPECT_NE(text.find("Missing '<' delimiter in email address."), std::string::npos);
}

TEST_F(Operations, ConnectCopiesItsTextsWholeOrRefusesThem) {
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, 2525);
  std::string server(128, 's');
  std::string from = "<" + std::string(124, 'f') + "@x>";
  std::string replyTo(128, 'r');
  Connection* connection = useConnection(record);
  connection->ringRead = connection->ringWrite = 7;
  EXPECT_EQ(qelSmtpConnect(0, server.c_str(), from.c_str(), replyTo.c_str()), 0);
  EXPECT_EQ(record->serverName, server);
  EXPECT_EQ(record->smtp->fromAddress, from);
  EXPECT_EQ(record->smtp->replyToAddress, replyTo);
  EXPECT_EQ(record->connection->remotePort, 2525);
  EXPECT_EQ(record->step.nextState, 200);
  EXPECT_EQ(record->connection->ringRead, 0);
  EXPECT_EQ(record->connection->ringWrite, 0);
  for (const char* none : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(qelSmtpConnect(0, "mail.test", kFrom, none), 0);
    EXPECT_STREQ(record->smtp->replyToAddress, "");
  }
  // One character too many, anywhere, and nothing is stored or staged: a
  // cut From would lose its address's end ("<ann@ex"), or the whole address
  // when the cut falls inside a UTF-8 display name.
  std::string longFrom = std::string(120, 'A') + " <ann@example.test>";
  std::string wideName;
  for (int i = 0; i < 42; ++i) wideName += "\xE5\x90\x8D";
  wideName += " <ann@example.test>";
  const struct {
    std::string server, from, replyTo;
  } cases[] = {
      {server + "s", kFrom, ""}, {"mail.test", longFrom, ""}, {"mail.test", wideName, ""},
      {"mail.test", kFrom, replyTo + "r"},
  };
  qelStringParam(0, QEL_STRING_CHARSET, "utf-8");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    record->step.nextState = 0;
    EXPECT_EQ(qelSmtpConnect(0, c.server.c_str(), c.from.c_str(), c.replyTo.c_str()), QEL_ERR_TEXT_TOO_LONG);
    EXPECT_STREQ(record->serverName, "mail.test");
    EXPECT_STREQ(record->smtp->fromAddress, kFrom);
    EXPECT_EQ(record->step.nextState, 0);
  }
}

TEST_F(Operations, SendAndVerifyArgumentErrors) {
  EXPECT_EQ(qelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), QEL_ERR_SMTP_ONLY);
  EXPECT_EQ(qelVerifyUser(0, "a"), QEL_ERR_SMTP_ONLY);
  record->protocol = kProtocolPop3;
  EXPECT_EQ(qelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), QEL_ERR_SMTP_ONLY);
  // An SMTP channel whose connection failed.
  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, refusedPort());
  EXPECT_LT(qelSmtpConnect(0, "127.0.0.1", kFrom, nullptr), 0);
  EXPECT_EQ(qelSendEmail(0, "<a@b>", nullptr, nullptr, nullptr, nullptr, nullptr), QEL_ERR_NOT_CONNECTED);
  EXPECT_EQ(qelVerifyUser(0, nullptr), QEL_ERR_NO_RECIPIENT);
  EXPECT_EQ(qelVerifyUser(0, ""), QEL_ERR_NO_RECIPIENT);
}

TEST_F(Operations, SendArgumentErrorsOnAConnectedChannel) {
  const struct {
    const char* to;
    const char* cc;
    const char* bcc;
    int32_t expected;
    bool closes;
  } cases[] = {
      {nullptr, "<c@x>", nullptr, QEL_ERR_NO_RECIPIENT, false},
      {"", nullptr, "<d@x>", QEL_ERR_NO_RECIPIENT, false},
      {"<a@x", nullptr, nullptr, QEL_ERR_MISSING_GT, false},
      {"<a@x>", "<c@x", nullptr, QEL_ERR_MISSING_GT, false},
      {"<a@x>", nullptr, "d@x,<e@x>", QEL_ERR_MISSING_LT, true},
      {"a@x", nullptr, nullptr, QEL_ERR_MISSING_LT, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    ScriptServer server({Send("220 hi\r\n"), ExpectLine(kHello), Send("250 ok\r\n"), ExpectClose()});
    ASSERT_EQ(connectTo(server), 0);
    EXPECT_EQ(qelSendEmail(0, c.to, c.cc, c.bcc, nullptr, nullptr, nullptr), c.expected);
    // Only the missing "<" goes through the failure wrap-up, which closes
    // the connection.
    EXPECT_EQ(socketIsOpen(record->connection), !c.closes);
    qelAbort(0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.received(), std::string(kHello) + "\r\n");
  }
}

TEST_F(Operations, SendOnAResetConnectionClosesItsSocket) {
  ScriptServer server({Send("220 hi\r\n"), ExpectLine(kHello), Send("250 ok\r\n"), Reset()});
  ASSERT_EQ(connectTo(server), 0);
  ASSERT_TRUE(server.finished(5000));
  // The reset has arrived once the socket shows the error condition.
  for (int i = 0; i < 200 && qelStatistics(0, QEL_STAT_CONNECTION) != QEL_ERR_CONNECT_FAILED; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(qelStatistics(0, QEL_STAT_CONNECTION), QEL_ERR_CONNECT_FAILED);
  EXPECT_EQ(qelSendEmail(0, "<a@x>", nullptr, nullptr, nullptr, "m", nullptr), QEL_ERR_NOT_CONNECTED);
  EXPECT_FALSE(socketIsOpen(record->connection));
}

TEST_F(Operations, SendStagesCopiesForTheCallerToDrive) {
  ScriptServer server({Send("220 hi\r\n"), ExpectLine(kHello), Send("250 ok\r\n"), ExpectClose()});
  ASSERT_EQ(connectTo(server), 0);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  record->counts.messageBytesSent = 5;
  std::string to = "<a@x>";
  EXPECT_EQ(qelSendEmail(0, to.c_str(), "", nullptr, "", nullptr, "f.bin"), 0);
  to[1] = 'z';  // the caller may reuse its texts at once
  EXPECT_STREQ(record->smtp->send->toList, "<a@x>");
  EXPECT_EQ(record->smtp->send->toList, blockPointer(kSlotTo));
  EXPECT_EQ(record->smtp->send->ccList, nullptr);
  EXPECT_EQ(record->smtp->send->subjectText, nullptr);
  EXPECT_STREQ(record->smtp->send->messageText, "");
  EXPECT_STREQ(record->smtp->send->attachList, "f.bin");
  EXPECT_EQ(record->counts.messageBytesSent, 0);
  EXPECT_EQ(record->step.nextState, 204);
  EXPECT_EQ(record->step.awaitWritable, 1);
  EXPECT_EQ(record->step.dueTime, 0u);
  EXPECT_EQ(record->step.deadline, 0u);
  EXPECT_EQ(qelVerifyUser(0, "ann,bob"), 0);
  EXPECT_STREQ(record->smtp->send->listCursor, "ann,bob");
  EXPECT_EQ(record->step.nextState, 270);
  qelAbort(0);
}

}  // namespace
