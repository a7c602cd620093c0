// The receive ring, the line reader and the two reply readers, against the
// scripted server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "qel32.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "transport/send.h"
#include "driver/connection_use.h"

using namespace qel;
using namespace qel::test;

namespace {

// A channel connected to a scripted server; the reply under test is read
// directly, once it has begun to arrive.
class Readers : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(0);

  void connect(ScriptServer& server) { ASSERT_EQ(connectChannel(0, server.port()), 0); }
  bool dataWithin(int ms) { return waitForData(record->connection, ms); }
};

TEST_F(Readers, MultiLineSmtpReplyInOneSegment) {
  ScriptServer server({Send("250-first\r\n250-second\r\n250 last\r\n"), ExpectClose()});
  connect(server);
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_EQ(readSmtpReply(record), 0);
  EXPECT_STREQ(record->texts.replyText, "250-first\r\n250-second\r\n250 last\r\n");
  EXPECT_EQ(record->texts.replyCode, 250);
  EXPECT_STREQ(record->texts.lastReply, "250 last\r\n");
  EXPECT_EQ(ringCount(record->connection), 0);
  EXPECT_EQ(record->connection->ringRead, 0);
  EXPECT_EQ(record->connection->ringWrite, 0);
}

TEST_F(Readers, LinesSplitAcrossSegmentsAreAssembled) {
  std::string reply = "250-mail.test greets you\r\n250-SIZE 1000\r\n250 HELP\r\n";
  ScriptServer server({SendSplit(reply, {5, 30, 31, 44}, 60), ExpectClose()});
  connect(server);
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_EQ(readSmtpReply(record), 0);
  EXPECT_EQ(std::string(record->texts.replyText), reply);
}

TEST_F(Readers, TwoRepliesTogetherAreReadOneAtATime) {
  ScriptServer server({Send("220 hello\r\n250 ok\r\n"), ExpectClose()});
  connect(server);
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_EQ(readSmtpReply(record), 0);
  EXPECT_STREQ(record->texts.replyText, "220 hello\r\n");
  // The second reply is already in the ring: found without a socket test.
  EXPECT_GT(ringCount(record->connection), 0);
  EXPECT_TRUE(waitForData(record->connection, 0));
  EXPECT_EQ(readSmtpReply(record), 0);
  EXPECT_STREQ(record->texts.replyText, "250 ok\r\n");
  EXPECT_EQ(record->texts.replyCode, 250);
}

TEST_F(Readers, ReplyCodesDecideTheResult) {
  struct Case {
    const char* reply;
    int32_t result;
    int32_t code;
  } cases[] = {
      {"250\r\n", 0, 250},                      // three digits and CR LF end the reply
      {"421 closing\r\n", 0, 421},              // 4xx is the state's business
      {"550 no such user\r\n", kErrSmtpError, 550},
      {"554-first line\r\n554 second\r\n", kErrSmtpError, 554},
  };
  for (const Case& c : cases) {
    ScriptServer server({Send(c.reply), ExpectClose()});
    connect(server);
    ASSERT_TRUE(dataWithin(3000));
    EXPECT_EQ(readSmtpReply(record), c.result) << c.reply;
    EXPECT_EQ(record->texts.replyCode, c.code) << c.reply;
    qelAbort(0);
  }
}

TEST_F(Readers, ErrorReplyLeavesItsOtherLinesInTheRing) {
  ScriptServer server({Send("550-one\r\n550 two\r\n"), ExpectClose()});
  connect(server);
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_EQ(readSmtpReply(record), kErrSmtpError);
  char line[64];
  EXPECT_EQ(readLine(record->connection, line, sizeof line, 1000, 1000), 9);
  EXPECT_STREQ(line, "550 two\r\n");
}

