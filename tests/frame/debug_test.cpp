// qelDebug: every query, its limits, the channel check and the sweep. The
// values that a download or a send leaves behind are set directly here;
// the end-to-end tests read them after real operations.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <regex>
#include <string>

#include "frame/channel.h"
#include "frame/date_line.h"
#include "frame/errors.h"
#include "frame/memory.h"
#include "frame/text.h"
#include "mime/decoder_state.h"
#include "pop3/pop3_session.h"
#include "qel32.h"
#include "smtp/smtp_session.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "driver/connection_use.h"

using namespace qel;
using namespace qel::test;

namespace {

class Debug : public ::testing::Test {
 protected:
  Attached lib{2};
  ChannelRecord* record = lib.record(1);
  char buffer[300];

  void SetUp() override { std::memset(buffer, 'X', sizeof buffer); }
  int32_t ask(int32_t index, int32_t size) { return qelDebug(1, index, buffer, size); }
};

TEST_F(Debug, UnlistedIndexesAnswerAQuestionMark) {
  for (int32_t index : {7, 0, -1, -2, 22, 24, 26, 41, INT32_MIN, INT32_MAX}) {
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(ask(index, 10), 0) << index;
    EXPECT_STREQ(buffer, "?") << index;
  }
  // Even "?" respects the caller's size.
  EXPECT_EQ(ask(7, 0), 0);
  EXPECT_STREQ(buffer, "");
}

TEST_F(Debug, ChannelCheckAndNullBuffer) {
  EXPECT_EQ(qelDebug(2, QEL_DEBUG_LAST_REPLY, buffer, 10), kErrChannelRange);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(qelDebug(-1, QEL_DEBUG_LAST_REPLY, buffer, 10), kErrChannelRange);
  EXPECT_EQ(qelDebug(1, QEL_DEBUG_LAST_REPLY, nullptr, 10), 0);
  EXPECT_EQ(qelDebug(99, QEL_DEBUG_LAST_REPLY, nullptr, 10), 0);  // before the channel is looked at
  qelRelease();
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_REPLY, buffer, 10), kErrNotAttached);
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_REPLY, nullptr, 10), 0);
  ASSERT_EQ(qelAttach(2, 0), 1);  // for the fixture's release
}

TEST_F(Debug, LastReplyCountsItsLineEndOnlyInTheBuffer) {
  struct Case {
    const char* reply;
    int32_t size;
    int32_t result;
    const char* text;
  } cases[] = {
      {"+OK ready\r\n", 50, 9, "+OK ready\r\n"},
      {"+OK ready\r\n", 4, 4, "+OK "},
      {"+OK ready\r\n", 10, 10, "+OK ready\r"},
      {"\r\n", 50, 2, "\r\n"},  // shorter than 3: counted whole
      {"x\r\n", 50, 1, "x\r\n"},
      {"250 ok", 50, 6, "250 ok"},
      {"", 50, 0, ""},
      {"+OK", -5, 0, ""},
  };
  for (const Case& c : cases) {
    copyText(record->texts.lastReply, c.reply, kLastReplyCap);
    EXPECT_EQ(ask(QEL_DEBUG_LAST_REPLY, c.size), c.result) << c.reply << c.size;
    EXPECT_STREQ(buffer, c.text) << c.reply << c.size;
  }
  // Never more than 128 characters.
  std::string longReply(kLastReplyCap, 'r');
  copyText(record->texts.lastReply, longReply.c_str(), kLastReplyCap);
  EXPECT_EQ(ask(QEL_DEBUG_LAST_REPLY, 299), kLastReplyCap);
  EXPECT_EQ(std::string(buffer), longReply);
}

