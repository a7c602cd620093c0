// Waiting without a busy processor: blocking operations sleep on the socket
// while a server is slow.
#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "qel32.h"
#include "smtp_session.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

// Processor time of the whole process (all threads), in ms.
double processCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Generous: a loop that polled the socket would use about the whole wait.
constexpr double kMaxCpuShareOfWait = 0.15;

TEST(Waits, BlockingCallsSleepWhileTheServerIsSlow) {
  Attached lib{1};
  constexpr int kGreetingLateMs = 2000;
  constexpr int kReplyLateMs = 1000;
  ScriptServer server({Pause(kGreetingLateMs), Send("220 slow\r\n"), ExpectLine(kHello), Send("250 ok\r\n"),
                       ExpectLine("NOOP"), Pause(kReplyLateMs), Send("250 fine\r\n"), ExpectLine("QUIT"),
                       Send("221 bye\r\n")});
  double before = processCpuMs();
  ASSERT_EQ(connectTo(server), 0);
  EXPECT_EQ(qelCommand(0, "NOOP"), 0);
  double used = processCpuMs() - before;
  EXPECT_EQ(qelClose(0), 0);
  EXPECT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
  EXPECT_LT(used, kMaxCpuShareOfWait * (kGreetingLateMs + kReplyLateMs)) << "ms of processor time";
}

// The pause before a reply is read after HELO, after the CRAM response
// and after the password follows the login pause and the minimum wait; 0
// and negative values mean no pause.
TEST(Waits, LoginPauseSettingTimesTheGreetingReply) {
  const struct {
    int32_t minimumWait;
    int32_t loginPause;  // INT32_MIN: not set
    uint32_t expected;
  } cases[] = {{25, INT32_MIN, 250}, {25, 300, 350}, {0, 0, 0}, {0, -40, 0}, {10, 0, 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.loginPause);
    Attached lib{1};
    ChannelRecord* record = lib.record(0);
    qelIntegerParam(0, QEL_PARAM_MINIMUM_WAIT, c.minimumWait);
    qelIntegerParam(0, QEL_PARAM_CLOSE_PAUSE, 0);
    if (c.loginPause != INT32_MIN) {
      EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_LOGIN_PAUSE, c.loginPause), 1);
    }
    ScriptServer server(steps({greeting(), quit()}));
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(connectTo(server), 0);
    // Up to the state that sends HELO, then that state alone.
    int32_t rc;
    while ((rc = qelDriver(0)) != 202) ASSERT_GT(rc, 0);
    while (record->step.nextState == 202) {
      uint32_t before = plat::tickCount();
      rc = qelDriver(0);
      uint32_t after = plat::tickCount();
      if (record->step.nextState == 202) continue;
      ASSERT_EQ(rc, 203);
      EXPECT_GE(record->step.dueTime - before, c.expected);
      EXPECT_LE(record->step.dueTime - before, c.expected + (after - before) + 1);
    }
    qelAbort(0);
  }
}

// While a channel closes its socket and pauses, the library lock is free:
// another channel connects meanwhile.
TEST(Waits, ClosePauseDoesNotHoldUpOtherChannels) {
  Attached lib{2};
  constexpr int32_t kClosePauseMs = 2000;
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_CLOSE_PAUSE, kClosePauseMs), 1);
  ScriptServer first(steps({greeting(), {ExpectClose()}}));
  ScriptServer second(steps({greeting(), {ExpectClose()}}));
  ASSERT_EQ(connectTo(first), 0);
  std::atomic<bool> abortDone{false};
  auto start = std::chrono::steady_clock::now();
  std::thread closer([&] {
    qelAbort(0);
    abortDone = true;
  });
  while (socketIsOpen(lib.record(0)->connection)) std::this_thread::yield();
  EXPECT_EQ(connectTo(second, kFrom, 1), 0);
  EXPECT_FALSE(abortDone.load()) << "the second connect waited for the first channel's close pause";
  closer.join();
  // The pause itself was kept.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kClosePauseMs));
  qelIntegerParam(0, QEL_PARAM_CLOSE_PAUSE, 0);
  qelAbort(1);
}

// A caller that drives its channels itself puts them to sleep through
// qelWait and qelWaitPlan.
TEST(Waits, WaitPlanNamesTheSocketAndTheStepsEvent) {
  Attached lib{1};
  ScriptServer server({Pause(800), Send("220 late\r\n"), ExpectLine(kHello), Send("250 ok\r\n")});
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  ASSERT_EQ(connectTo(server), 0);
  int32_t socket = -2;
  int32_t events = -2;
  // Until the greeting state has run once and found nothing to read.
  while (lib.record(0)->step.prevState != 201) ASSERT_GT(qelDriver(0), 0);
  int32_t due = qelWaitPlan(0, &socket, &events);
  EXPECT_EQ(socket, qelStatistics(0, QEL_STAT_SOCKET_HANDLE));
  EXPECT_EQ(events, QEL_WAIT_READ);
  EXPECT_GT(due, 20000);  // the reply deadline
  EXPECT_LE(due, 25001);
  EXPECT_EQ(qelWait(0, 50), 0);  // the greeting is not there yet
  EXPECT_EQ(qelWait(0, 10000), 1);
  int32_t rc;
  while ((rc = qelDriver(0)) > 0) qelWait(0, 1000);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(qelWaitPlan(0, &socket, &events), 0);
  EXPECT_EQ(events, 0);
  EXPECT_EQ(qelWait(QEL_WAIT_ANY_CHANNEL, 1000), 0);  // nothing runs
  EXPECT_EQ(qelWait(3, 0), QEL_ERR_CHANNEL_RANGE);
  qelAbort(0);
  EXPECT_EQ(qelWaitPlan(0, &socket, nullptr), 0);
  EXPECT_EQ(socket, -1);
}

