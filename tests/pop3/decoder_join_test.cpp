// Joining header lines with their continuation lines, against the scripted
// server: what is joined, what stays a line of its own on the connection,
// and the bound of the replyText area. Every case is played with the next
// lines arriving whole and in pieces (short ones byte by byte).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/channel.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "mime/decoder.h"
#include "pop3/session.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/receive.h"

using namespace qel;
using namespace qel::test;

namespace {

enum class Delivery { whole, inPieces };

class JoinTest : public ::testing::TestWithParam<Delivery> {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.downloading(0);

  void SetUp() override { settings.pop3ReadWait = 2000; }

  // Long texts come in small pieces rather than single bytes, to keep the
  // run short.
  Step deliver(const std::string& bytes) {
    if (GetParam() == Delivery::whole) return Send(bytes);
    return SendInPieces(bytes, bytes.size() > kLongText ? 37 : 1, 2);
  }
  static constexpr std::size_t kLongText = 200;
  void connect(ScriptServer& server) { ASSERT_EQ(connectChannel(0, server.port(), kProtocolPop3), 0); }
  void put(const std::string& line) {
    record->decoder->lineLength = copyText(record->texts.replyText, line.c_str(), kReplyAreaSize - 1);
    record->decoder->lineCut = 0;
    record->pop3->lineDeadline = tickAfter(plat::tickCount(), 4 * settings.pop3ReadWait);
  }
  // The next line left on the connection.
  std::string nextLine() {
    char line[kReplyRoom];
    int32_t got = readLine(record->connection, line, sizeof line, 3000, 3000);
    return got > 0 ? std::string(line, static_cast<std::size_t>(got)) : std::string();
  }
};

TEST_P(JoinTest, WhatIsJoinedAndWhatStaysALineOfItsOwn) {
  struct Case {
    const char* line;
    char mark;
    const char* next;
    bool joined;
    const char* result;
  } cases[] = {
      {"Content-Type: a;\r\n", ';', " b=1\r\n", true, "Content-Type: a;b=1\r\n"},
      {"Content-Type: a;\r\n", ';', "\t \tb=1\r\n", true, "Content-Type: a;b=1\r\n"},
      {"Content-Type: a; \t \r\n", ';', " b=1\r\n", true, "Content-Type: a;b=1\r\n"},
      // Parameters broken onto a line without a blank are still joined.
      {"Content-Type: a;\r\n", ';', "b=\"x:y\"\r\n", true, "Content-Type: a;b=\"x:y\"\r\n"},
      {"Content-Type: a\r\n", ';', " b=1\r\n", false, "Content-Type: a\r\n"},
      {"Subject: =?iso-8859-1?q?a?=\r\n", '=', " =?iso-8859-1?q?b?=\r\n", true,
       "Subject: =?iso-8859-1?q?a?==?iso-8859-1?q?b?=\r\n"},
      {"Content-Type: a\r\n", kNoMark, " name=x\r\n", true, "Content-Type: aname=x\r\n"},
      // Lines that cannot belong to the header line stay on the connection.
      {"Content-Type: a;\r\n", ';', "Content-Transfer-Encoding: base64\r\n", false, "Content-Type: a;\r\n"},
      {"Content-Type: a;\r\n", ';', "X-2:\r\n", false, "Content-Type: a;\r\n"},
      {"Content-Type: a;\r\n", ';', "\r\n", false, "Content-Type: a;\r\n"},
      {"Content-Type: a;\r\n", ';', ".\r\n", false, "Content-Type: a;\r\n"},
      {"Content-Type: a;\r\n", ';', "--boundary\r\n", false, "Content-Type: a;\r\n"},
      {"\r\n", kNoMark, " x\r\n", false, "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " + " + c.next);
    ScriptServer server({deliver(std::string(c.next) + "NEXT\r\n"), Silent()});
    connect(server);
    put(c.line);
    EXPECT_EQ(joinContinuation(record, c.mark), c.joined);
    EXPECT_EQ(std::string(record->texts.replyText), c.result);
    EXPECT_EQ(nextLine(), c.joined ? std::string("NEXT\r\n") : std::string(c.next));
  }
}

TEST_P(JoinTest, ContinuationIsSeenByItsFirstByte) {
  struct Case {
    const char* next;
    bool continues;
  } cases[] = {{" x\r\n", true}, {"\tx\r\n", true}, {"x\r\n", false}, {"\r\n", false}};
  for (const Case& c : cases) {
    // The line comes a moment later: it is waited for.
    ScriptServer server({Pause(100), deliver(c.next), Silent()});
    connect(server);
    put("Subject: x\r\n");
    EXPECT_EQ(nextLineContinues(record), c.continues) << c.next;
    EXPECT_EQ(nextLine(), c.next);  // nothing was taken
  }
}

TEST_P(JoinTest, JoiningStopsShortOfTheEndOfTheArea) {
  // Lines of 1001 bytes, each ending in the mark: three fit behind the
  // first; the fourth would not fit the area whole and stays on the
  // connection.
  std::string line = std::string(998, 'x') + ";\r\n";
  std::string following;
  for (char c : {'a', 'b', 'c', 'd'}) following += std::string(998, c) + ";\r\n";
  ScriptServer server({deliver(following), Silent()});
  connect(server);
  put(line);
  std::string expected = line.substr(0, 999);
  for (int join = 0; join < 3; ++join) {
    EXPECT_TRUE(joinContinuation(record, ';')) << join;
    expected += following.substr(static_cast<std::size_t>(join) * 1001, 999);
  }
  EXPECT_FALSE(joinContinuation(record, ';'));
  EXPECT_EQ(std::string(record->texts.replyText), expected + "\r\n");
  EXPECT_LT(textLength(record->texts.replyText), kReplyAreaSize);
  EXPECT_EQ(nextLine(), following.substr(3003));
}

TEST_P(JoinTest, ALongContinuationLineIsJoinedWhole) {
  std::string rest = std::string(1500, 'z');
  ScriptServer server({deliver(" " + rest + "\r\nNEXT\r\n"), Silent()});
  connect(server);
  put("Content-Type: a;\r\n");
  EXPECT_TRUE(joinContinuation(record, ';'));
  EXPECT_EQ(std::string(record->texts.replyText), "Content-Type: a;" + rest + "\r\n");
  EXPECT_EQ(record->decoder->lineCut, 0);
  EXPECT_EQ(nextLine(), "NEXT\r\n");
}

TEST_P(JoinTest, NothingToJoinLeavesTheLine) {
  settings.pop3ReadWait = 300;
  {
    ScriptServer silent({Silent()});
    connect(silent);
    put("Content-Type: a;\r\n");
    EXPECT_FALSE(joinContinuation(record, ';'));
    EXPECT_STREQ(record->texts.replyText, "Content-Type: a;\r\n");
  }
  ScriptServer closing({Close()});
  connect(closing);
  put("Content-Type: a;\r\n");
  EXPECT_FALSE(joinContinuation(record, ';'));
  EXPECT_STREQ(record->texts.replyText, "Content-Type: a;\r\n");
}

INSTANTIATE_TEST_SUITE_P(Deliveries, JoinTest, ::testing::Values(Delivery::whole, Delivery::inPieces),
                         [](const ::testing::TestParamInfo<Delivery>& info) {
                           return info.param == Delivery::whole ? "whole" : "inPieces";
                         });

}  // namespace
