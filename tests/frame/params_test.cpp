// qelIntegerParam, qelStringParam and qelStatistics.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "frame/channel.h"
#include "frame/memory.h"
#include "frame/settings.h"
#include "mime/decoder_state.h"
#include "pop3/session.h"
#include "qel32.h"
#include "smtp/smtp_session.h"
#include "sasl/login_state.h"
#include "support/library.h"

using namespace qel;
using qel::test::Attached;
using qel::test::readFile;
using qel::test::TempDir;
using qel::test::writeFile;

namespace {

TEST(IntegerParam, ServedAndRefusedIndexes) {
  Attached lib(2);
  for (int32_t index : {0, 4, 7, 20, 31, -1, 1000}) {
    EXPECT_EQ(qelIntegerParam(0, index, 5), -1) << index;
  }
  for (int32_t index = 1; index <= 30; ++index) {
    if (index == 4 || index == 7 || index == 20) continue;
    EXPECT_EQ(qelIntegerParam(1, index, index == 9 ? 1 : 40), 1) << index;
  }
}

// The TLS settings: a mode outside the four is refused and changes
// nothing; the check is on until turned off; the CA file is cut at 260.
TEST(IntegerParam, TlsSettings) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  EXPECT_EQ(record->tls.mode, 0);
  EXPECT_EQ(record->tls.verify, 1);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_TLS_MODE, QEL_TLS_IMPLICIT), 1);
  for (int32_t refused : {-1, 4, 256 + QEL_TLS_STARTTLS}) {
    EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_TLS_MODE, refused), -1) << refused;
  }
  EXPECT_EQ(record->tls.mode, QEL_TLS_IMPLICIT);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_TLS_VERIFY, 0), 1);
  EXPECT_EQ(record->tls.verify, 0);
  EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_TLS_VERIFY, 2), 1);
  EXPECT_EQ(record->tls.verify, 1);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_CA_FILE, std::string(300, 'c').c_str()), 260);
  EXPECT_EQ(std::string(record->tls.caFile), std::string(260, 'c'));
}