// A reply ends within one reply time-out, however its lines and pieces
// come: a line trickled byte by byte is no reply once the time is up.
TEST_F(Readers, SlowRepliesEndAtTheReplyTimeout) {
  settings.replyTimeout = 300;
  std::string lines;
  for (int i = 0; i < 120; ++i) lines += "250-ab\r\n";
  const struct {
    const char* name;
    Step send;
  } cases[] = {
      {"missing continuation line", Send("250-only the first\r\n")},
      {"line trickled", SendInPieces("250 " + std::string(1000, 'x') + "\r\n", 1, 20)},
      {"continuation lines trickled", SendInPieces(lines + "250 end\r\n", 1, 20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server({c.send, Silent()});
    connect(server);
    ASSERT_TRUE(dataWithin(3000));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readSmtpReply(record), kErrTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    qelAbort(0);
  }
}

TEST_F(Readers, OverlongReplyOverflowsAndTheRestStaysReadable) {
  std::string reply;
  for (int i = 0; i < 30; ++i) reply += "250-" + std::string(40, 'a' + i % 26) + "\r\n";
  reply += "250 end\r\n";
  ScriptServer server({Send(reply), ExpectClose()});
  connect(server);
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_EQ(readSmtpReply(record), kErrResponseOverflow);
  // Nothing was lost: the remaining lines are still there, up to the end.
  std::string rest;
  char line[2048];
  int32_t n;
  while ((n = readLine(record->connection, line, 1024, 1000, 1000)) > 0) {
    rest.append(line, static_cast<size_t>(n));
    if (rest.size() >= 9 && rest.compare(rest.size() - 9, 9, "250 end\r\n") == 0) break;
  }
  // What the reader took and what is still readable make up the reply.
  EXPECT_EQ(std::string(record->texts.replyText) + rest, reply);
}

TEST_F(Readers, SingleLineLongerThanTheRoomOverflows) {
  std::string reply = "250 " + std::string(1500, 'x') + "\r\n";
  ScriptServer server({Send(reply), ExpectClose()});
  connect(server);
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_EQ(readSmtpReply(record), kErrResponseOverflow);
  char line[1024];
  int32_t n = readLine(record->connection, line, sizeof line, 1000, 1000);
  EXPECT_EQ(std::string(line, static_cast<size_t>(n)), std::string(1500 - 1019, 'x') + "\r\n");
}

TEST_F(Readers, Pop3StatusLines) {
  {
    ScriptServer server({Send("+OK ready\r\n"), ExpectClose()});
    connect(server);
    record->step.deadline = 12345;
    EXPECT_EQ(readPop3Reply(record), 0);
    EXPECT_EQ(record->texts.replyCode, 100);
    EXPECT_EQ(record->step.deadline, 0u);
    EXPECT_STREQ(record->texts.lastReply, "+OK ready\r\n");
    qelAbort(0);
  }
  {
    ScriptServer server({Send("-ERR go away\r\n"), ExpectClose()});
    connect(server);
    EXPECT_EQ(readPop3Reply(record), kErrPop3Error);
    EXPECT_EQ(record->texts.replyCode, 500);
    qelAbort(0);
  }
  {
    settings.pop3ReadWait = 200;
    ScriptServer server({Silent()});
    connect(server);
    EXPECT_EQ(readPop3Reply(record), kErrTimedOut);
  }
}

// A status line longer than the room keeps its start and is read to its
// line feed; its tail never becomes the next reply. A tail that keeps coming
// is given up at the reply time-out, and the log keeps only its start.
TEST_F(Readers, LongPop3StatusLineIsReadToItsEnd) {
  settings.replyTimeout = 300;
  TempDir dir;
  const std::string kept = "+OK " + std::string(1019, 'a');
  const struct {
    const char* name;
    std::vector<Step> steps;
    int32_t result;
    const char* next;  // the reply read after it, if any
    bool leftOut = false;  // the log notes bytes it left out
  } cases[] = {
      {"tail then refusal", {Send(kept + "+OK tail\r\n-ERR wrong password\r\n"), ExpectClose()}, 0,
       "-ERR wrong password\r\n"},
      {"tail in slow pieces", {SendInPieces(kept + std::string(2000, 'a') + "\r\n-ERR no\r\n", 700, 20), ExpectClose()},
       0, "-ERR no\r\n"},
      {"tail longer than the log keeps", {Send(kept + std::string(5000, 'a') + "\r\n-ERR no\r\n"), ExpectClose()}, 0,
       "-ERR no\r\n", true},
      {"tail that never ends", {Send(kept + "+OK tail"), Silent()}, kErrTimedOut, nullptr},
      {"tail that keeps coming", {SendEndless(kept, std::string(1 << 16, 'a'), 6000), Silent()}, kErrTimedOut,
       nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string log = dir.file(std::string(c.name) + ".log");
    ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
    ScriptServer server(c.steps);
    connect(server);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readPop3Reply(record), c.result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(std::string(record->texts.replyText), kept);
    if (c.next != nullptr) {
      EXPECT_EQ(readPop3Reply(record), kErrPop3Error);
      EXPECT_STREQ(record->texts.replyText, c.next);
    }
    qelAbort(0);
    qelStringParam(0, QEL_STRING_LOG_FILE, "");
    std::string text = readFile(log);
    EXPECT_LT(text.size(), 4u * kLogLineKeep);
    EXPECT_NE(text.find("P: " + kept), std::string::npos);
    if (c.next != nullptr) {
      EXPECT_NE(text.find(std::string("r: ") + c.next), std::string::npos);
    }
    EXPECT_EQ(text.find(" bytes of a long line not logged]") != std::string::npos, c.leftOut);
  }
}

// A connection that ends before the reply is complete is a failure, never a
// silent success.
TEST_F(Readers, PeerClosingBeforeTheReplyIsReported) {
  for (const char* partial : {"", "250-half a reply\r\n"}) {
    ScriptServer server({Send(partial), Close()});
    connect(server);
    ASSERT_TRUE(dataWithin(3000));
    EXPECT_EQ(readSmtpReply(record), kErrSocketClosed) << partial;
    EXPECT_EQ(record->texts.replyCode, partial[0] ? 250 : 0);
    qelAbort(0);
  }
  ScriptServer server({Close()});
  connect(server);
  record->texts.replyCode = 77;
  EXPECT_EQ(readPop3Reply(record), kErrSocketClosed);
  EXPECT_EQ(record->texts.replyCode, 77);
}

// A data test that finds data on a writable socket spares the receive after
// it a test of its own, and only that receive: the read clears the note, and
// an empty socket, a closed one and a new one are tested afresh. With prompt
// acknowledgements, the wait that follows a read leaves the kernel's delayed
// mode, which acknowledges what was read (the platform check sees it arrive).
TEST_F(Readers, ReadinessNoteHoldsUntilTheNextRead) {
  ScriptServer server({Send("first\r\n"), Pause(1000), Close()});
  qelIntegerParam(0, QEL_PARAM_PROMPT_ACK, 1);
  connect(server);
  int quickAck = 0;
  socklen_t size = sizeof quickAck;
  setsockopt(static_cast<int>(record->connection->socket), IPPROTO_TCP, TCP_QUICKACK, &quickAck, size);
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_TRUE(record->connection->receiveReadyNoted);
  char block[64];
  EXPECT_EQ(receiveTake(record->connection, block, sizeof block - 1), 7);
  EXPECT_FALSE(record->connection->receiveReadyNoted);
  EXPECT_FALSE(dataWithin(0));
  EXPECT_FALSE(record->connection->receiveReadyNoted);
  getsockopt(static_cast<int>(record->connection->socket), IPPROTO_TCP, TCP_QUICKACK, &quickAck, &size);
  EXPECT_EQ(quickAck, 1);
  ASSERT_TRUE(dataWithin(3000));  // the close reads as data
  EXPECT_EQ(receiveTake(record->connection, block, sizeof block - 1), kConnectionGone);
  EXPECT_FALSE(record->connection->receiveReadyNoted);
  qelAbort(0);
  ScriptServer next({Pause(1000), Send("x\r\n"), ExpectClose()});
  record->connection->receiveReadyNoted = true;
  connect(next);
  EXPECT_FALSE(record->connection->receiveReadyNoted);
  EXPECT_FALSE(dataWithin(0));
}

TEST_F(Readers, LongLinesArriveInPiecesAndNulDoesNotJoinLines) {
  std::string longLine = std::string(3000, 'L') + "\r\n";
  std::string withNul = std::string("a\0b\r\n", 5);
  ScriptServer server({Send(longLine + withNul + "next\r\n"), ExpectClose()});
  connect(server);
  char buffer[1100];
  std::string assembled;
  int pieces = 0;
  while (assembled.size() < longLine.size()) {
    int32_t n = readLine(record->connection, buffer, 1024, 2000, 2000);
    ASSERT_GT(n, 0);
    EXPECT_LE(n, 1023);
    assembled.append(buffer, static_cast<size_t>(n));
    ++pieces;
  }
  EXPECT_EQ(assembled, longLine);
  EXPECT_EQ(pieces, 3);
  EXPECT_EQ(readLine(record->connection, buffer, 1024, 2000, 2000), 5);
  EXPECT_EQ(std::string(buffer, 5), withNul);
  EXPECT_EQ(readLine(record->connection, buffer, 1024, 2000, 2000), 6);
  EXPECT_STREQ(buffer, "next\r\n");
}

TEST_F(Readers, SendLineRestoresTheBufferAndEverythingIsLogged) {
  TempDir dir;
  std::string log = dir.file("t.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  ScriptServer server({ExpectLine("NOOP"), Send("250 fine\r\n"), ExpectClose()});
  connect(server);
  char command[8] = "NOOP";
  EXPECT_EQ(sendLine(record->connection, command), 6);
  EXPECT_STREQ(command, "NOOP");
  ASSERT_TRUE(dataWithin(3000));
  EXPECT_EQ(readSmtpReply(record), 0);
  qelAbort(0);
  ASSERT_TRUE(server.finished(3000));
  EXPECT_EQ(server.received(), "NOOP\r\n");
  std::string text = readFile(log);
  EXPECT_NE(text.find("S: NOOP\r\n"), std::string::npos);
  EXPECT_NE(text.find("P: 250 fine\r\n"), std::string::npos);
  EXPECT_NE(text.find("r: 250 fine\r\n"), std::string::npos);
}

TEST(Ring, TakeAndPeekReturnToZero) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  Connection* connection = useConnection(record);
  connection->ringRead = connection->ringWrite = 1022;  // wraps inside
  ringPut(record->connection, "abc", 3);
  EXPECT_EQ(ringCount(record->connection), 3);
  char out[8] = {};
  EXPECT_EQ(ringPeek(record->connection, out, 5), 3);
  EXPECT_EQ(std::string(out, 3), "abc");
  EXPECT_EQ(ringCount(record->connection), 3);
  EXPECT_EQ(ringTake(record->connection, out, 5), 3);
  EXPECT_EQ(std::string(out, 3), "abc");
  EXPECT_EQ(record->connection->ringRead, 0);
  EXPECT_EQ(record->connection->ringWrite, 0);
}

TEST(Ring, ReceiveTakeStreamsPastTheRing) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  std::string data(5000, 'd');
  ScriptServer server({Send("line\r\n" + data), ExpectClose()});
  ASSERT_EQ(connectChannel(0, server.port()), 0);
  char line[64];
  ASSERT_TRUE(waitForData(record->connection, 3000));
  EXPECT_EQ(readLine(record->connection, line, sizeof line, 1000, 1000), 6);
  std::string streamed;
  char block[2049];
  while (streamed.size() < data.size()) {
    ASSERT_TRUE(waitForData(record->connection, 3000));
    int32_t n = receiveTake(record->connection, block, 2048);
    ASSERT_GT(n, 0);
    streamed.append(block, static_cast<size_t>(n));
  }
  EXPECT_EQ(streamed, data);
}

}  // namespace
