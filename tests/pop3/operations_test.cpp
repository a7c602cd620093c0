// The argument checks of the POP3 operations, and what they leave in the
// record before any state runs.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "frame/memory.h"
#include "platform/platform.h"
#include "mime/decoder_state.h"
#include "pop3/session.h"
#include "pop3_session.h"
#include "sasl/login_state.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::test;

namespace {

char gBuffer[200];

// Each operation with valid arguments but the one under test.
struct Operation {
  const char* name;
  std::function<int32_t(int32_t chan)> call;
};

const std::vector<Operation>& everyOperation() {
  static const std::vector<Operation> operations = {
      {"count", [](int32_t c) { return qelGetEmailCount(c); }},
      {"size", [](int32_t c) { return qelGetEmailSize(c, 1); }},
      {"lines", [](int32_t c) { return qelGetEmailLines(c, 1, 0, gBuffer, 128); }},
      {"file", [](int32_t c) { return qelGetEmailFile(c, 1, "m.txt", "/tmp", "/tmp"); }},
      {"uid", [](int32_t c) { return qelGetEmailUID(c, 1, gBuffer, 128); }},
      {"delete", [](int32_t c) { return qelDeleteEmail(c, 1); }},
  };
  return operations;
}

TEST(Pop3Operations, ChannelChecksComeFirst) {
  for (const Operation& op : everyOperation()) {
    SCOPED_TRACE(op.name);
    EXPECT_EQ(op.call(0), QEL_ERR_NOT_ATTACHED);
  }
  EXPECT_EQ(qelPop3Connect(0, kLoopback, "u", "p"), QEL_ERR_NOT_ATTACHED);
  Attached lib{2};
  for (const Operation& op : everyOperation()) {
    SCOPED_TRACE(op.name);
    EXPECT_EQ(op.call(2), QEL_ERR_CHANNEL_RANGE);
  }
  EXPECT_EQ(qelPop3Connect(2, kLoopback, "u", "p"), QEL_ERR_CHANNEL_RANGE);
}

TEST(Pop3Operations, OnlyOnAPop3Channel) {
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  for (char protocol : {kProtocolNone, kProtocolSmtp}) {
    record->protocol = protocol;
    for (const Operation& op : everyOperation()) {
      SCOPED_TRACE(op.name);
      EXPECT_EQ(op.call(0), QEL_ERR_POP3_ONLY);
      EXPECT_EQ(record->step.nextState, 0);
    }
  }
}

TEST(Pop3Operations, OperationsLogTheirNames) {
  Attached lib{2};
  TempDir dir;
  std::string log = dir.file("ops.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  for (const Operation& op : everyOperation()) op.call(0);
  qelPop3Connect(0, nullptr, "u", "p");
  EXPECT_EQ(readFile(log),
            "*** qelGetEmailCount\r\n*** qelGetEmailSize\r\n*** qelGetEmailLines\r\n*** qelGetEmailFile\r\n"
            "*** qelGetEmailUID\r\n*** qelDelete\r\n*** qelPop3Connect\r\n");
}

TEST(Pop3Operations, ConnectArgumentChecks) {
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  const struct {
    const char* server;
    const char* user;
    const char* password;
    int32_t result;
  } cases[] = {
      {nullptr, "u", "p", QEL_ERR_NO_SERVER},
      {kLoopback, nullptr, "p", QEL_ERR_NO_USER},
      {kLoopback, "u", nullptr, QEL_ERR_NO_PASSWORD},
      {"user@host", "u", "p", QEL_ERR_BAD_SERVER_NAME},
      {"<host>", "u", "p", QEL_ERR_BAD_SERVER_NAME},
      {"host\x01", "u", "p", QEL_ERR_BAD_SERVER_NAME},
      {"host\x7f", "u", "p", QEL_ERR_BAD_SERVER_NAME},
      // A line break would let the caller's text send commands of its own.
      {kLoopback, "user\r\nDELE 1", "p", QEL_ERR_BAD_ADDRESS_CHAR},
      {kLoopback, "u", "pw\r\nDELE 2", QEL_ERR_BAD_ADDRESS_CHAR},
      {kLoopback, "user\n", "p", QEL_ERR_BAD_ADDRESS_CHAR},
      {kLoopback, "u", "\rpw", QEL_ERR_BAD_ADDRESS_CHAR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    record->protocol = kProtocolNone;
    EXPECT_EQ(qelPop3Connect(0, c.server, c.user, c.password), c.result);
    // Refused, and still marked as a POP3 channel.
    EXPECT_EQ(record->protocol, kProtocolPop3);
    EXPECT_EQ(record->step.nextState, 0);
  }
  // So a following operation passes the protocol check (and fails only
  // because nothing is connected).
  EXPECT_EQ(qelGetEmailCount(0), QEL_ERR_SOCKET_WRITE);
}

TEST(Pop3Operations, ConnectCutsOverlongTexts) {
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  std::string server(200, 'h');
  std::string user(100, 'u');
  std::string password(100, 'p');
  qelIntegerParam(0, QEL_PARAM_POP3_PORT, 1110);
  ASSERT_EQ(qelPop3Connect(0, server.c_str(), user.c_str(), password.c_str()), 0);
  EXPECT_EQ(std::string(record->serverName), server.substr(0, 128));
  EXPECT_EQ(std::string(record->login->userName), user.substr(0, 64));
  EXPECT_EQ(std::string(record->login->pop3Password), password.substr(0, 64));
  EXPECT_EQ(record->connection->remotePort, 1110);
  EXPECT_EQ(record->step.nextState, 300);
}

TEST(Pop3Operations, MessageNumberBelowOne) {
  Attached lib{2};
  lib.record(0)->protocol = kProtocolPop3;
  char buffer[200];
  for (int32_t message : {0, -1}) {
    SCOPED_TRACE(message);
    EXPECT_EQ(qelGetEmailSize(0, message), QEL_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(qelGetEmailLines(0, message, 0, buffer, 128), QEL_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(qelGetEmailFile(0, message, "m", "/tmp", "/tmp"), QEL_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(qelDeleteEmail(0, message), QEL_ERR_NO_SUCH_MESSAGE);
  }
}

TEST(Pop3Operations, FileAndBufferArgumentChecks) {
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  record->protocol = kProtocolPop3;
  char buffer[200];
  EXPECT_EQ(qelGetEmailFile(0, 1, nullptr, "/tmp", "/tmp"), QEL_ERR_NO_FILENAME);
  EXPECT_EQ(qelGetEmailFile(0, 1, "m", nullptr, "/tmp"), QEL_ERR_NO_EMAIL_PATH);
  EXPECT_EQ(qelGetEmailFile(0, 1, "m", "/tmp", nullptr), QEL_ERR_NO_ATTACH_PATH);
  EXPECT_EQ(qelGetEmailUID(0, 1, nullptr, 128), QEL_ERR_BUFFER_NULL);
  EXPECT_EQ(qelGetEmailUID(0, 1, buffer, 127), QEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, buffer, 127), QEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, buffer, 100), QEL_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(record->step.nextState, 0);
}

TEST(Pop3Operations, FileStagingKeepsOnlyARawDownloadSetting) {
  Attached lib{2};
  ChannelRecord* record = lib.downloading(0);
  record->protocol = kProtocolPop3;
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  std::memset(record->decoder->savedNames, 'x', 20);
  record->decoder->savedCount = 3;
  const struct {
    int32_t parameter;
    int32_t staged;
  } cases[] = {{1, 1}, {0, 2}, {5, 2}, {9, 2}, {1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameter);
    qelIntegerParam(0, QEL_PARAM_DECODE_STATE, c.parameter);
    ASSERT_EQ(qelGetEmailFile(0, 4, "name.txt", "dir", "attach"), 0);
    EXPECT_EQ(record->decoder->decodeState, c.staged);
    EXPECT_EQ(record->step.nextState, 310);
  }
  EXPECT_EQ(record->pop3->messageNumber, 4);
  EXPECT_STREQ(record->decoder->mailFileName, "name.txt");
  EXPECT_STREQ(record->decoder->mailDirectory, "dir");
  EXPECT_STREQ(record->decoder->attachDirectory, "attach");
  EXPECT_EQ(record->decoder->savedNames[0], '\0');
  EXPECT_EQ(record->decoder->savedCount, 0);
  EXPECT_EQ(record->pop3->lineBuffer, nullptr);
}

TEST(Pop3Operations, LinesBlockIsHeldUntilSaved) {
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  record->protocol = kProtocolPop3;
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  const int32_t linesBlock = 0 * 9 + kSlotLines;
  // "*" asks for the lines block: size + 2 bytes, no size check.
  ASSERT_EQ(qelGetEmailLines(0, 1, -5, const_cast<char*>("*"), 100), 0);
  EXPECT_EQ(blockSize(linesBlock), 102);
  EXPECT_EQ(record->pop3->lineBuffer, blockPointer(linesBlock));
  EXPECT_EQ(record->pop3->lineBufferSize, 100);
  EXPECT_EQ(record->pop3->topLines, 0);
  // A second request while the block is held.
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, const_cast<char*>("*"), 100), QEL_ERR_NO_MEMORY);
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, nullptr, 100), QEL_ERR_NO_MEMORY);
  TempDir dir;
  EXPECT_EQ(qelStringParam(0, QEL_STRING_SAVE_LINES, dir.file("lines.txt").c_str()), 0);
  EXPECT_EQ(blockIsAllocated(linesBlock), 0);
  ASSERT_EQ(qelGetEmailLines(0, 1, 7, nullptr, 300), 0);
  EXPECT_EQ(blockSize(linesBlock), 302);
  EXPECT_EQ(record->pop3->topLines, 7);
  // A size that cannot be allocated.
  qelStringParam(0, QEL_STRING_SAVE_LINES, dir.file("lines2.txt").c_str());
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, nullptr, INT32_MAX), QEL_ERR_NO_MEMORY);
  // Sizes below 1 are refused and leave no block behind that would hold
  // the slot: the next request with a real size still gets its block.
  for (int32_t size : {-10, -2, -1, 0}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(qelGetEmailLines(0, 1, 0, nullptr, size), QEL_ERR_NO_MEMORY);
    EXPECT_EQ(blockIsAllocated(linesBlock), 0);
  }
  EXPECT_EQ(qelGetEmailLines(0, 1, 0, nullptr, 1), 0);
  EXPECT_EQ(blockSize(linesBlock), 3);
}

