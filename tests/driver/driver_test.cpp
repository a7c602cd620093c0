// The step function: pauses, deadlines, the trace, failures and unlisted
// states.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "driver/driver.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "qel32.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"

using namespace qel;
using namespace qel::test;

namespace {

class Driver : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::string log = dir.file("d.log");
  void openLog() { ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0); }
  size_t count(const std::string& needle) {
    std::string text = readFile(log);
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }
};

TEST_F(Driver, IdleChannelCompletesAndTracesEveryCall) {
  openLog();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(qelDriver(0), 0);
  EXPECT_EQ(count("<  0:"), 3u);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_STATE_COUNT), 0);
  EXPECT_EQ(record->step.thisState, -1);
  EXPECT_EQ(qelDriver(5), QEL_ERR_CHANNEL_RANGE);
}

TEST_F(Driver, PauseAndWritabilityWaitReturnWaiting) {
  record->step.nextState = 777;
  record->step.dueTime = tickAfter(plat::tickCount(), 60000);
  EXPECT_EQ(qelDriver(0), kWaiting);
  EXPECT_EQ(record->step.stateCount, 0);
  EXPECT_EQ(record->step.nextState, 777);

  // A connect in progress is not writable yet.
  StalledListener stalled;
  stageConnect(record, stalled.port());
  int32_t rc;
  while ((rc = qelDriver(0)) != 106) ASSERT_GT(rc, 0);
  record->step.dueTime = 0;
  record->step.awaitWritable = 1;
  int32_t before = record->step.stateCount;
  EXPECT_EQ(qelDriver(0), kWaiting);
  EXPECT_EQ(qelDriver(0), kWaiting);
  EXPECT_EQ(record->step.stateCount, before);
  qelAbort(0);
}

TEST_F(Driver, UnlistedStateIsLoggedAndKept) {
  openLog();
  record->step.nextState = 319;
  EXPECT_EQ(qelDriver(0), 319);
  EXPECT_EQ(qelDriver(0), 319);
  EXPECT_EQ(count("ERROR! Unknown state 319\r\n"), 2u);
  EXPECT_EQ(count("<319:"), 1u);  // traced once while it repeats
  EXPECT_EQ(record->step.stateCount, 2);
}

TEST_F(Driver, ReplyThatNeverComesFailsAtTheDeadline) {
  openLog();
  settings.replyTimeout = 250;
  ScriptServer server({Silent()});
  stageConnect(record, server.port(), 299, kProtocolSmtp);
  int32_t repeats = 0;
  int32_t rc;
  while ((rc = qelDriver(0)) > 0) {
    if (rc == 299 && record->step.prevState == 299) ++repeats;
  }
  EXPECT_EQ(rc, QEL_ERR_TIMED_OUT);
  EXPECT_GT(repeats, 0);
  EXPECT_EQ(count("SockCode=0 QelCode=-8 PrevState=299 ThisState=-1 NextState=299\r\nSocket timed out.Closing socket\r\n"),
            1u);
  EXPECT_EQ(count("<299:"), 1u);
  EXPECT_EQ(qelDriver(0), 0);  // the failed channel is idle
  EXPECT_EQ(record->step.dueTime, 0u);
  EXPECT_EQ(record->step.deadline, 0u);
}

// A deadline computed just before the tick count wraps must neither fire at
// once nor never.
TEST_F(Driver, DeadlinesWorkAcrossTheTickWrap) {
  settings.replyTimeout = 400;
  ScriptServer server({Silent()});
  plat::setTickOffset(0u - plat::tickCount() - 200u);  // wrap in about 200 ms
  stageConnect(record, server.port(), 299, kProtocolSmtp);
  int32_t rc;
  // Run until state 299 has executed once: its deadline did not fire at once.
  while ((rc = qelDriver(0)) > 0 && record->step.prevState != 299) {
  }
  EXPECT_EQ(rc, 299);
  uint32_t start = plat::tickCount();
  rc = driveToEnd(0, 5000);
  uint32_t waited = plat::tickCount() - start;
  plat::setTickOffset(0);
  EXPECT_EQ(rc, QEL_ERR_TIMED_OUT);
  EXPECT_LT(waited, 5000u);
}

TEST_F(Driver, RepeatedStateTracesOnceAndReenteredStateAgain) {
  openLog();
  ScriptServer server({Send("220 hi\r\n"), ExpectLine("NOOP"), Pause(100), Send("250 ok\r\n"), ExpectClose()});
  stageConnect(record, server.port(), 299, kProtocolSmtp);
  EXPECT_EQ(driveToEnd(0), 0);
  EXPECT_EQ(qelCommand(0, "NOOP"), 0);
  EXPECT_EQ(count("<299:"), 2u);
  EXPECT_EQ(count("<298:"), 1u);
  EXPECT_EQ(count("<101:"), 1u);
  EXPECT_EQ(count("<106:"), 1u);
  qelAbort(0);
}

TEST_F(Driver, FailStateWithoutErrorOnlyLogs) {
  openLog();
  record->step.nextState = 204;
  EXPECT_EQ(failState(record, 0, 0), 0);
  EXPECT_EQ(record->step.nextState, 204);
  EXPECT_EQ(count("QelCode=0 "), 1u);
}

// A caller-driven command whose reply keeps coming without end: no single
// qelDriver call runs on while the data flows, and the command ends at its
// reply time-out (a POP3 line) or when the reply overflows (SMTP). The log
// is on, as it was when a run wrote gigabytes.
TEST_F(Driver, EndlessReplyEndsInBoundedSteps) {
  openLog();
  settings.replyTimeout = 300;
  settings.pop3ReadWait = 300;
  const struct {
    char protocol;
    const char* head;
    int32_t code;
  } cases[] = {
      {kProtocolPop3, "+OK ", QEL_ERR_TIMED_OUT},
      {kProtocolSmtp, "250 ", QEL_ERR_RESPONSE_OVERFLOW},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    ScriptServer server({ExpectLine("NOOP"), SendEndless(c.head, std::string(1 << 16, 'x'), 6000)});
    ASSERT_EQ(connectChannel(0, server.port(), c.protocol), 0);
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(qelCommand(0, "NOOP"), 0);
    auto start = std::chrono::steady_clock::now();
    int32_t rc;
    do {
      auto before = std::chrono::steady_clock::now();
      rc = qelDriver(0);
      EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    } while (rc > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(10));
    EXPECT_EQ(rc, c.code);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 1);
    qelAbort(0);
  }
  EXPECT_LT(readFile(log).size(), 64u * 1024);
}

}  // namespace