TEST(IntegerParam, StoredValues) {
  Attached lib(2);
  ChannelRecord* record = lib.record(0);
  struct Case {
    int32_t index;
    int32_t value;
  };
  qelIntegerParam(0, QEL_PARAM_LINE_AND_READ_WAIT, 1234);
  EXPECT_EQ(settings.lineTimeout, 1234);
  EXPECT_EQ(settings.pop3ReadWait, 1234);
  qelIntegerParam(0, QEL_PARAM_LINE_TIMEOUT, 11);
  EXPECT_EQ(settings.lineTimeout, 11);
  EXPECT_EQ(settings.pop3ReadWait, 1234);
  qelIntegerParam(0, QEL_PARAM_POP3_READ_WAIT, 12);
  EXPECT_EQ(settings.lineTimeout, 11);
  EXPECT_EQ(settings.pop3ReadWait, 12);

  qelIntegerParam(0, QEL_PARAM_BODY_TYPE, 18);
  EXPECT_EQ(record->smtp->bodyType, 2u);
  record->step.dueTime = 5;
  record->step.deadline = 6;
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 2);
  EXPECT_EQ(record->step.autoCall, 0u);
  EXPECT_EQ(record->step.dueTime, 0u);
  EXPECT_EQ(record->step.deadline, 0u);
  qelIntegerParam(0, QEL_PARAM_BLOCKING_CONNECT, 0);
  EXPECT_EQ(record->step.nonBlockingConnect, 1u);
  qelIntegerParam(0, QEL_PARAM_BLOCKING_CONNECT, 5);
  EXPECT_EQ(record->step.nonBlockingConnect, 0u);
  qelIntegerParam(0, QEL_PARAM_DECODE_STATE, 65537);
  EXPECT_EQ(record->decoder->decodeState, 1);
  qelIntegerParam(0, QEL_PARAM_DECODE_STATE, 65535);
  EXPECT_EQ(record->decoder->decodeState, -1);
  qelIntegerParam(0, QEL_PARAM_RECIPIENT_SEPARATOR, 0x13B);
  EXPECT_EQ(settings.recipientSeparator, ';');
  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, 0x10000 + 587);
  EXPECT_EQ(record->smtp->smtpPort, 587);
  qelIntegerParam(0, QEL_PARAM_USE_ESMTP, 0x101);
  EXPECT_EQ(record->smtp->useEsmtp, 1);
  qelIntegerParam(0, QEL_PARAM_IMAGE_TYPES, 0x100);
  EXPECT_EQ(record->smtp->imageTypes, 0);
  // Lines per driver call: held to 1..65535.
  for (auto [value, stored] : {std::pair{0, 1}, {-5, 1}, {INT_MIN, 1}, {1024, 1024}, {65535, 65535}, {65536, 65535}}) {
    EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_STEP_LINES, value), 1) << value;
    EXPECT_EQ(record->pop3->stepLines, stored) << value;
  }
  // The raw download of the message only, prompt acknowledgements and
  // kept files: any value but 0 turns them on.
  for (auto [value, stored] : {std::pair{256, 1}, {-1, 1}, {0, 0}}) {
    EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_RAW_MESSAGE_ONLY, value), 1) << value;
    EXPECT_EQ(record->pop3->rawMessageOnly, stored) << value;
    EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_PROMPT_ACK, value), 1) << value;
    EXPECT_EQ(record->tls.promptAck, stored) << value;
    EXPECT_EQ(qelIntegerParam(0, QEL_PARAM_KEEP_EXISTING_FILES, value), 1) << value;
    EXPECT_EQ(record->decoder->keepExistingFiles, stored) << value;
  }
  // Fast timing: the four pauses at 0 and prompt acknowledgements, or back
  // to their defaults.
  for (int32_t value : {1, 0}) {
    EXPECT_EQ(qelIntegerParam(1, QEL_PARAM_FAST_TIMING, value), 1);
    const LibrarySettings defaults{};
    int32_t expected[] = {value ? 0 : defaults.minimumWait, value ? 0 : defaults.closePause,
                          value ? 0 : defaults.loginPause, value ? 0 : defaults.finalReplyWait, value};
    int32_t stored[] = {settings.minimumWait, settings.closePause, settings.loginPause, settings.finalReplyWait,
                        settings.fastTiming};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(stored[i], expected[i]) << value << " " << i;
  }
  // A library setting made through channel 0 is seen by channel 1.
  qelIntegerParam(0, QEL_PARAM_MINIMUM_WAIT, 3);
  EXPECT_EQ(settings.minimumWait, 3);
  EXPECT_EQ(lib.record(1)->step.autoCall, 1u);
}

// A negative pause or time-out would be slept as 49.7 days: it is stored as 0.
TEST(IntegerParam, NegativeDurationsAreStoredAsZero) {
  Attached lib(1);
  const struct {
    int32_t index;
    int32_t* setting;
  } cases[] = {
      {QEL_PARAM_MINIMUM_WAIT, &settings.minimumWait},     {QEL_PARAM_REPLY_TIMEOUT, &settings.replyTimeout},
      {QEL_PARAM_CONNECT_TIMEOUT, &settings.connectTimeout}, {QEL_PARAM_LINE_DELAY, &settings.lineDelay},
      {QEL_PARAM_LINE_AND_READ_WAIT, &settings.lineTimeout}, {QEL_PARAM_LINE_AND_READ_WAIT, &settings.pop3ReadWait},
      {QEL_PARAM_LINE_TIMEOUT, &settings.lineTimeout},     {QEL_PARAM_POP3_READ_WAIT, &settings.pop3ReadWait},
      {QEL_PARAM_POLL_INTERVAL, &settings.pollInterval},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    for (int32_t value : {-1, INT32_MIN}) {
      *c.setting = 77;
      EXPECT_EQ(qelIntegerParam(0, c.index, value), 1);
      EXPECT_EQ(*c.setting, 0);
    }
    EXPECT_EQ(qelIntegerParam(0, c.index, 1), 1);
    EXPECT_EQ(*c.setting, 1);
  }
}

