// qelClose, qelAbort and qelCommand.
#include <gtest/gtest.h>

#include <string>

#include "driver/driver.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/memory.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "qel32.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

class ChannelOps : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  void connectTo(ScriptServer& server, char protocol) {
    stageConnect(record, server.port(), protocol == kProtocolSmtp ? 299 : 399, protocol);
    ASSERT_EQ(driveToEnd(0), 0);
  }
};

TEST_F(ChannelOps, RawCommandIsCutTo32CharactersAndReadsTheWholeSmtpReply) {
  std::string command = "VRFY " + std::string(35, 'u');
  ScriptServer server({Send("220 hi\r\n"), ExpectLine(command.substr(0, 32)),
                       Send("250-one\r\n250 two\r\n"), ExpectClose()});
  connectTo(server, kProtocolSmtp);
  EXPECT_EQ(qelCommand(0, command.c_str()), 0);
  EXPECT_STREQ(record->texts.replyText, "250-one\r\n250 two\r\n");
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 250);
  char last[200];
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_REPLY, last, 199), 7);
  EXPECT_STREQ(last, "250 two\r\n");
  qelAbort(0);
  ASSERT_TRUE(server.finished(3000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(ChannelOps, RawCommandOnPop3ReadsOnlyTheStatusLine) {
  ScriptServer server({Send("+OK ready\r\n"), ExpectLine("LIST"), Send("+OK 2 messages\r\n1 100\r\n2 200\r\n.\r\n"),
                       ExpectLine("NOOP"), Send("-ERR nope\r\n"), ExpectClose()});
  connectTo(server, kProtocolPop3);
  EXPECT_EQ(qelCommand(0, "LIST"), 0);
  EXPECT_STREQ(record->texts.replyText, "+OK 2 messages\r\n");
  // The listing stays unread and is met by the next read.
  EXPECT_EQ(qelCommand(0, "NOOP"), QEL_ERR_POP3_ERROR);
  EXPECT_STREQ(record->texts.replyText, "1 100\r\n");
  qelAbort(0);
}

TEST_F(ChannelOps, RawCommandErrorsAndArgumentChecks) {
  EXPECT_EQ(qelCommand(0, nullptr), QEL_ERR_NULL_POINTER);
  EXPECT_EQ(qelCommand(0, "NOOP"), QEL_ERR_BAD_SERVER_NAME);  // no protocol
  ScriptServer server({Send("220 hi\r\n"), ExpectLine("XYZZY"), Send("502 unknown\r\n"), ExpectClose()});
  connectTo(server, kProtocolSmtp);
  EXPECT_EQ(qelCommand(0, "XYZZY"), QEL_ERR_SMTP_ERROR);
  char text[100];
  qelErrorText(0, QEL_ERR_SMTP_ERROR, text, sizeof text);
  EXPECT_STREQ(text, "SMTP returned error. 502 unknown\r\n");
  EXPECT_FALSE(socketIsOpen(record->connection));
}

TEST_F(ChannelOps, CloseDrivenByTheCallerSendsQuit) {
  ScriptServer server({Send("220 hi\r\n"), ExpectLine("QUIT"), Send("221 bye\r\n"), ExpectClose()});
  connectTo(server, kProtocolSmtp);
  ASSERT_NE(allocAndCopy(0, kSlotSubject, "kept until close"), nullptr);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0), 1);
  EXPECT_EQ(qelClose(0), 0);
  EXPECT_EQ(record->step.nextState, 258);
  EXPECT_EQ(driveToEnd(0), 0);
  EXPECT_FALSE(socketIsOpen(record->connection));
  EXPECT_STREQ(record->texts.replyText, "221 bye\r\n");
  // Driven by the caller, the blocks and the protocol stay.
  EXPECT_EQ(blockIsAllocated(kSlotSubject), 1);
  EXPECT_EQ(record->protocol, kProtocolSmtp);
  ASSERT_TRUE(server.finished(3000));
  EXPECT_EQ(server.received(), "QUIT\r\n");
}

TEST_F(ChannelOps, CloseOnPop3UsesThePop3Reader) {
  ScriptServer server({Send("+OK hi\r\n"), ExpectLine("QUIT"), Send("+OK bye\r\n"), ExpectClose()});
  connectTo(server, kProtocolPop3);
  EXPECT_EQ(qelClose(0), 0);
  EXPECT_EQ(record->texts.replyCode, 100);
  EXPECT_EQ(record->protocol, kProtocolNone);
}

TEST_F(ChannelOps, CloseAfterAFailureReportsTheWriteErrorAndStillCleansUp) {
  ScriptServer server({Send("220 hi\r\n"), ExpectClose()});
  connectTo(server, kProtocolSmtp);
  qelAbort(0);
  ASSERT_NE(allocAndCopy(0, kSlotTo, "<a@b>"), nullptr);
  EXPECT_EQ(qelClose(0), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(blockIsAllocated(kSlotTo), 0);
  EXPECT_EQ(record->protocol, kProtocolNone);
  EXPECT_EQ(qelCommand(0, "NOOP"), QEL_ERR_BAD_SERVER_NAME);
}

TEST_F(ChannelOps, ServerHangingUpOnQuitIsAClose) {
  ScriptServer server({Send("220 hi\r\n"), ExpectLine("QUIT"), Close()});
  connectTo(server, kProtocolSmtp);
  EXPECT_EQ(qelClose(0), 0);
}

TEST_F(ChannelOps, AbortTurnsAutoCallBackOn) {
  TempDir dir;
  std::string log = dir.file("a.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0), 1);
  record->step.nextState = 204;
  EXPECT_EQ(qelAbort(0), 1);  // never connected: still 1
  EXPECT_EQ(record->step.autoCall, 1u);
  EXPECT_EQ(record->step.nextState, 0);
  EXPECT_NE(readFile(log).find("*** qelAbort\r\nClosing socket\r\n"), std::string::npos);
  EXPECT_EQ(qelAbort(7), QEL_ERR_CHANNEL_RANGE);
}

// A connect that cannot have its connection's memory is refused with -55;
// the channel stays as one that never connected.
TEST_F(ChannelOps, ConnectWithoutMemoryForTheConnectionIsRefused) {
  const struct {
    const char* name;
    int32_t (*start)();
  } cases[] = {
      {"SMTP", [] { return qelSmtpConnect(0, "127.0.0.1", "<a@example.com>", nullptr); }},
      {"POP3", [] { return qelPop3Connect(0, "127.0.0.1", "user", "secret"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plat::setMemoryRefused(true);
    int32_t rc = c.start();
    plat::setMemoryRefused(false);
    EXPECT_EQ(rc, QEL_ERR_NO_MEMORY);
    EXPECT_EQ(record->connection, nullptr);
    EXPECT_EQ(qelStatistics(0, QEL_STAT_CONNECTION), QEL_ERR_CONNECT_FAILED);
    EXPECT_EQ(qelStatistics(0, QEL_STAT_SOCKET_HANDLE), 0);
    EXPECT_EQ(qelConnectError(0), 0);
    int32_t socket = 0;
    int32_t events = 0;
    qelWaitPlan(0, &socket, &events);
    EXPECT_EQ(socket, -1);
    EXPECT_EQ(qelAbort(0), 1);
  }
}

}  // namespace
