// The POP3 operations: each checks its arguments, stores them in the
// channel record and stages the first state of its sequence.
#include <cstring>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/memory.h"
#include "frame/text.h"
#include "mime/decoder.h"
#include "mime/decoder_state.h"
#include "mime/mail_file.h"
#include "pop3/session.h"
#include "pop3/pop3_states.h"
#include "sasl/login_state.h"
#include "qel32.h"
#include "transport/replies.h"
#include "driver/connection_use.h"

namespace qel {
namespace {

constexpr int32_t kMinimumBufferSize = 128;
constexpr int32_t kLinesBlockExtra = 2;
constexpr int32_t kSmallestLinesBlock = 1;

// qelCommand on POP3 channels: its answer's status line is read.
const RawCommandRegistration rawCommand(kProtocolPop3, kStateRawCommand, readPop3Reply);

// Common opening of every operation but qelPop3Connect: the channel check,
// the log line, and the protocol check.
int32_t openOperation(int32_t chan, const char* logLine, ChannelRecord** record) {
  int32_t rc = checkChannel(chan, record);
  if (rc != 0) return rc;
  logText(*record, logLine);
  if ((*record)->protocol != kProtocolPop3) return kErrPop3Only;
  return openPop3Session(*record);
}

// Common closing: the sequence starts at firstState; with autoCall it runs
// to its end here.
int32_t runOperation(ChannelRecord* record, int32_t firstState) {
  stageSequence(record, firstState);
  if (record->step.autoCall == 0) return 0;
  return runDriver(record->channelNumber);
}

// Common closing of an operation that reports a value: with autoCall it
// returns the value once the sequence has succeeded (read by value() after
// the run), else 0 at once.
template <typename Value>
int32_t runForValue(ChannelRecord* record, int32_t firstState, Value value) {
  bool driven = record->step.autoCall != 0;
  int32_t rc = runOperation(record, firstState);
  if (!driven || rc < 0) return rc;
  return value();
}

bool isLinesBlockRequest(const char* buffer) {
  return buffer == nullptr || (buffer[0] == '*' && buffer[1] == '\0');
}

// The lines block (slot 8), size + 2 zero bytes so that its text always
// ends in a NUL; null when it cannot be had (the slot still holds an
// unsaved block, or no memory). A size below 1 has no room for a line: it
// is refused like a block that cannot be had, never made into a block
// smaller than its terminator.
char* allocateLinesBlock(ChannelRecord* record, int32_t size) {
  if (size < kSmallestLinesBlock || size > INT32_MAX - kLinesBlockExtra) return nullptr;
  return channelAllocate(record->channelNumber, kSlotLines, size + kLinesBlockExtra);
}

}  // namespace
}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelPop3Connect(int32_t chan, const char* server, const char* user,
                                                   const char* password) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  // The login's block comes first: a POP3 channel always has one.
  if ((rc = openLoginState(record)) < 0) return rc;
  rc = openPop3Session(record);
  if (rc != 0) return rc;
  // Marked before the arguments are looked at: a refused call still leaves
  // a POP3 channel.
  record->protocol = kProtocolPop3;
  logText(record, "*** qelPop3Connect\r\n");
  if (server == nullptr) return kErrNoServer;
  if (user == nullptr) return kErrNoUser;
  if (password == nullptr) return kErrNoPassword;
  if (validServerName(server) == 0) return kErrBadServerName;
  // USER, PASS and APOP carry the name and the password as they are: a line
  // break in them would start commands of the caller's text.
  if (holdsLineBreak(user, kCredentialCap) || holdsLineBreak(password, kCredentialCap)) return kErrBadAddressChar;
  copyText(record->serverName, server, kServerNameCap);
  copyText(record->login->userName, user, kCredentialCap);
  copyText(record->login->pop3Password, password, kCredentialCap);
  Connection* connection = useConnection(record);
  if (connection == nullptr) return kErrNoMemory;
  record->step.awaitWritable = 0;
  connection->remotePort = record->pop3->pop3Port;
  record->pop3->messageCount = 0;
  clearSavedCount(record);
  // No byte of an earlier connection may be read as part of the greeting.
  connection->ringRead = 0;
  connection->ringWrite = 0;
  return runOperation(record, kStateVersion);
}