// qelWait's look at the sockets spares the next step of a channel that had
// nothing to read its own test of the socket. That answer holds for one
// step, and only until the next look: data that came meanwhile is read then.
TEST(Waits, QelWaitsLookHoldsForOneStepOnly) {
  Attached lib{1};
  constexpr int kLateMs = 300;
  ScriptServer server({Pause(kLateMs), Send("220 ready\r\n"), ExpectLine(kHello), Pause(kLateMs), Send("250 ok\r\n")});
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  qelIntegerParam(0, QEL_PARAM_MINIMUM_WAIT, 0);
  qelIntegerParam(0, QEL_PARAM_LOGIN_PAUSE, 0);
  ASSERT_EQ(connectTo(server), 0);
  auto dataArrives = [] {
    pollfd entry{qelStatistics(0, QEL_STAT_SOCKET_HANDLE), POLLIN, 0};
    return ::poll(&entry, 1, 10000) == 1;
  };
  // The greeting state has run once and found nothing; so does the look.
  while (lib.record(0)->step.prevState != 201) ASSERT_GT(qelDriver(0), 0);
  EXPECT_EQ(qelWait(0, 0), 0);
  ASSERT_TRUE(dataArrives());
  EXPECT_EQ(qelDriver(0), 201);  // takes the look's answer
  EXPECT_EQ(qelDriver(0), 202);  // once: now it reads the greeting
  // The reply to HELO comes after a look found nothing: the next look sees it.
  while (lib.record(0)->step.prevState != 203) ASSERT_GT(qelDriver(0), 0);
  EXPECT_EQ(qelWait(0, 0), 0);
  ASSERT_TRUE(dataArrives());
  EXPECT_EQ(qelWait(0, 0), 1);
  EXPECT_EQ(qelDriver(0), 0);
  qelAbort(0);
}

// 64 channels, each with a server that is slow to greet and slow to take
// the message, driven by one thread without any wait inside a step: every
// message is delivered, and the thread sleeps while the servers make it
// wait.
TEST(Waits, OneThreadDrivesManyChannelsThroughQelWait) {
  constexpr int32_t kChannels = 64;
  constexpr int kGreetingLateMs = 1500;
  Attached lib{kChannels};
  constexpr int kAnswerLateMs = 500;
  qelIntegerParam(0, QEL_PARAM_CLOSE_PAUSE, 0);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_FINAL_REPLY_WAIT, 0), 1);
  std::vector<Step> data = envelopeAndData({"<bob@example.net>"});
  data.insert(data.end() - 1, Pause(kAnswerLateMs));  // before the answer to "."
  std::vector<std::unique_ptr<ScriptServer>> servers;
  for (int32_t ch = 0; ch < kChannels; ++ch) {
    servers.push_back(std::make_unique<ScriptServer>(steps({{Pause(kGreetingLateMs)}, greeting(), data, quit()})));
    qelIntegerParam(ch, QEL_PARAM_AUTO_CALL, 0);
  }
  enum Phase { connecting, sending, closing, done };
  std::vector<Phase> phase(kChannels, connecting);
  std::vector<int32_t> results(kChannels, 1);
  double before = processCpuMs();
  for (int32_t ch = 0; ch < kChannels; ++ch) ASSERT_EQ(connectTo(*servers[ch], kFrom, ch), 0);
  int32_t left = kChannels;
  while (left > 0) {
    for (int32_t ch = 0; ch < kChannels; ++ch) {
      if (phase[ch] == done) continue;
      int32_t rc = qelDriver(ch);
      if (rc > 0) continue;
      if (rc == 0 && phase[ch] == connecting) {
        phase[ch] = sending;
        rc = qelSendEmail(ch, "<bob@example.net>", nullptr, nullptr, "s", "m", nullptr);
      } else if (rc == 0 && phase[ch] == sending) {
        phase[ch] = closing;
        rc = qelClose(ch);
      } else {
        phase[ch] = done;
        results[ch] = rc;
        --left;
      }
      ASSERT_EQ(rc, phase[ch] == done ? results[ch] : 0);
    }
    ASSERT_GE(qelWait(QEL_WAIT_ANY_CHANNEL, 10000), 0);
  }
  double used = processCpuMs() - before;
  for (int32_t ch = 0; ch < kChannels; ++ch) {
    SCOPED_TRACE(ch);
    EXPECT_EQ(results[ch], 0);
    EXPECT_TRUE(servers[ch]->finished(5000));
    EXPECT_EQ(servers[ch]->mismatches(), "");
  }
  EXPECT_LT(used, kMaxCpuShareOfWait * (kGreetingLateMs + kAnswerLateMs)) << "ms of processor time";
  qelIntegerParam(0, QEL_PARAM_FINAL_REPLY_WAIT, 100);
}

}  // namespace
