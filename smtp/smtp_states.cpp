// Helpers shared by the SMTP state files: timing sets, the reply wait,
// checked sends, and the file a send has open.
#include "smtp/smtp_states.h"

#include <cstdarg>

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "platform/platform.h"
#include "transport/output.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "transport/send.h"
#include "driver/connection_use.h"

namespace qel {
namespace {

// A send that returns fewer bytes than asked has run into the send time-out.
constexpr int32_t kShortSendCode = -10060;

// Room of commandLine for a text that sendLine ends with CR LF and NUL.
constexpr int32_t kCommandTextRoom = fieldSize(kCommandLineCap) - 3;

// Closes an SMTP send's file when the channel is closed, and as soon as
// the send fails.
void closeFileOnClose(ChannelRecord* record) {
  if (record->protocol == kProtocolSmtp) closeSendFile(record);
}
const CloseHookRegistration closeHook(closeFileOnClose);
const FailHookRegistration failHook(closeFileOnClose);

// qelCommand on SMTP channels, its reply read whole.
const RawCommandRegistration rawCommand(kProtocolSmtp, kStateRawCommand, readSmtpReply);

}  // namespace

void slowReplyWait(ChannelRecord* record, uint32_t now) {
  record->step.dueTime = tickAfter(now, 2 * settings.minimumWait + loginPauseMs());
  record->step.deadline = tickAfter(now, settings.replyTimeout);
}

void deadlineOnly(ChannelRecord* record, uint32_t now) { record->step.deadline = tickAfter(now, settings.replyTimeout); }

void linePace(ChannelRecord* record, uint32_t now, int32_t lineDeadline) {
  record->step.dueTime = tickAfter(now, settings.lineDelay);
  record->step.deadline = tickAfter(now, lineDeadline);
  record->step.awaitWritable = 1;
}

int32_t awaitReply(ChannelRecord* record, int32_t wait) {
  if (!waitForData(record->connection, wait)) return kStateContinue;
  int32_t rc = readSmtpReply(record);
  if (rc < 0) return failState(record, 0, rc);
  return kReplyRead;
}

int32_t sendAllBytes(ChannelRecord* record, const char* bytes, int32_t length) {
  if (record->connection != nullptr && record->connection->outputBatched != 0) {
    int32_t rc = sendBatched(record->connection, bytes, length);
    // With a pause after every line, each line goes out before its pause.
    if (rc >= 0 && settings.lineDelay > 0) rc = flushOutput(record->connection);
    if (rc < 0) return failState(record, rc, kErrSocketWrite);
    return kStateContinue;
  }
  int32_t sent = sendBytes(record->connection, bytes, length);
  if (sent < 0) return failState(record, sent, kErrSocketWrite);
  if (sent < length) return failState(record, kShortSendCode, kErrSocketWrite);
  return kStateContinue;
}

int32_t sendCommandLine(ChannelRecord* record, int32_t length) {
  char* line = record->texts.commandLine;
  if (length < 0) length = 0;
  if (length > kCommandTextRoom) length = kCommandTextRoom;
  line[length] = '\r';
  line[length + 1] = '\n';
  line[length + 2] = '\0';
  int32_t rc = sendAllBytes(record, line, length + 2);
  line[length] = '\0';
  return rc;
}

int32_t sendFormatted(ChannelRecord* record, const char* format, ...) {
  char* line = record->texts.commandLine;
  va_list args;
  va_start(args, format);
  // At most kFormatLimit characters: with every one of them a doubled
  // period the text still fits in commandLine.
  int32_t length = plat::formatTextV(line, plat::kFormatLimit + 1, format, args);
  va_end(args);
  int32_t added = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (line[i] == '.' && (i == 0 || line[i - 1] == '\r' || line[i - 1] == '\n')) ++added;
  }
  if (added > 0 && length + added <= kCommandTextRoom) {
    // Spread the text from its end, putting a second period before each
    // period that begins a line.
    int32_t to = length + added;
    line[to] = '\0';
    for (int32_t from = length - 1; from >= 0 && to - 1 > from; --from) {
      line[--to] = line[from];
      if (line[from] == '.' && (from == 0 || line[from - 1] == '\r' || line[from - 1] == '\n')) line[--to] = '.';
    }
    length += added;
  }
  return sendCommandLine(record, length);
}

bool usesMime(const ChannelRecord* record) { return record->smtp->send->attachList != nullptr || record->smtp->bodyType != 0; }

bool singleTextPart(const ChannelRecord* record) { return record->smtp->charsetName[0] != '\0' && !usesMime(record); }

void closeSendFile(ChannelRecord* record) {
  if (record->fileHandle > 0) plat::fileClose(record->fileHandle);
  record->fileHandle = 0;
}

}  // namespace qel
