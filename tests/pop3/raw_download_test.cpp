// qelGetEmailFile as a raw download (integer parameter 28 = 1): the
// server's answer goes to the file byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "frame/settings.h"
#include "mime/decoder_state.h"
#include "pop3_session.h"
#include "support/channel_setup.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

class Pop3RawDownload : public Pop3Channel {
 protected:
  void SetUp() override { qelIntegerParam(0, QEL_PARAM_DECODE_STATE, 1); }
  std::string messagePath() const { return dir.file("raw.eml"); }
  // Stages the download and drives it for at most 20 s. A download that
  // waited for the server's silence instead of ending at the "." line would
  // outlast that (the silence is set to 30 s).
  int32_t download(int32_t message) {
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
    int32_t rc = qelGetEmailFile(0, message, "raw.eml", dir.path().c_str(), dir.path().c_str());
    if (rc != 0) return rc;
    rc = driveToEnd(0, 20000);
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 1);
    return rc;
  }
};

TEST_F(Pop3RawDownload, AnswerIsKeptByteForByteAndEndsAtTheDotLine) {
  settings.pop3ReadWait = 30000;
  const std::string answers[] = {
      "+OK 70 octets\r\nSubject: raw\r\n\r\n+OK kept in a raw download\r\n..stuffed\r\n..\r\nend\r\n.\r\n",
      "+OK\r\n.\r\n",  // an empty message
      "+OK\r\n" + std::string(5000, 'b') + "\r\n.\r\n",
      // Several times the file's write buffer.
      "+OK\r\n" + [] {
        std::string lines;
        for (int i = 0; i < 2000; ++i) lines += std::string(60, static_cast<char>('a' + i % 26)) + "\r\n";
        return lines;
      }() + ".\r\n",
  };
  for (const std::string& answer : answers) {
    SCOPED_TRACE(answer.substr(0, 20));
    ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(answer), ExpectLine("NOOP"), Send("+OK\r\n"),
                                    ExpectClose()}));
    ASSERT_EQ(connect(server), 0);
    int32_t sentBefore = qelStatistics(0, QEL_STAT_MESSAGE_BYTES_SENT);
    EXPECT_EQ(download(1), 0);
    EXPECT_EQ(readFile(messagePath()), answer);
    EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_READ), static_cast<int32_t>(answer.size()));
    EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_SENT) - sentBefore, static_cast<int32_t>(answer.size()));
    EXPECT_EQ(record->decoder->mailFile, 0);
    EXPECT_EQ(qelCommand(0, "NOOP"), 0);
    qelAbort(0);
    ASSERT_TRUE(server.finished(5000));
    EXPECT_EQ(server.mismatches(), "");
  }
}

TEST_F(Pop3RawDownload, DotLineSplitAcrossReads) {
  settings.pop3ReadWait = 30000;
  std::string answer = "+OK\r\nA\r\n..\r\nB\r\n.\r\n";
  // Cuts inside "\r\n..\r\n" and inside the closing "\r\n.\r\n".
  for (std::size_t cut = 6; cut < answer.size(); ++cut) {
    SCOPED_TRACE(cut);
    ScriptServer server(afterLogin({ExpectLine("RETR 1"), SendSplit(answer, {cut}, 100), ExpectClose()}));
    ASSERT_EQ(connect(server), 0);
    EXPECT_EQ(download(1), 0);
    EXPECT_EQ(readFile(messagePath()), answer);
    qelAbort(0);
  }
}

TEST_F(Pop3RawDownload, SilenceEndsADownloadWithoutDotLine) {
  settings.pop3ReadWait = 300;
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send("+OK\r\nno end line\r\n"), Silent()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(download(1), 0);
  EXPECT_EQ(readFile(messagePath()), "+OK\r\nno end line\r\n");
  EXPECT_EQ(record->decoder->mailFile, 0);
}

TEST_F(Pop3RawDownload, ConnectionClosedBeforeTheDotLineFails) {
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send("+OK\r\ncut\r\n"), Close()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(download(1), QEL_ERR_SOCKET_CLOSED);
  EXPECT_EQ(readFile(messagePath()), "+OK\r\ncut\r\n");
  EXPECT_EQ(record->decoder->mailFile, 0);
  EXPECT_FALSE(socketIsOpen(record->connection));
}

