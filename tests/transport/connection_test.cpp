// Resolution, connecting, the connect states' failures, and closing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "qel32.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection.h"
#include "transport/send.h"

using namespace qel;
using namespace qel::test;

namespace {

TEST(DottedAddress, ComponentsAndLimits) {
  struct Case {
    const char* text;
    bool dotted;
    uint32_t value;
  } cases[] = {
      {"127.0.0.1", true, 0x7F000001u},
      {"10..2.3", true, 0x0A000203u},
      {"10.1.2.3.9", true, 0x0A010203u},
      {"255.255.255.255", true, 0xFFFFFFFFu},
      {"...", true, 0},
      {"127.0.0.256", false, 0},
      {"10.1.2.3x", false, 0},
      {"10.1.2", false, 0},  // fewer than four components: resolver
      {"mail.example.org", false, 0},
      {"", false, 0},
      {"1.2.3.99999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isDottedAddress(c.text), c.dotted) << c.text;
    if (c.dotted) {
      EXPECT_EQ(parseDottedAddress(c.text), c.value) << c.text;
    }
  }
  EXPECT_FALSE(isDottedAddress(nullptr));
}

TEST(DottedAddress, FormatNeedsSeventeenBytes) {
  char buffer[17] = "untouched";
  EXPECT_EQ(formatDottedAddress(0xFFFFFFFFu, buffer, 16), 0);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(formatDottedAddress(0xFFFFFFFFu, buffer, 17), 15);
  EXPECT_STREQ(buffer, "255.255.255.255");
  EXPECT_EQ(formatDottedAddress(0x0A000001u, buffer, 17), 8);
  EXPECT_STREQ(buffer, "10.0.0.1");
}

class Connecting : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::string log = dir.file("c.log");
  void SetUp() override { ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0); }
};

TEST_F(Connecting, ConnectsAndLogsItsSteps) {
  ScriptServer server({ExpectClose()});
  ASSERT_EQ(connectChannel(0, server.port()), 0);
  EXPECT_TRUE(socketIsOpen(record->connection));
  EXPECT_EQ(qelStatistics(0, QEL_STAT_CONNECTION), 1);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_SOCKET_HANDLE), static_cast<int32_t>(record->connection->socket));
  char text[32];
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_SERVER_ADDRESS, text, 17), 9);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LOCAL_ADDRESS, text, 17), 9);
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_SERVER_ADDRESS, text, 16), 0);
  EXPECT_STREQ(text, "");
  std::string lines = readFile(log);
  EXPECT_NE(lines.find("LocalHost = '"), std::string::npos);
  EXPECT_NE(lines.find("Server = '127.0.0.1'\r\n"), std::string::npos);
  EXPECT_NE(lines.find("ServerIP = 127.0.0.1\r\n"), std::string::npos);
  // The port is logged as a signed 16-bit number.
  int16_t loggedPort = static_cast<int16_t>(server.port());
  EXPECT_NE(lines.find("RemoteAddr=7f000001, RemotePort=" + std::to_string(loggedPort) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(qelAbort(0), 1);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_CONNECTION), QEL_ERR_CONNECT_FAILED);
}

TEST_F(Connecting, RefusedNonBlockingFailsWhileWaiting) {
  stageConnect(record, refusedPort());
  EXPECT_EQ(driveToEnd(0), QEL_ERR_CONNECT_FAILED);
  EXPECT_EQ(record->step.lastSocketCode, 0);
  EXPECT_EQ(record->step.prevState, 106);
  EXPECT_FALSE(socketIsOpen(record->connection));
  EXPECT_NE(readFile(log).find("QelCode=-36 PrevState=105 ThisState=106 NextState=106\r\n"
                               "Error attempting to connect. Closing socket\r\n"),
            std::string::npos)
      << readFile(log);
  // The failed channel is idle again.
  EXPECT_EQ(qelDriver(0), 0);
}

