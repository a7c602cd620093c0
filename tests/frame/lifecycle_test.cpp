// Attach, release and the channel check.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/channel.h"
#include "frame/memory.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "pop3/session.h"
#include "qel32.h"
#include "smtp/smtp_session.h"
#include "sasl/login_state.h"
#include "support/library.h"
#include "transport/connection_state.h"

using namespace qel;
using qel::test::readFile;
using qel::test::TempDir;

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    qelRelease();
    resetLibrarySettings();
  }
  void TearDown() override { qelRelease(); }
};

TEST_F(Lifecycle, AttachLimitsAndRepeats) {
  EXPECT_EQ(qelAttach(129, 0), QEL_ERR_CHANNEL_RANGE);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_VERSION), QEL_ERR_NOT_ATTACHED);
  EXPECT_EQ(qelAttach(128, 12345), 1);
  EXPECT_EQ(qelAttach(1, 0), QEL_ERR_ALREADY_ATTACHED);
  EXPECT_EQ(qelStatistics(127, QEL_STAT_VERSION), 0x0341);
  EXPECT_EQ(qelStatistics(128, QEL_STAT_VERSION), QEL_ERR_CHANNEL_RANGE);
  EXPECT_EQ(qelRelease(), 1);
  EXPECT_EQ(qelRelease(), 1);
  // The low 16 bits count: 65536 + 3 asks for three channels.
  EXPECT_EQ(qelAttach(65536 + 3, -1), 1);
  EXPECT_EQ(qelStatistics(2, QEL_STAT_BUILD), 16);
  EXPECT_EQ(qelStatistics(3, QEL_STAT_BUILD), QEL_ERR_CHANNEL_RANGE);
}

TEST_F(Lifecycle, ZeroChannelsLeavesLibraryUnattached) {
  EXPECT_EQ(qelAttach(0, 0), 1);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_VERSION), QEL_ERR_NOT_ATTACHED);
  EXPECT_EQ(qelAttach(2, 0), 1);
  EXPECT_EQ(qelStatistics(1, QEL_STAT_VERSION), 0x0341);
}

TEST_F(Lifecycle, ChannelCheckReadsLow16BitsUnsigned) {
  ASSERT_EQ(qelAttach(3, 0), 1);
  char text[64];
  EXPECT_EQ(qelErrorText(3, 0, text, sizeof text), QEL_ERR_CHANNEL_RANGE);
  EXPECT_EQ(qelErrorText(-1, 0, text, sizeof text), QEL_ERR_CHANNEL_RANGE);
  EXPECT_EQ(qelErrorText(65536, 0, text, sizeof text), 13);
  EXPECT_EQ(qelIntegerParam(65537, QEL_PARAM_SMTP_PORT, 2525), 1);
  EXPECT_EQ(channelRecord(1)->smtp->smtpPort, 2525);
  EXPECT_EQ(qelErrorText(INT32_MIN, 0, text, sizeof text), 13);  // low bits 0
  ASSERT_EQ(qelRelease(), 1);
  // After release every per-channel operation answers -71, whatever the channel.
  for (int32_t chan : {0, 1, -1, 65536, 200}) {
    EXPECT_EQ(qelErrorText(chan, 0, text, sizeof text), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelIntegerParam(chan, 1, 1), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelStringParam(chan, 50, "x"), QEL_ERR_NOT_ATTACHED);
    EXPECT_EQ(qelStatistics(chan, 2), QEL_ERR_NOT_ATTACHED);
  }
}

