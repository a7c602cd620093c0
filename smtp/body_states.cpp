// The message body, from the message text or from a file named after "@",
// and the end of the data: states 238 to 252.
#include <iterator>

#include "driver/driver.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "smtp/body_reader.h"
#include "smtp/message_plan.h"
#include "smtp/smtp_states.h"
#include "transport/output.h"

namespace qel {
namespace {

constexpr char kFileMark = '@';
constexpr char kDataEnd[] = "\r\n.\r\n";
constexpr int32_t kDataEndLength = 5;
constexpr int32_t kBlankLineLength = 2;
// Only a 2xx answer to the final "." means the message was taken.
constexpr int32_t kAcceptedFirst = 200;
constexpr int32_t kAcceptedLast = 299;

// 238: a fresh body reader.
int32_t resetBody(ChannelRecord* record, uint32_t) {
  resetBodyReader(record);
  record->step.nextState = record->smtp->send->messageText != nullptr && record->smtp->send->messageText[0] == kFileMark ? kStateBodyFileOpen
                                                                                           : kStateBodyFromText;
  return kStateContinue;
}

// 240: the body comes from the message text.
int32_t startTextBody(ChannelRecord* record, uint32_t) {
  record->smtp->send->bodyFromText = 1;
  record->smtp->send->pendingChar = kBodyEnd;
  record->step.nextState = kStateBodyTextLine;
  return kStateContinue;
}

// 244: the body comes from the file named after the "@".
int32_t openBodyFile(ChannelRecord* record, uint32_t) {
  record->smtp->send->bodyFromText = 0;
  record->smtp->send->pendingChar = kBodyEnd;
  const char* path = record->smtp->send->messageText + 1;
  logFormat(record, "Opening message file [%s]\r\n", path);
  closeSendFile(record);
  int32_t handle = plat::fileOpenRead(path);
  if (handle <= 0) return failState(record, handle, kErrCannotOpenFile);
  record->fileHandle = handle;
  record->step.nextState = kStateBodyFileLine;
  return kStateContinue;
}

// The end of the body: on to the attachments or the end of the data.
int32_t finishBody(ChannelRecord* record, bool fromFile) {
  if (fromFile) {
    bool failed = record->smtp->send->bodyEnded == kBodyReadFailed;
    closeSendFile(record);
    // A body cut short by a read error must not go out as complete.
    if (failed) return failState(record, 0, kErrCannotOpenFile);
  }
  record->step.nextState = record->smtp->send->attachList != nullptr ? kStateAttachDelimiter : kStateDataEnd;
  return kStateContinue;
}

// 241 and 245: body lines, or on to the attachments or the end. Many lines
// go in one step while the output buffer takes them without a write (at
// most one write-out per step); one line per step while a line delay is set.
int32_t sendBodyLine(ChannelRecord* record, uint32_t now, bool fromFile) {
  bool first = true;
  do {
    int32_t length = readBodyLine(record, record->texts.commandLine);
    if (length < 0) return finishBody(record, fromFile);
    addCount(record->counts.messageBytesSent, length + 2);
    int32_t rc = sendCommandLine(record, textLength(record->texts.commandLine));
    if (rc != kStateContinue) return rc;
    if (first) linePace(record, now, fromFile ? settings.replyTimeout : settings.lineTimeout);
    first = false;
  } while (outputTakesBlocks(record->connection) && outputHasRoomForLine(record->connection));
  return kStateContinue;
}

int32_t sendTextBodyLine(ChannelRecord* record, uint32_t now) { return sendBodyLine(record, now, false); }
int32_t sendFileBodyLine(ChannelRecord* record, uint32_t now) { return sendBodyLine(record, now, true); }

// 251: the closing delimiter, then the blank line and "." that end the data.
int32_t sendDataEnd(ChannelRecord* record, uint32_t now) {
  if (usesMime(record)) {
    int32_t rc = sendFormatted(record, "--%s--\r\n", boundaryText);
    if (rc != kStateContinue) return rc;
  }
  // With a charset the text ends exactly where the caller's does: no blank
  // line before the ".".
  const int32_t skip = charsetOn(record) ? kBlankLineLength : 0;
  int32_t rc = sendAllBytes(record, kDataEnd + skip, kDataEndLength - skip);
  if (rc != kStateContinue) return rc;
  int32_t written = stopBatchedOutput(record->connection);
  if (written < 0) return failState(record, written, kErrSocketWrite);
  replyWait(record, now);
  record->step.nextState = kStateDataEndReply;
  return kStateContinue;
}

// 252: the server's answer to the whole message. A 4xx answer means it
// was not taken, which must not pass for a sent message. Each call waits up
// to finalReplyWait ms for it.
int32_t readDataEndReply(ChannelRecord* record, uint32_t) {
  int32_t rc = awaitReply(record, settings.finalReplyWait);
  if (rc != kReplyRead) return rc;
  if (record->texts.replyCode < kAcceptedFirst || record->texts.replyCode > kAcceptedLast) {
    return failState(record, 0, kErrSmtpError);
  }
  record->step.nextState = 0;
  return kStateContinue;
}

constexpr StateEntry kBodyStates[] = {
    {kStateBodyReset, resetBody},         {kStateBodyFromText, startTextBody},
    {kStateBodyTextLine, sendTextBodyLine}, {kStateBodyFileOpen, openBodyFile},
    {kStateBodyFileLine, sendFileBodyLine}, {kStateDataEnd, sendDataEnd},
    {kStateDataEndReply, readDataEndReply},
};
const StateRegistration registered(kBodyStates, std::size(kBodyStates));

}  // namespace
}  // namespace qel