TEST(IntegerParam, EntryLineIsLoggedAlsoForRefusedIndex) {
  Attached lib(1);
  TempDir dir;
  std::string log = dir.file("p.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  EXPECT_EQ(qelIntegerParam(0, 7, -3), -1);
  EXPECT_NE(readFile(log).find("*** qelIntegerParam(0,7,-3)\r\n"), std::string::npos);
}

// Credentials are cut at their capacity; the texts that go into the
// message whole or not at all.
TEST(StringParam, TextsAreCutAtTheirCapacityOrRefused) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  std::string longText(300, 'a');
  EXPECT_EQ(qelStringParam(0, QEL_STRING_REPLY_TO, longText.substr(0, 128).c_str()), 128);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_FROM, "<a@b>"), 5);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_CONTENT_TYPE, longText.substr(0, 64).c_str()), 64);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_ENCODING, longText.substr(0, 128).c_str()), 128);
  for (int32_t index : {QEL_STRING_REPLY_TO, QEL_STRING_FROM, QEL_STRING_CONTENT_TYPE, QEL_STRING_ENCODING}) {
    EXPECT_EQ(qelStringParam(0, index, longText.c_str()), QEL_ERR_TEXT_TOO_LONG) << index;
  }
  EXPECT_EQ(std::string(record->smtp->replyToAddress), std::string(128, 'a'));
  EXPECT_STREQ(record->smtp->fromAddress, "<a@b>");
  EXPECT_EQ(std::string(settings.customContentType), std::string(64, 'a'));
  EXPECT_EQ(settings.customEncodingLength, 128);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_ENCODING, ""), 0);
  EXPECT_EQ(settings.customEncodingLength, 0);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_PASSWORD, longText.c_str()), 64);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_USER, "tim"), 3);
  EXPECT_STREQ(record->login->userName, "tim");
  EXPECT_EQ(qelStringParam(0, 49, "x"), -1);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_USER, nullptr), QEL_ERR_NULL_POINTER);
}

TEST(StringParam, ExtraHeaderSetAppendAndRemove) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_EXTRA_HEADER, "X-A: one\r\n"), 2);
  EXPECT_STREQ(extraHeader(record), "X-A: one");
  EXPECT_EQ(qelStringParam(0, QEL_STRING_EXTRA_HEADER, "X-A: one"), 4);
  EXPECT_STREQ(extraHeader(record), "X-A: one");
  EXPECT_EQ(qelStringParam(0, QEL_STRING_ADD_HEADER, "X-B: two"), 4);
  EXPECT_STREQ(extraHeader(record), "X-A: one\r\nX-B: two");
  EXPECT_EQ(qelStringParam(0, QEL_STRING_EXTRA_HEADER, ""), 0);
  EXPECT_EQ(extraHeader(record), nullptr);
  EXPECT_EQ(blockIsAllocated(kSlotExtraHeader), 0);
  // Appending to nothing starts a new header text.
  EXPECT_EQ(qelStringParam(0, QEL_STRING_ADD_HEADER, "X-C: 3\n"), 3);
  EXPECT_STREQ(extraHeader(record), "X-C: 3");
  // Short texts look at all their characters.
  EXPECT_EQ(qelStringParam(0, QEL_STRING_EXTRA_HEADER, "ab"), 3);
  // Very long appends stay within the 2048-character scratch text.
  std::string big(3000, 'h');
  qelStringParam(0, QEL_STRING_ADD_HEADER, big.c_str());
  EXPECT_EQ(std::string(extraHeader(record)).size(), 2048u);
}