TEST_F(Connecting, RefusedBlockingFailsAtOnceWithTheSocketCode) {
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_BLOCKING_CONNECT, 1), 1);
  stageConnect(record, refusedPort());
  EXPECT_EQ(driveToEnd(0), QEL_ERR_CONNECT_FAILED);
  EXPECT_EQ(record->step.lastSocketCode, -10061);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_SOCKET_CODE), -10061);
  std::string lines = readFile(log);
  EXPECT_NE(lines.find("SockCode=-10061 QelCode=-36 PrevState=104 ThisState=105"), std::string::npos);
  EXPECT_NE(lines.find("Error attempting to connect. Connection refused by remote host."), std::string::npos);
}

TEST_F(Connecting, UnresolvableNameReportsTheResolverCode) {
  stageConnect(record, 25);
  record->serverName[0] = '\0';  // the resolver answers at once, without a query
  EXPECT_EQ(driveToEnd(0), QEL_ERR_SERVER_NOT_FOUND);
  EXPECT_EQ(record->step.lastSocketCode, -11001);
  std::string lines = readFile(log);
  EXPECT_NE(lines.find("Cannot find SMTP/POP3 server.Host does not exist."), std::string::npos);
}

TEST_F(Connecting, ServerThatNeverCompletesTimesOut) {
  settings.connectTimeout = 300;
  StalledListener stalled;
  stageConnect(record, stalled.port());
  int32_t waiting = 0;
  int32_t rc;
  while ((rc = qelDriver(0)) > 0) {
    if (rc == 106) ++waiting;
  }
  EXPECT_EQ(rc, QEL_ERR_TIMED_OUT);
  EXPECT_GT(waiting, 1);
  EXPECT_NE(readFile(log).find("QelCode=-8 PrevState=106 ThisState=-1 NextState=106\r\nSocket timed out."),
            std::string::npos);
}

// A poll interval far longer than the wait: the pause ends with the wait.
TEST_F(Connecting, WritableWaitNeverSleepsPastItsEnd) {
  StalledListener stalled;
  stageConnect(record, stalled.port());
  int32_t rc = 0;
  while ((rc = qelDriver(0)) > 0 && rc != 106) {
  }
  ASSERT_EQ(rc, 106);
  settings.pollInterval = 20000;
  for (int32_t wait : {0, 50}) {
    SCOPED_TRACE(wait);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connectionUsable(record->connection, wait), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
}

TEST_F(Connecting, SilentServerTimesOutWaitingForItsReply) {
  settings.replyTimeout = 300;
  ScriptServer server({Silent()});
  stageConnect(record, server.port(), 299, kProtocolSmtp);
  EXPECT_EQ(driveToEnd(0), QEL_ERR_TIMED_OUT);
  EXPECT_EQ(record->step.nextState, 0);
}

// The system reuses descriptor numbers at once: after a failure has closed
// the channel's socket, neither a second close nor a readiness test may touch
// whatever now owns that number.
TEST_F(Connecting, ClosedSocketNumberIsNeverTouchedAgain) {
  ScriptServer server({ExpectClose()});
  ASSERT_EQ(connectChannel(0, server.port()), 0);
  int number = static_cast<int>(record->connection->socket);
  EXPECT_EQ(qelAbort(0), 1);
  int reused = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(reused, number);
  EXPECT_EQ(qelAbort(0), 1);
  EXPECT_EQ(qelClose(0), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_CONNECTION), QEL_ERR_CONNECT_FAILED);
  EXPECT_NE(::fcntl(reused, F_GETFD), -1);
  ::close(reused);
}

TEST_F(Connecting, WritingToAClosedPeerFailsWithoutASignal) {
  ScriptServer server({Close()});
  ASSERT_EQ(connectChannel(0, server.port()), 0);
  ASSERT_TRUE(server.finished(3000));
  std::string block(65536, 'x');
  int32_t rc = 0;
  for (int i = 0; i < 50 && rc >= 0; ++i) rc = sendBytes(record->connection, block.data(), static_cast<int32_t>(block.size()));
  EXPECT_LT(rc, 0);  // and the process is still here: no SIGPIPE
}

}  // namespace