TEST_F(Debug, ServerAddressNeedsRoomAbove16) {
  useConnection(record)->serverAddress = 0x0A000001;  // 10.0.0.1
  EXPECT_EQ(ask(QEL_DEBUG_SERVER_ADDRESS, 16), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(ask(QEL_DEBUG_SERVER_ADDRESS, 17), 8);
  EXPECT_STREQ(buffer, "10.0.0.1");
  record->connection->serverAddress = 0xFFFEFDFC;
  EXPECT_EQ(ask(QEL_DEBUG_SERVER_ADDRESS, INT32_MAX), 15);  // no size + 1 overflow
  EXPECT_STREQ(buffer, "255.254.253.252");
}

TEST_F(Debug, LocalAddressOfTheConnectedSocket) {
  EXPECT_EQ(ask(QEL_DEBUG_LOCAL_ADDRESS, 17), 0);  // no socket
  EXPECT_STREQ(buffer, "");
  ScriptServer server({ExpectClose()});
  ASSERT_EQ(connectChannel(1, server.port()), 0);
  EXPECT_EQ(ask(QEL_DEBUG_LOCAL_ADDRESS, 16), 0);
  EXPECT_EQ(ask(QEL_DEBUG_LOCAL_ADDRESS, 17), 9);
  EXPECT_STREQ(buffer, "127.0.0.1");
  // The address is kept in the channel slot, network byte order.
  const uint8_t* slot = channelTable[1].remoteAddress;
  EXPECT_EQ(slot[4], 127);
  EXPECT_EQ(slot[5], 0);
  EXPECT_EQ(slot[6], 0);
  EXPECT_EQ(slot[7], 1);
}

TEST_F(Debug, SavedNamesAndLastRecipient) {
  EXPECT_EQ(ask(QEL_DEBUG_SAVED_NAMES, 100), 0);  // no download yet
  ASSERT_EQ(openDecoder(record), 0);
  copyText(record->decoder->savedNames, "a.txt,b.bin", kSavedNamesCap);
  EXPECT_EQ(ask(QEL_DEBUG_SAVED_NAMES, 100), 11);
  EXPECT_STREQ(buffer, "a.txt,b.bin");
  EXPECT_EQ(ask(QEL_DEBUG_SAVED_NAMES, 5), 5);
  EXPECT_STREQ(buffer, "a.txt");
  std::string full(kSavedNamesCap - 1, 'n');
  copyText(record->decoder->savedNames, full.c_str(), kSavedNamesCap);
  char big[kSavedNamesCap + 1];
  EXPECT_EQ(qelDebug(1, QEL_DEBUG_SAVED_NAMES, big, kSavedNamesCap), kSavedNamesCap - 1);
  EXPECT_EQ(std::string(big), full);

  // A channel without an SMTP session has no last recipient.
  EXPECT_EQ(ask(QEL_DEBUG_LAST_RECIPIENT, 100), 0);
  ASSERT_EQ(openSmtpSession(record), 0);
  copyText(record->smtp->lastRecipient, "<bob@example.org>", kLastRecipientCap);
  EXPECT_EQ(ask(QEL_DEBUG_LAST_RECIPIENT, 100), 17);
  EXPECT_STREQ(buffer, "<bob@example.org>");
  EXPECT_EQ(ask(QEL_DEBUG_LAST_RECIPIENT, 4), 4);
  EXPECT_STREQ(buffer, "<bob");
}

TEST_F(Debug, LinesBlock) {
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 100), kErrNullPointer);
  EXPECT_STREQ(buffer, "");
  // As a buffer-less line download leaves it: the caller's size + 2 bytes.
  char* block = channelAllocate(1, kSlotLines, 20 + 2);
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "+OK\r\nSubject: x\r\n", 17);
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 100), 17);
  EXPECT_STREQ(buffer, "+OK\r\nSubject: x\r\n");
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 3), 3);
  EXPECT_STREQ(buffer, "+OK");
  // A block full to its last byte is answered within the block.
  std::memset(block, 'b', 22);
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 100), 22);
  EXPECT_EQ(std::string(buffer), std::string(22, 'b'));
  channelFreeRange(1, kSlotLines, kSlotLines);

  ASSERT_NE(channelAllocate(1, kSlotLines, 0), nullptr);
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 100), 0);
}

TEST_F(Debug, LinesBlockAroundABufferlessLineDownload) {
  std::string answer = "+OK\r\nSubject: lines\r\n\r\nbody\r\n";
  ScriptServer server(afterLogin({ExpectLine("TOP 3 1"), Send(answer + ".\r\n"), ExpectLine("QUIT"),
                                  Send("+OK\r\n")}));
  qelIntegerParam(1, QEL_PARAM_POP3_PORT, server.port());
  ASSERT_EQ(qelPop3Connect(1, kLoopback, "u", "p"), 0);
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 200), kErrNullPointer);
  char star[] = "*";
  ASSERT_EQ(qelGetEmailLines(1, 3, 1, star, 100), static_cast<int32_t>(answer.size()));
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 200), static_cast<int32_t>(answer.size()));
  EXPECT_EQ(std::string(buffer), answer);
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 3), 3);
  EXPECT_STREQ(buffer, "+OK");
  EXPECT_EQ(qelClose(1), 0);  // frees the block
  EXPECT_EQ(ask(QEL_DEBUG_LINES_BLOCK, 200), kErrNullPointer);
}

TEST_F(Debug, DateLineAsForOutgoingMessages) {
  EXPECT_EQ(ask(QEL_DEBUG_DATE_LINE, 100), 0);
  std::string line = buffer;
  std::regex pattern("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-9]{1,2} "
                     "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                     "[0-9]{1,2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}");
  EXPECT_TRUE(std::regex_match(line, pattern)) << line;
  // The same routine as the outgoing header (the second may have turned).
  char direct[100];
  formatDateLine(direct, sizeof direct);
  EXPECT_EQ(line.substr(0, 12), std::string(direct).substr(0, 12));
  EXPECT_EQ(ask(QEL_DEBUG_DATE_LINE, 5), 0);
  EXPECT_STREQ(buffer, "Date:");
}

// The original form keeps a one-digit hour; the standard one has two.
TEST(DateLine, OriginalAndStandardForms) {
  char line[100];
  for (bool twoDigitHour : {false, true}) {
    plat::LocalTime time{2026, 12, 2, 8, 3, 39, 7, -210};
    formatDateLineAt(time, line, sizeof line, twoDigitHour);
    EXPECT_STREQ(line, twoDigitHour ? "Date: Tue, 8 Dec 2026 03:39:07 -0330" : "Date: Tue, 8 Dec 2026 3:39:07 -0330");
  }
}

TEST_F(Debug, SweepReportsEachDamagedBlockOnce) {
  char* subject = allocAndCopy(1, kSlotSubject, "abc");
  ASSERT_NE(subject, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(qelDebug(QEL_SWEEP_CHANNEL, 23, nullptr, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  subject[5] = '!';  // the trailing guard of the 5-byte user area
  testing::internal::CaptureStderr();
  EXPECT_EQ(qelDebug(QEL_SWEEP_CHANNEL, 23, buffer, 10), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Info: Memory Corrupted (qelDebug): ID=" + std::to_string(1 * kSlotsPerChannel + kSlotSubject) +
                " Err=-106\n");
  EXPECT_EQ(buffer[0], 'X');  // the sweep leaves the buffer alone
  subject[5] = 'z';           // repaired, so that release frees it
}

}  // namespace