TEST(StringParam, LogFileOpenReplaceAndLogText) {
  Attached lib(1);
  TempDir dir;
  EXPECT_EQ(qelStringParam(0, QEL_STRING_LOG_TEXT, "nothing"), 0);
  std::string first = dir.file("a.log");
  std::string second = dir.file("b.log");
  int32_t handle = qelStringParam(0, QEL_STRING_LOG_FILE, first.c_str());
  EXPECT_GT(handle, 0);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_LOG_TEXT, "hello"), handle);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_PASSWORD, "secret"), 6);
  EXPECT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, second.c_str()), 0);
  EXPECT_EQ(qelStringParam(0, QEL_STRING_LOG_TEXT, "in b"), lib.record(0)->log.file);
  std::string a = readFile(first);
  // The entry line is written before the call acts: opening a.log is not in
  // a.log, opening b.log is.
  EXPECT_EQ(a.find("*** qelStringParam(0,20," + first + ")\r\n"), std::string::npos);
  EXPECT_NE(a.find("*** qelStringParam(0,20," + second + ")\r\n"), std::string::npos);
  EXPECT_NE(a.find("*** qelStringParam(0,52,hello)\r\nhello\r\n"), std::string::npos);
  // The password is logged as given: the log is the caller's own diagnostic.
  EXPECT_NE(a.find("*** qelStringParam(0,57,secret)\r\n"), std::string::npos);
  EXPECT_EQ(a.find("in b"), std::string::npos);
  EXPECT_NE(readFile(second).find("in b\r\n"), std::string::npos);
  // A log that cannot be created turns logging off.
  EXPECT_EQ(qelStringParam(0, QEL_STRING_LOG_FILE, (dir.path() + "/no/such/dir.log").c_str()), -1);
  EXPECT_EQ(lib.record(0)->log.file, 0);
}

TEST(StringParam, SaveLinesBlock) {
  Attached lib(4);
  TempDir dir;
  std::string out = dir.file("lines.txt");
  EXPECT_EQ(qelStringParam(3, QEL_STRING_SAVE_LINES, out.c_str()), QEL_ERR_NULL_POINTER);
  char* lines = channelAllocate(3, kSlotLines, 20);
  ASSERT_NE(lines, nullptr);
  EXPECT_EQ(lines, blockPointer(35));
  std::string text = "+OK\r\nSubject: x\r\n";
  for (size_t i = 0; i < text.size(); ++i) lines[i] = text[i];
  EXPECT_EQ(qelStringParam(3, QEL_STRING_SAVE_LINES, (dir.path() + "/none/x").c_str()),
            QEL_ERR_CANNOT_CREATE_FILE);
  EXPECT_EQ(blockIsAllocated(35), 1);
  EXPECT_EQ(qelStringParam(3, QEL_STRING_SAVE_LINES, out.c_str()), static_cast<int32_t>(text.size()));
  EXPECT_EQ(readFile(out), text);
  EXPECT_EQ(blockIsAllocated(35), 0);
}

TEST(Statistics, ServedIndexesAndCounters) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  for (int32_t index : {0, 1, 5, 6, 7, 8, 9, 21, 23, 25, 28, -3}) {
    EXPECT_EQ(qelStatistics(0, index), -1) << index;
  }
  EXPECT_EQ(qelStatistics(0, QEL_STAT_VERSION), 833);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_BUILD), 16);
  record->counts.messageBytesRead = 10;
  record->counts.attachBytesRead = 5;
  record->counts.messageBytesSent = INT32_MAX;
  record->counts.attachBytesSent = 2;
  EXPECT_EQ(qelStatistics(0, QEL_STAT_BYTES_READ), 15);
  // Sums past 2 GB wrap instead of overflowing.
  EXPECT_EQ(qelStatistics(0, QEL_STAT_BYTES_SENT), INT32_MIN + 1);
  record->texts.replyCode = 250;
  EXPECT_EQ(qelStatistics(0, QEL_STAT_REPLY_CODE), 250);
  // A channel that never connected has no usable socket.
  EXPECT_EQ(qelStatistics(0, QEL_STAT_CONNECTION), QEL_ERR_CONNECT_FAILED);
}

}  // namespace
