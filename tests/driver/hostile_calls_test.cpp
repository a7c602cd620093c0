// Every export called with null pointers, sizes of zero or below, channel
// numbers of every sign and texts longer than any capacity: documented
// results, never a crash (the sanitizer build checks that no byte outside
// the given buffers is touched).
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "qel32.h"
#include "support/library.h"

using qel::test::Attached;

namespace {

const int32_t kChannels[] = {INT32_MIN, -65536, -2, -1, 2, 3, 65535, 65536 + 5, INT32_MAX};

TEST(HostileCalls, UnattachedLibraryAnswersMinus71Everywhere) {
  qelRelease();
  char buffer[8];
  for (int32_t chan : {0, 1, -1, 65536}) {
    EXPECT_EQ(qelDriver(chan), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelClose(chan), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelAbort(chan), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelCommand(chan, nullptr), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelSmtpConnect(chan, nullptr, nullptr, nullptr), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelSendEmail(chan, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelVerifyUser(chan, nullptr), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelPop3Connect(chan, nullptr, nullptr, nullptr), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelGetEmailCount(chan), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelGetEmailSize(chan, 1), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelGetEmailLines(chan, 1, 1, nullptr, 0), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelGetEmailFile(chan, 1, nullptr, nullptr, nullptr), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelGetEmailUID(chan, 1, nullptr, 0), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelDeleteEmail(chan, 1), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelDebug(chan, QEL_DEBUG_LAST_REPLY, buffer, 7), QEL_ERR_NOT_ATTACHED);
  }
  // The helpers need no attach.
  EXPECT_EQ(qelVerifyFormat("<a@b>"), 1);
}

TEST(HostileCalls, ChannelNumbersOfEverySign) {
  Attached lib(2);
  char buffer[64];
  for (int32_t chan : kChannels) {
    SCOPED_TRACE(chan);
    int32_t expected = (static_cast<uint32_t>(chan) & 0xFFFFu) < 2 ? 0 : QEL_ERR_CHANNEL_RANGE;
    if (expected == 0) continue;  // INT32_MIN and -65536 select channel 0
    EXPECT_EQ(qelDriver(chan), expected);
    EXPECT_EQ(qelClose(chan), expected);
    EXPECT_EQ(qelAbort(chan), expected);
    EXPECT_EQ(qelCommand(chan, "NOOP"), expected);
    EXPECT_EQ(qelIntegerParam(chan, 1, 1), expected);
    EXPECT_EQ(qelStringParam(chan, 50, "x"), expected);
    EXPECT_EQ(qelStatistics(chan, 2), expected);
    EXPECT_EQ(qelErrorText(chan, -1, buffer, sizeof buffer), expected);
    if (chan != QEL_SWEEP_CHANNEL) {
      EXPECT_EQ(qelDebug(chan, 23, buffer, 10), expected);
    }
    EXPECT_EQ(qelSmtpConnect(chan, "127.0.0.1", "<a@b>", nullptr), expected);
    EXPECT_EQ(qelPop3Connect(chan, "127.0.0.1", "u", "p"), expected);
    EXPECT_EQ(qelGetEmailUID(chan, 1, buffer, sizeof buffer), expected);
  }
}

TEST(HostileCalls, NullPointersAndBadSizes) {
  Attached lib(1);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_USER, nullptr), QEL_ERR_NULL_POINTER);
  EXPECT_EQ(qelCommand(0, nullptr), QEL_ERR_NULL_POINTER);
  EXPECT_EQ(qelSmtpConnect(0, nullptr, "<a@b>", nullptr), QEL_ERR_NO_SERVER);
  EXPECT_EQ(qelSmtpConnect(0, "127.0.0.1", nullptr, nullptr), QEL_ERR_FROM_NULL);
  // The refused connects still made the channel an SMTP channel.
  EXPECT_EQ(qelSendEmail(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), QEL_ERR_NOT_CONNECTED);
  EXPECT_EQ(qelVerifyUser(0, nullptr), QEL_ERR_NO_RECIPIENT);
  EXPECT_EQ(qelPop3Connect(0, nullptr, "u", "p"), QEL_ERR_NO_SERVER);
  EXPECT_EQ(qelPop3Connect(0, "127.0.0.1", nullptr, "p"), QEL_ERR_NO_USER);
  EXPECT_EQ(qelPop3Connect(0, "127.0.0.1", "u", nullptr), QEL_ERR_NO_PASSWORD);
  // The refused connect left the channel marked POP3.
  EXPECT_EQ(qelGetEmailFile(0, 1, nullptr, "d", "a"), QEL_ERR_NO_FILENAME);
  EXPECT_EQ(qelGetEmailFile(0, 1, "f", nullptr, "a"), QEL_ERR_NO_EMAIL_PATH);
  EXPECT_EQ(qelGetEmailFile(0, 1, "f", "d", nullptr), QEL_ERR_NO_ATTACH_PATH);
  EXPECT_EQ(qelGetEmailUID(0, 1, nullptr, 500), QEL_ERR_BUFFER_NULL);
  char small[127];
  EXPECT_EQ(qelGetEmailUID(0, 1, small, sizeof small), QEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(qelGetEmailUID(0, 1, small, INT32_MIN), QEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(qelGetEmailLines(0, 1, 5, small, sizeof small), QEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(qelGetEmailLines(0, 0, 5, small, 500), QEL_ERR_NO_SUCH_MESSAGE);
  EXPECT_EQ(qelGetEmailSize(0, INT32_MIN), QEL_ERR_NO_SUCH_MESSAGE);
  EXPECT_EQ(qelDeleteEmail(0, -1), QEL_ERR_NO_SUCH_MESSAGE);

  char byte = '#';
  EXPECT_EQ(qelErrorText(0, -8, &byte, 0), 0);
  EXPECT_EQ(qelErrorText(0, -8, &byte, INT32_MIN), 0);
  EXPECT_EQ(byte, '#');
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_REPLY, nullptr, 100), 0);
  // qelDebug writes at most size characters and a NUL: one byte for size 0.
  for (int32_t index : {-12, 23, 25, 28, 29, 30, 7, INT32_MIN}) {
    char one = '#';
    qelDebug(0, index, &one, 0);
    EXPECT_EQ(one, '\0') << index;
    qelDebug(0, index, &one, -5);
    EXPECT_EQ(one, '\0') << index;
  }
  EXPECT_EQ(qelEncodeBuffer(nullptr, nullptr, 10), 0);
  EXPECT_EQ(qelDecodeBuffer(nullptr, nullptr, 10), 0);
  EXPECT_EQ(qelVerifyFormat(nullptr), QEL_ERR_NULL_POINTER);
  EXPECT_EQ(qelExtractText(nullptr, "a", &byte, 1), 0);
  EXPECT_EQ(qelExtractLine("abc", 1, nullptr, 10), 0);
}

TEST(HostileCalls, OverlongTextsAreCutNotOverflowed) {
  Attached lib(1);
  std::string huge(100000, 'x');
  EXPECT_EQ(qelStringParam(0, QEL_STRING_REPLY_TO, huge.c_str()), QEL_ERR_TEXT_TOO_LONG);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_USER, huge.c_str()), 64);
  EXPECT_EQ(qelCommand(0, huge.c_str()), QEL_ERR_BAD_SERVER_NAME);
  std::string from = "<" + huge + "@b>";
  // With autoCall off the texts are only checked; too long, nothing is
  // stored and nothing runs.
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0), 1);
  EXPECT_EQ(qelSmtpConnect(0, huge.c_str(), from.c_str(), huge.c_str()), QEL_ERR_TEXT_TOO_LONG);
  EXPECT_EQ(qelVerifyFormat(from.c_str()), 1);
  char out[200];
  EXPECT_EQ(qelExtractText(huge.c_str(), "x", out, sizeof out), 0);
  EXPECT_EQ(qelExtractLine(huge.c_str(), 1, out, sizeof out), 0);
}

}  // namespace