// The POP3 session and the decoder state come with their first setting or
// operation; without memory for them the call is refused with -55 and
// nothing is stored, and the same call succeeds once memory is back.
TEST(Pop3Operations, WithoutMemoryTheSessionAndDecoderAreRefused) {
  Attached lib{2};
  ChannelRecord* record = lib.record(0);
  const struct {
    const char* call;
    std::function<int32_t()> run;
    bool needsPop3Channel;
  } cases[] = {
      {"POP3 port", [] { return qelIntegerParam(0, QEL_PARAM_POP3_PORT, 995); }, false},
      {"full MIME", [] { return qelIntegerParam(0, QEL_PARAM_FULL_MIME, 1); }, false},
      {"connect", [] { return qelPop3Connect(0, "127.0.0.1", "u", "p"); }, false},
      {"download", [] { return qelGetEmailFile(0, 1, "m", "/tmp", "/tmp"); }, true},
  };
  qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    record->protocol = c.needsPop3Channel ? kProtocolPop3 : kProtocolNone;
    // The session, then no decoder; or nothing at all.
    if (c.needsPop3Channel) {
      plat::failAllocationAfter(2);
    } else {
      plat::setMemoryRefused(true);
    }
    EXPECT_EQ(c.run(), QEL_ERR_NO_MEMORY);
    EXPECT_EQ(record->decoder, nullptr);
    EXPECT_EQ(record->step.nextState, 0);
    EXPECT_EQ(record->protocol, c.needsPop3Channel ? kProtocolPop3 : kProtocolNone);
    plat::setMemoryRefused(false);
    plat::failAllocationAfter(0);
    EXPECT_GE(c.run(), 0);
    qelAbort(0);
    qelRelease();
    ASSERT_EQ(qelAttach(2, 0), 1);
    record = lib.record(0);
    qelIntegerParam(0, QEL_PARAM_AUTO_CALL, 0);
  }
  EXPECT_EQ(pop3View(record).pop3Port, kPop3DefaultPort);
}

}  // namespace
