// A ready-made message after the go-ahead for DATA: states 280 and 281
// stream it through the output buffer, converted piece by piece (line ends
// made CR LF, leading periods doubled), then end the data; the final reply
// is state 252's, as for a composed message.
#include <iterator>

#include "codec/smtp_data.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "smtp/body_reader.h"
#include "smtp/prepared_send.h"
#include "smtp/smtp_states.h"
#include "transport/output.h"

namespace qel {
namespace {

// commandLine holds one converted piece.
constexpr int32_t kPieceRoom = kCommandLineCap;

// 280: the message from its first byte.
int32_t openPrepared(ChannelRecord* record, uint32_t) {
  resetBodyReader(record);
  record->smtp->send->bodyFromText = 0;
  record->smtp->send->preparedOffset = 0;
  record->smtp->send->preparedLineStart = 1;
  record->smtp->send->preparedAfterCr = 0;
  if (record->smtp->send->preparedSource == kPreparedFile) {
    logFormat(record, "Opening message file [%s]\r\n", record->smtp->send->messageText);
    closeSendFile(record);
    int32_t handle = plat::fileOpenRead(record->smtp->send->messageText);
    if (handle <= 0) return failState(record, handle, kErrCannotOpenFile);
    record->fileHandle = handle;
  }
  record->step.nextState = kStatePreparedData;
  return kStateContinue;
}

// The end of the message: its last line ended, the "." line, and on to the
// server's answer.
int32_t endPrepared(ChannelRecord* record, uint32_t now, const DataStuffing& stuffing) {
  closeSendFile(record);
  const char* end = dataTerminator(stuffing);
  int32_t rc = sendAllBytes(record, end, textLength(end));
  if (rc != kStateContinue) return rc;
  int32_t written = stopBatchedOutput(record->connection);
  if (written < 0) return failState(record, written, kErrSocketWrite);
  record->smtp->send->preparedSource = kPreparedNone;
  replyWait(record, now);
  record->step.nextState = kStateDataEndReply;
  return kStateContinue;
}

// 281: converted pieces of the message; many in one step while the output
// buffer takes them without a write, one per step while a line delay is
// set.
int32_t sendPreparedPiece(ChannelRecord* record, uint32_t now) {
  DataStuffing stuffing;
  stuffing.lineStart = record->smtp->send->preparedLineStart != 0;
  stuffing.afterCr = record->smtp->send->preparedAfterCr != 0;
  bool first = true;
  do {
    const char* bytes = nullptr;
    int32_t count = nextPreparedPiece(record, &bytes);
    // A message cut short by a read error must not go out as complete.
    if (count < 0) return failState(record, 0, kErrCannotOpenFile);
    if (count == 0) return endPrepared(record, now, stuffing);
    int32_t consumed = 0;
    int32_t written = stuffData(&stuffing, bytes, count, record->texts.commandLine, kPieceRoom, &consumed);
    takePrepared(record, consumed);
    record->smtp->send->preparedLineStart = stuffing.lineStart ? 1 : 0;
    record->smtp->send->preparedAfterCr = stuffing.afterCr ? 1 : 0;
    addCount(record->counts.messageBytesRead, consumed);
    addCount(record->counts.messageBytesSent, written);
    int32_t rc = sendAllBytes(record, record->texts.commandLine, written);
    if (rc != kStateContinue) return rc;
    if (first) linePace(record, now, settings.replyTimeout);
    first = false;
  } while (outputTakesBlocks(record->connection) && outputHasRoomForLine(record->connection));
  return kStateContinue;
}

constexpr StateEntry kPreparedStates[] = {
    {kStatePreparedOpen, openPrepared},
    {kStatePreparedData, sendPreparedPiece},
};
const StateRegistration registered(kPreparedStates, std::size(kPreparedStates));

}  // namespace
}  // namespace qel