extern "C" QEL_API int32_t QEL_CALL qelGetEmailCount(int32_t chan) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, "*** qelGetEmailCount\r\n", &record);
  if (rc != 0) return rc;
  record->step.awaitWritable = 1;
  return runForValue(record, kStateStat, [record] { return record->pop3->messageCount; });
}

extern "C" QEL_API int32_t QEL_CALL qelGetEmailSize(int32_t chan, int32_t message) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, "*** qelGetEmailSize\r\n", &record);
  if (rc != 0) return rc;
  if (message < 1) return kErrNoSuchMessage;
  record->pop3->messageNumber = message;
  record->step.awaitWritable = 1;
  return runForValue(record, kStateList, [record] { return record->pop3->messageSize; });
}

extern "C" QEL_API int32_t QEL_CALL qelGetEmailLines(int32_t chan, int32_t message, int32_t lines, char* buffer,
                                                     int32_t size) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, "*** qelGetEmailLines\r\n", &record);
  if (rc != 0) return rc;
  if (message < 1) return kErrNoSuchMessage;
  if (isLinesBlockRequest(buffer)) {
    buffer = allocateLinesBlock(record, size);
    if (buffer == nullptr) return kErrNoMemory;
  } else if (size < kMinimumBufferSize) {
    return kErrBufferTooSmall;
  }
  record->pop3->topLines = lines < 0 ? 0 : lines;
  record->pop3->messageNumber = message;
  setAnswerBuffer(record, buffer, size);
  resetReadCounts(record);
  record->step.awaitWritable = 1;
  return runForValue(record, kStateTop, [record] { return record->pop3->lineBufferUsed; });
}

extern "C" QEL_API int32_t QEL_CALL qelGetEmailFile(int32_t chan, int32_t message, const char* fileName,
                                                    const char* emailDir, const char* attachDir) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, "*** qelGetEmailFile\r\n", &record);
  if (rc != 0) return rc;
  if (message < 1) return kErrNoSuchMessage;
  if (fileName == nullptr) return kErrNoFilename;
  if (emailDir == nullptr) return kErrNoEmailPath;
  if (attachDir == nullptr) return kErrNoAttachPath;
  rc = openDecoder(record);
  if (rc != 0) return rc;
  record->pop3->messageNumber = message;
  beginDownload(record, fileName, emailDir, attachDir);
  setAnswerBuffer(record, nullptr, 0);
  return runOperation(record, kStateRetr);
}

extern "C" QEL_API int32_t QEL_CALL qelGetEmailUID(int32_t chan, int32_t message, char* buffer, int32_t size) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, "*** qelGetEmailUID\r\n", &record);
  if (rc != 0) return rc;
  if (buffer == nullptr) return kErrBufferNull;
  if (size < kMinimumBufferSize) return kErrBufferTooSmall;
  // An exchange that ends before any line leaves no old text to be taken
  // for an answer.
  buffer[0] = '\0';
  record->pop3->messageNumber = message;
  setAnswerBuffer(record, buffer, size - 1);
  record->step.awaitWritable = 1;
  return runForValue(record, kStateUidl, [buffer] { return textLength(buffer); });
}

extern "C" QEL_API int32_t QEL_CALL qelDeleteEmail(int32_t chan, int32_t message) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, "*** qelDelete\r\n", &record);
  if (rc != 0) return rc;
  if (message < 1) return kErrNoSuchMessage;
  record->pop3->messageNumber = message;
  record->step.awaitWritable = 1;
  return runOperation(record, kStateDele);
}
