// TOP into the caller's buffer or the lines block, and UIDL for one
// message or for all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/memory.h"
#include "frame/settings.h"
#include "pop3/session.h"
#include "pop3_session.h"
#include "support/channel_setup.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

class Pop3Buffers : public Pop3Channel {
 protected:
  static std::string longHeader() {
    std::string header = "+OK top of message follows\r\n";
    for (int i = 0; i < 10; ++i) header += "X-Header-" + std::to_string(i) + ": some value of the header\r\n";
    return header + "\r\n";
  }
};

TEST_F(Pop3Buffers, TopStoresExactlyTheBufferSizeAndReadsToTheEnd) {
  std::string answer = longHeader();
  ScriptServer server(afterLogin({ExpectLine("TOP 3 0"), Send(answer + ".\r\n"), ExpectLine("STAT"),
                                  Send("+OK 4 100\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  char buffer[140];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(qelGetEmailLines(0, 3, -5, buffer, 128), 128);
  EXPECT_EQ(std::string(buffer, 128), answer.substr(0, 128));
  EXPECT_EQ(std::string(buffer + 128, 12), std::string(12, '#'));  // nothing behind, not even a NUL
  EXPECT_EQ(qelStatistics(0, QEL_STAT_LINE_BYTES), 128);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_READ), static_cast<int32_t>(answer.size()));
  // The rest of the answer was read: the next command meets its own reply.
  EXPECT_EQ(qelGetEmailCount(0), 4);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(Pop3Buffers, TopIntoTheLinesBlockIsSavedToAFile) {
  std::string answer = "+OK\r\nSubject: hello\r\n\r\nfirst body line\r\n";
  ScriptServer server(afterLogin({ExpectLine("TOP 1 1"), Send(answer + ".\r\n"), ExpectLine("TOP 2 1"),
                                  Send("+OK\r\nSubject: two\r\n\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  char star[] = "*";
  EXPECT_EQ(qelGetEmailLines(0, 1, 1, star, 500), static_cast<int32_t>(answer.size()));
  char text[600];
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LINES_BLOCK, text, 599), static_cast<int32_t>(answer.size()));
  EXPECT_STREQ(text, answer.c_str());
  // The block is still held: a second buffer-less call is refused.
  EXPECT_EQ(qelGetEmailLines(0, 2, 1, star, 500), QEL_ERR_NO_MEMORY);
  std::string saved = dir.file("top.txt");
  EXPECT_EQ(qelStringParam(0, QEL_STRING_SAVE_LINES, saved.c_str()), static_cast<int32_t>(answer.size()));
  EXPECT_EQ(readFile(saved), answer);
  EXPECT_EQ(blockIsAllocated(kSlotLines), 0);
  EXPECT_EQ(qelGetEmailLines(0, 2, 1, star, 500), 21);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(Pop3Buffers, TopErrorAnswerFailsAtOnce) {
  ScriptServer server(afterLogin({ExpectLine("TOP 7 0"), Send("-ERR no such message\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  char buffer[128];
  EXPECT_EQ(qelGetEmailLines(0, 7, 0, buffer, 128), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(errorText(QEL_ERR_POP3_ERROR), "POP3 returned error. -ERR no such message\r\n");
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 500);
  EXPECT_EQ(record->pop3->lineBufferUsed, 0);
  EXPECT_FALSE(socketIsOpen(record->connection));
}

TEST_F(Pop3Buffers, TopCutShortByTheServerFails) {
  ScriptServer server(afterLogin({ExpectLine("TOP 1 0"), Send("+OK\r\nSubject: cut\r\n"), Close()}));
  ASSERT_EQ(connect(server), 0);
  char buffer[128];
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, buffer, 128), QEL_ERR_SOCKET_CLOSED);
  EXPECT_EQ(record->pop3->lineBufferUsed, 19);  // what came is kept
}

TEST_F(Pop3Buffers, UidlForOneMessageIsItsStatusLine) {
  ScriptServer server(afterLogin({ExpectLine("UIDL 2"), Send("+OK 2 QhdPYR:00WBw1Ph7x7\r\n"), ExpectLine("UIDL 5"),
                                  Send("-ERR no such message\r\n"), ExpectLine("NOOP"), Send("+OK\r\n"),
                                  ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  char buffer[128];
  EXPECT_EQ(qelGetEmailUID(0, 2, buffer, 128), 26);
  EXPECT_STREQ(buffer, "+OK 2 QhdPYR:00WBw1Ph7x7\r\n");
  // An error answer is a refusal, not an id.
  EXPECT_EQ(qelGetEmailUID(0, 5, buffer, 128), QEL_ERR_POP3_ERROR);
  EXPECT_STREQ(buffer, "");
  // Nothing of the answers is left over.
  EXPECT_EQ(qelCommand(0, "NOOP"), 0);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(Pop3Buffers, UidlListIsStoredWithoutTheDotLine) {
  std::string list = "+OK unique-id listing follows\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n2 QhdPYR:00WBw1Ph7x7\r\n"
                     "3 ..dotted\r\n";
  std::string stored = "+OK unique-id listing follows\r\n1 whqtswO00WBw418f9t5JxYwZ\r\n2 QhdPYR:00WBw1Ph7x7\r\n"
                       "3 ..dotted\r\n";
  ScriptServer server(afterLogin({ExpectLine("UIDL"), Send(list + ".\r\n"), ExpectLine("UIDL 0"),
                                  Send("+OK\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  char buffer[300];
  EXPECT_EQ(qelGetEmailUID(0, -1, buffer, 300), static_cast<int32_t>(stored.size()));
  EXPECT_EQ(std::string(buffer), stored);
  // Message 0 asks in the list form.
  EXPECT_EQ(qelGetEmailUID(0, 0, buffer, 300), 5);
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

TEST_F(Pop3Buffers, UidlListIsCutToTheBufferAndStillReadToTheEnd) {
  std::string list = "+OK\r\n";
  for (int i = 1; i <= 20; ++i) list += std::to_string(i) + " unique-id-of-message-" + std::to_string(i) + "\r\n";
  ScriptServer server(afterLogin({ExpectLine("UIDL"), Send(list + ".\r\n"), ExpectLine("NOOP"), Send("+OK\r\n"),
                                  ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  char buffer[140];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(qelGetEmailUID(0, -1, buffer, 128), 127);
  EXPECT_EQ(std::string(buffer, 127), list.substr(0, 127));
  EXPECT_EQ(buffer[127], '\0');
  EXPECT_EQ(buffer[128], '#');
  EXPECT_EQ(qelCommand(0, "NOOP"), 0);
  qelAbort(0);
}

TEST_F(Pop3Buffers, UidlListErrorEndsTheAnswer) {
  // No list follows an error status line: the operation does not wait for
  // one.
  ScriptServer server(afterLogin({ExpectLine("UIDL"), Send("-ERR not supported\r\n"), ExpectLine("NOOP"),
                                  Send("+OK\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  char buffer[128];
  EXPECT_EQ(qelGetEmailUID(0, -1, buffer, 128), QEL_ERR_POP3_ERROR);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(qelCommand(0, "NOOP"), 0);
  qelAbort(0);
}

TEST_F(Pop3Buffers, UidlCutShortByTheServerFails) {
  const struct {
    const char* name;
    int32_t message;
    const char* sent;
    const char* stored;
  } cases[] = {
      {"list without its end", -1, "+OK\r\n1 abc\r\n", "+OK\r\n1 abc\r\n"},
      {"no answer at all", 3, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string command = c.message < 0 ? "UIDL" : "UIDL " + std::to_string(c.message);
    ScriptServer server(afterLogin({ExpectLine(command), Send(c.sent), Close()}));
    ASSERT_EQ(connect(server), 0);
    char buffer[128];
    std::strcpy(buffer, "stale text");
    EXPECT_EQ(qelGetEmailUID(0, c.message, buffer, 128), QEL_ERR_SOCKET_CLOSED);
    EXPECT_STREQ(buffer, c.stored);
    ASSERT_TRUE(server.finished(5000));
  }
}

TEST_F(Pop3Buffers, DotRulesOfMultiLineAnswers) {
  // RFC 1939: a line that begins with "." loses it; "." alone ends the
  // answer. Pieces of a line longer than 1023 bytes are not line starts.
  std::string longLine = std::string(1023, 'a') + ".\r\n";
  std::string sent = "+OK\r\n..\r\n...\r\n..x\r\n. \r\n" + longLine + "last\r\n.\r\n";
  std::string stored = "+OK\r\n.\r\n..\r\n.x\r\n \r\n" + longLine + "last\r\n";
  ScriptServer server(afterLogin({ExpectLine("TOP 1 10"), Send(sent), ExpectLine("UIDL"), Send(sent),
                                  ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  std::string buffer(2000, '\0');
  EXPECT_EQ(qelGetEmailLines(0, 1, 10, buffer.data(), 2000), static_cast<int32_t>(stored.size()));
  EXPECT_EQ(buffer.substr(0, stored.size()), stored);
  std::fill(buffer.begin(), buffer.end(), '#');
  EXPECT_EQ(qelGetEmailUID(0, -1, buffer.data(), 2000), static_cast<int32_t>(stored.size()));
  EXPECT_EQ(buffer.substr(0, stored.size() + 1), stored + '\0');
  qelAbort(0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

}  // namespace

namespace {

TEST_F(Pop3Buffers, LinesBlockSavedWhileTopStillRunsIsNotWrittenAgain) {
  ScriptServer server(afterLogin({ExpectLine("TOP 1 0"), Send("+OK\r\nSubject: late\r\n\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  char star[] = "*";
  ASSERT_EQ(qelGetEmailLines(0, 1, 0, star, 200), 0);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_SAVE_LINES, dir.file("early.txt").c_str()), 0);
  EXPECT_EQ(driveToEnd(0), 0);
  EXPECT_EQ(record->pop3->lineBufferUsed, 0);
  EXPECT_EQ(readFile(dir.file("early.txt")), "");
  qelAbort(0);
}

}  // namespace