TEST_F(Pop3RawDownload, ErrorAnswerFailsAtOnce) {
  ScriptServer server(afterLogin({ExpectLine("RETR 4"), Send("-ERR There's no message 4.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(download(4), QEL_ERR_POP3_ERROR);
  EXPECT_EQ(errorText(QEL_ERR_POP3_ERROR), "POP3 returned error. -ERR There's no message 4.\r\n");
  EXPECT_EQ(readFile(messagePath()), "");
  EXPECT_EQ(record->decoder->mailFile, 0);
}

// With QEL_PARAM_RAW_MESSAGE_ONLY the file holds the message itself: no
// status line, no end line, the dot-stuffing undone; the same, whether the
// answer comes whole or byte by byte (every byte a block of its own).
TEST_F(Pop3RawDownload, MessageOnlyKeepsTheMessageInAnySplit) {
  settings.loginPause = 0;
  settings.closePause = 0;
  settings.minimumWait = 0;
  ASSERT_EQ(qelIntegerParam(0, QEL_PARAM_RAW_MESSAGE_ONLY, 1), 1);
  // Many lines, every third one stuffed, so that dots meet block ends.
  std::string manyLines;
  std::string manyMessage;
  for (int i = 0; i < 3000; ++i) {
    std::string line = std::string(i % 3 == 0 ? "." : "") + std::string(i % 97, 'm') + "\r\n";
    manyMessage += line;
    manyLines += (line[0] == '.' ? "." : "") + line;
  }
  const struct {
    std::string answer;
    std::string message;
    int32_t result;
    bool bytewise;  // also sent in 1-byte pieces
  } cases[] = {
      {"+OK\r\n.\r\n", "", 0, true},
      {"+OK 40 octets\r\n..x\r\n..\r\n.x\r\n+OK\r\nlast\r\n\r\n.\r\n", ".x\r\n.\r\nx\r\n+OK\r\nlast\r\n\r\n", 0, true},
      // A CR without its LF, also right behind a leading dot.
      {"+OK\r\na\rb\r\n.\r\r\n.\rx\r\n\r.\r\n.\r\n", "a\rb\r\n\r\r\n\rx\r\n\r.\r\n", 0, true},
      // Behind a bare LF a dot is unstuffed, but "." CR LF ends nothing.
      {"+OK\na\n.\n.\r\nb\r\n.\r\n", "a\n\n\r\nb\r\n", 0, true},
      {"+OK\r\n" + manyLines + ".\r\n", manyMessage, 0, false},
      {"-ERR no such message\r\n", "", QEL_ERR_POP3_ERROR, true},
      // Silence before the end line: the message is not whole.
      {"+OK\r\npart\r\n.", "part\r\n", QEL_ERR_TIMED_OUT, true},
  };
  for (const auto& c : cases) {
    for (bool bytewise : {false, true}) {
      if (bytewise && !c.bytewise) continue;
      SCOPED_TRACE(c.answer.substr(0, 20) + (bytewise ? " bytewise" : " whole"));
      const bool silent = c.result == QEL_ERR_TIMED_OUT;
      settings.pop3ReadWait = silent ? 300 : 30000;
      ScriptServer server(afterLogin({ExpectLine("RETR 1"), bytewise ? SendInPieces(c.answer, 1, 2) : Send(c.answer),
                                      silent ? Silent() : ExpectClose()}));
      ASSERT_EQ(connect(server), 0);
      int32_t sentBefore = qelStatistics(0, QEL_STAT_MESSAGE_BYTES_SENT);
      EXPECT_EQ(download(1), c.result);
      EXPECT_EQ(readFile(messagePath()), c.message);
      // The server's whole status line, however it came.
      if (c.result == QEL_ERR_POP3_ERROR) {
        EXPECT_EQ(errorText(c.result), "POP3 returned error. " + c.answer);
      }
      if (c.result == 0) {
        EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_READ), static_cast<int32_t>(c.answer.size()));
        EXPECT_EQ(qelStatistics(0, QEL_STAT_MESSAGE_BYTES_SENT) - sentBefore, static_cast<int32_t>(c.message.size()));
      }
      EXPECT_EQ(record->decoder->mailFile, 0);
      qelAbort(0);
      if (!silent) {
        ASSERT_TRUE(server.finished(5000));
      }
      EXPECT_EQ(server.mismatches(), "");
    }
  }
}

TEST_F(Pop3RawDownload, WriteFailureFailsTheDownload) {
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send("+OK\r\nbody\r\n.\r\n"), ExpectClose()}));
  ASSERT_EQ(connect(server), 0);
  EXPECT_EQ(qelGetEmailFile(0, 1, "full", "/dev", dir.path().c_str()), -1);
  EXPECT_EQ(record->decoder->mailFile, 0);
}

}  // namespace
