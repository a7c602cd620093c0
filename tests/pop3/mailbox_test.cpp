// STAT, LIST n and DELE n: their one-line answers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "mime/decoder_state.h"
#include "pop3_session.h"
#include "support/channel_setup.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

class Pop3Mailbox : public Pop3Channel {};

TEST_F(Pop3Mailbox, CountFromStat) {
  const struct {
    const char* reply;
    int32_t count;
  } cases[] = {
      {"+OK 2 320\r\n", 2},
      {"+OK  2 320\r\n", 0},  // the count must follow one space
      {"+OK 17\r\n", 17},
      {"+OK\r\n", 0},
      // Numbers beyond the int32 range are clamped, never wrapped.
      {"+OK 4294967295 1\r\n", INT32_MAX},
      {"+OK 4294967297 1\r\n", INT32_MAX},
      {"+OK 12345678901 1\r\n", INT32_MAX},
      {"+OK 2147483647 1\r\n", INT32_MAX},
      {"+OK 2147483646 1\r\n", INT32_MAX - 1},
  };
  std::vector<Step> steps;
  for (const auto& c : cases) {
    steps.push_back(ExpectLine("STAT"));
    steps.push_back(Send(c.reply));
  }
  steps.push_back(ExpectClose());
  ScriptServer server(afterLogin(steps));
  ASSERT_EQ(connect(server), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(qelGetEmailCount(0), c.count);
    EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_COUNT), c.count);
    EXPECT_TRUE(socketIsOpen(record->connection));
  }
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(Pop3Mailbox, SizeFromList) {
  const struct {
    int32_t message;
    std::string reply;
    int32_t size;
  } cases[] = {
      {1, "+OK 1 120\r\n", 120},
      {2, "+OK 120\r\n", 0},  // no third word
      {3, "+OK 3 77 extra\r\n", 77},
      {4, "+OK 4 4294967295\r\n", INT32_MAX},
      // Longer than one read: the rest of the line is not the next answer.
      {5, "+OK 5 " + std::string(4000, '7') + "\r\n", INT32_MAX},
      {6, "+OK 6 1\r\n", 1},
  };
  std::vector<Step> steps;
  for (const auto& c : cases) {
    steps.push_back(ExpectLine("LIST " + std::to_string(c.message)));
    steps.push_back(Send(c.reply));
  }
  steps.push_back(ExpectClose());
  ScriptServer server(afterLogin(steps));
  ASSERT_EQ(connect(server), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(qelGetEmailSize(0, c.message), c.size);
    EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_SIZE), c.size);
  }
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

// A refusal is the server's word: the operation fails with it, and the
// connection stays in step for the next operation.
TEST_F(Pop3Mailbox, RefusedCommandsFailWithTheServersLine) {
  char buffer[128];
  const struct {
    const char* command;
    std::function<int32_t()> call;
    std::string reply;
  } cases[] = {
      {"STAT", [] { return qelGetEmailCount(0); }, "-ERR mailbox locked\r\n"},
      {"LIST 99", [] { return qelGetEmailSize(0, 99); }, "-ERR There's no message 99.\r\n"},
      {"DELE 9", [] { return qelDeleteEmail(0, 9); }, "-ERR no such message\r\n"},
      {"UIDL 5", [&buffer] { return qelGetEmailUID(0, 5, buffer, 128); }, "-ERR no such message\r\n"},
      {"UIDL", [&buffer] { return qelGetEmailUID(0, -1, buffer, 128); }, "-ERR not supported\r\n"},
      {"STAT", [] { return qelGetEmailCount(0); }, "-ERR " + std::string(1500, 'e') + "\r\n"},
      {"UIDL 6", [&buffer] { return qelGetEmailUID(0, 6, buffer, 128); }, "-ERR " + std::string(1500, 'u') + "\r\n"},
  };
  std::vector<Step> steps = {ExpectLine("STAT"), Send("+OK 3 300\r\n"), ExpectLine("DELE 2"),
                             Send("+OK message 2 deleted\r\n")};
  for (const auto& c : cases) {
    steps.push_back(ExpectLine(c.command));
    steps.push_back(Send(c.reply));
  }
  steps.push_back(ExpectLine("QUIT"));
  steps.push_back(Send("+OK bye\r\n"));
  ScriptServer server(afterLogin(steps));
  ASSERT_EQ(connect(server), 0);
  ASSERT_EQ(qelGetEmailCount(0), 3);
  EXPECT_EQ(qelDeleteEmail(0, 2), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::strcpy(buffer, "old");
    EXPECT_EQ(c.call(), QEL_ERR_POP3_ERROR);
    EXPECT_EQ(errorText(QEL_ERR_POP3_ERROR).substr(0, 60), ("POP3 returned error. " + c.reply).substr(0, 60));
    EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 500);
    if (c.command[0] == 'U') {
      EXPECT_STREQ(buffer, "");
    }
    EXPECT_TRUE(socketIsOpen(record->connection));
  }
  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(Pop3Mailbox, AnswerThatNeverComesIsAFailure) {
  // The verdict of the server may be an error; a missing answer is not a
  // verdict.
  const struct {
    const char* name;
    std::function<int32_t()> call;
    const char* command;
  } cases[] = {
      {"count", [] { return qelGetEmailCount(0); }, "STAT"},
      {"size", [] { return qelGetEmailSize(0, 1); }, "LIST 1"},
      {"delete", [] { return qelDeleteEmail(0, 1); }, "DELE 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server(afterLogin({ExpectLine(c.command), Close()}));
    ASSERT_EQ(connect(server), 0);
    EXPECT_EQ(c.call(), QEL_ERR_SOCKET_CLOSED);
    EXPECT_FALSE(socketIsOpen(record->connection));
    ASSERT_TRUE(server.finished(5000));
  }
}

TEST_F(Pop3Mailbox, CallerDrivenCount) {
  ScriptServer server(afterLogin({ExpectLine("STAT"), Send("+OK 5 900\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  EXPECT_EQ(qelGetEmailCount(0), 0);
  EXPECT_EQ(record->step.nextState, 307);
  EXPECT_EQ(driveToEnd(0), 0);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_COUNT), 5);
  qelAbort(0);
}

TEST_F(Pop3Mailbox, CommandThatCannotBeSentFailsWithAWriteError) {
  ScriptServer server(afterLogin({ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  qelAbort(0);
  char buffer[128];
  EXPECT_EQ(qelGetEmailCount(0), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(qelGetEmailSize(0, 1), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(qelDeleteEmail(0, 1), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, buffer, 128), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(qelGetEmailUID(0, 1, buffer, 128), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(qelGetEmailFile(0, 1, "m.txt", dir.path().c_str(), dir.path().c_str()), QEL_ERR_SOCKET_WRITE);
  EXPECT_EQ(record->decoder->mailFile, 0);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_SOCKET_CODE), QEL_WSA_ENOTSOCK);
}

}  // namespace