TEST_F(Lifecycle, RecordStartsWithItsInitialValues) {
  ASSERT_EQ(qelAttach(2, 0), 1);
  ChannelRecord* record = channelRecord(1);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->channelNumber, 1);
  EXPECT_EQ(record->step.prevState, -2);
  EXPECT_EQ(record->step.thisState, -1);
  EXPECT_EQ(record->step.nextState, 0);
  EXPECT_EQ(record->step.autoCall, 1u);
  EXPECT_EQ(record->step.nonBlockingConnect, 1u);
  EXPECT_EQ(smtpOf(record).smtpPort, 25);
  EXPECT_EQ(pop3View(record).pop3Port, 110);
  EXPECT_EQ(smtpOf(record).imageTypes, 1);
  EXPECT_EQ(record->log.file, 0);
  EXPECT_FALSE(socketIsOpen(record->connection));
  // An idle channel holds no connection, nor its buffers: they come with
  // the first connect.
  EXPECT_EQ(record->connection, nullptr);
  // Nor the SMTP session's: it comes with a setting or a connection.
  EXPECT_EQ(record->smtp, nullptr);
  // Nor a POP3 session or decoder state: they come with their first
  // setting or operation.
  EXPECT_EQ(record->pop3, nullptr);
  EXPECT_EQ(record->decoder, nullptr);
  // Nor the login's: its block comes with a login setting or a connection,
  // the exchange's buffers with a login, the token with its setting.
  EXPECT_EQ(record->login, nullptr);
  ASSERT_GT(qelStringParam(1, QEL_STRING_BEARER_TOKEN, "token"), 0);
  ASSERT_NE(record->login, nullptr);
  EXPECT_EQ(record->login->saslBuffers, nullptr);
  EXPECT_STREQ(record->login->bearerToken, "token");
  EXPECT_EQ(qelStringParam(1, QEL_STRING_BEARER_TOKEN, ""), 0);
  EXPECT_EQ(record->login->bearerToken, nullptr);
  EXPECT_LT(sizeof(ChannelRecord), static_cast<size_t>(16 * 1024));
  // bodyBuffer follows replyText directly: one area for joined header lines.
  EXPECT_EQ(record->texts.bodyBuffer, record->texts.replyText + 2050);
  // The record is block slot 0 of its channel.
  EXPECT_EQ(blockPointer(1 * 9 + 0), reinterpret_cast<char*>(record));
}

TEST_F(Lifecycle, BoundaryTextHasItsFrame) {
  ASSERT_EQ(qelAttach(1, 0), 1);
  std::string first = boundaryText;
  EXPECT_EQ(first.rfind("=====_QEL", 0), 0u);
  EXPECT_EQ(first.substr(first.size() - 6), "_=====");
  EXPECT_GE(first.size(), 16u);
  EXPECT_LE(first.size(), 26u);
  qelRelease();
  // Across the 24.8-day point the tick count is written with a minus sign.
  plat::setTickOffset(0x80000000u);
  ASSERT_EQ(qelAttach(1, 0), 1);
  std::string negative = boundaryText;
  plat::setTickOffset(0);
  EXPECT_EQ(negative.rfind("=====_QEL-", 0), 0u);
  EXPECT_NE(first, negative);
}

TEST_F(Lifecycle, ReleaseWritesItsLineAndClosesTheLog) {
  TempDir dir;
  ASSERT_EQ(qelAttach(3, 0), 1);
  std::string path = dir.file("chan2.log");
  EXPECT_GT(qelStringParam(2, QEL_STRING_LOG_FILE, path.c_str()), 0);
  EXPECT_EQ(qelRelease(), 1);
  std::string log = readFile(path);
  const std::string last = "Releasing channel 2\r\n";
  ASSERT_GE(log.size(), last.size());
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

TEST_F(Lifecycle, SettingsSurviveReleaseButRecordsStartAgain) {
  ASSERT_EQ(qelAttach(2, 0), 1);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_REPLY_TIMEOUT, 777), 1);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_SMTP_PORT, 2525), 1);
  qelRelease();
  ASSERT_EQ(qelAttach(2, 0), 1);
  EXPECT_EQ(settings.replyTimeout, 777);
  EXPECT_EQ(smtpOf(channelRecord(0)).smtpPort, 25);
}

}  // namespace
