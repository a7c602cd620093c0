// Downloading one message into the message file: RETR (310), then the
// message line by line through the decoder (312), or as raw blocks (309),
// and the closing of the files (313).
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "mime/decoder_state.h"
#include "mime/file_buffers.h"
#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "mime/decoder.h"
#include "mime/mail_file.h"
#include "pop3/session.h"
#include "pop3/pop3_states.h"
#include "pop3/raw_message.h"
#include "transport/receive.h"

namespace qel {
namespace {

constexpr int32_t kRawBlockBytes = 2048;
// A failed write of the original message's copy ends the download as a
// failed write of the message file does.
constexpr int32_t kOriginalWriteFailed = -1;

// The end of a raw download: CR LF "." CR LF. The status line's own line
// end starts the match for an empty message.
constexpr char kRawTerminator[] = "\r\n.\r\n";
constexpr int32_t kRawTerminatorLength = 5;

// A download that cannot go on: failState closes its files, keeping what
// arrived (an attachment cut short is not recorded as saved).
int32_t failDownload(ChannelRecord* record, int32_t code) { return failState(record, 0, code); }

// Follows the raw stream through the terminator: rawEndMatched counts the
// terminator's bytes matched so far. True once all have arrived.
bool rawTerminatorSeen(ChannelRecord* record, const char* bytes, int32_t n) {
  int32_t matched = record->pop3->rawEndMatched;
  for (int32_t i = 0; i < n; ++i) {
    if (bytes[i] == kRawTerminator[matched]) {
      ++matched;
    } else {
      // Only a CR can begin the terminator again.
      matched = bytes[i] == kRawTerminator[0] ? 1 : 0;
    }
    if (matched == kRawTerminatorLength) {
      record->pop3->rawEndMatched = matched;
      return true;
    }
  }
  record->pop3->rawEndMatched = matched;
  return false;
}

// 310: the message file, then RETR n.
int32_t startRetrieve(ChannelRecord* record, uint32_t now) {
  int32_t opened = openMailFile(record);
  if (opened == 0) opened = openOriginalFile(record);
  if (opened < 0) return failState(record, 0, opened);
  startAnswer(record);
  int32_t rc = sendCommand(record, "RETR %d", record->pop3->messageNumber);
  if (rc != kStateContinue) {
    closeDownloadFiles(record);
    return rc;
  }
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  if (record->decoder->decodeState == kDecodeRaw) {
    record->step.dueTime = 0;
    record->step.nextState = kStateRawBlock;
  } else {
    record->step.dueTime = tickAfter(now, settings.minimumWait);
    record->step.nextState = kStateMessageLine;
  }
  return kStateContinue;
}

// Silence of pop3ReadWait in a raw download: the end of one that keeps the
// answer as it came; one that keeps only the message has not met its "."
// line, so the message is not whole.
int32_t rawSilence(ChannelRecord* record) {
  if (record->pop3->rawMessageOnly != 0) return failDownload(record, kErrTimedOut);
  record->step.deadline = tickAfter(plat::tickCount(), settings.replyTimeout);
  record->step.nextState = kStateDownloadEnd;
  return kStateContinue;
}

// The message file's share of a raw block: the r bytes received behind the
// held ones, as they came or (rawMessageOnly) only the message's bytes.
int32_t storeRawBlock(ChannelRecord* record, char* block, int32_t held, int32_t r, bool intoBuffer) {
  addCount(record->counts.messageBytesRead, r);
  bool ended = false;
  int32_t keep = r;
  if (record->pop3->rawMessageOnly != 0) {
    keep = keepMessageOnly(record, block, held + r, &ended);
  } else {
    ended = rawTerminatorSeen(record, block, r);
  }
  int32_t written = keep;
  if (intoBuffer) {
    commitBuffered(record, BufferedFile::message, keep);
  } else {
    written = writeBuffered(record, BufferedFile::message, block, keep);
    if (written < 0) return failDownload(record, written);
  }
  addCount(record->counts.messageBytesSent, written);
  record->step.nextState = ended ? kStateDownloadEnd : kStateRawBlock;
  // A status line that only keeps coming is dropped: it gets the reply
  // time-out of RETR, no more.
  if (record->pop3->rawMessageOnly == 0 || record->pop3->rawStage != kRawStatus) {
    record->step.deadline = tickAfter(plat::tickCount(), settings.replyTimeout);
  }
  return kStateContinue;
}

// 309: one block of a raw download: the first (with the status line)
// through replyText, the others received straight into the message file's
// buffer. The download ends with the terminating "." line, or after
// pop3ReadWait of silence.
int32_t readRawBlock(ChannelRecord* record, uint32_t) {
  if (!waitForData(record->connection, settings.pop3ReadWait)) return rawSilence(record);
  int32_t room = 0;
  char* block = nullptr;
  if (record->pop3->answerPosition != kAnswerStatus) block = bufferedRoom(record, BufferedFile::message, &room);
  if (room < 0) return failDownload(record, room);
  const bool intoBuffer = block != nullptr;
  if (!intoBuffer) {
    block = record->texts.replyText;
    room = kRawBlockBytes + 1;
  }
  int32_t held = record->pop3->rawMessageOnly != 0 ? rawHeldBytes(record, block) : 0;
  // receiveTake needs room for a byte behind what it hands out.
  int32_t r = receiveTake(record->connection, block + held, room - 1 - held);
  if (r < 0) {
    logText(record, "[EOF1]\r\n");
    return failDownload(record, kErrSocketClosed);
  }
  if (r == 0) return kStateContinue;
  if (!intoBuffer) block[held + r] = '\0';
  if (record->pop3->answerPosition == kAnswerStatus) {
    record->pop3->answerPosition = kAnswerLineStart;
    if (block[0] == '-') {
      // Only the status line is the server's word for qelErrorText; a line
      // that came in pieces is read to its end first.
      char* lineEnd = findChar(block, '\n');
      if (lineEnd == nullptr) {
        int32_t length = held + r;
        readLine(record->connection, block + length, kRawBlockBytes + 1 - length, settings.pop3ReadWait,
                 settings.pop3ReadWait);
        lineEnd = findChar(block, '\n');
      }
      if (lineEnd != nullptr) lineEnd[1] = '\0';
      closeDownloadFiles(record);
      return failWithErrorStatus(record);
    }
  }
  return storeRawBlock(record, block, held, r, intoBuffer);
}

// One line of the message (or one piece of a line longer than 1023 bytes),
// through the decoder into the files; with wait false only one that has
// already arrived. *taken tells whether one came.
int32_t takeMessageLine(ChannelRecord* record, uint32_t now, bool wait, bool* taken) {
  int32_t length = 0;
  bool lineEnded = false;
  AnswerPiece piece = wait ? readAnswerPiece(record, longLineWait(), &length, &lineEnded)
                           : takeAnswerPiece(record, longLineWait(), &length, &lineEnded);
  *taken = piece != AnswerPiece::nothing;
  switch (piece) {
    case AnswerPiece::nothing:
      return kStateContinue;
    case AnswerPiece::closed:
      return failDownload(record, kErrSocketClosed);
    case AnswerPiece::errorStatus:
      closeDownloadFiles(record);
      return failWithErrorStatus(record);
    case AnswerPiece::end: {
      int32_t rc = originalFailed(record) ? kOriginalWriteFailed : endMessage(record);
      if (rc < 0) return failDownload(record, rc);
      record->step.nextState = kStateDownloadEnd;
      return kStateContinue;
    }
    case AnswerPiece::okStatus:
      // The status line is counted as received but is no message data: it
      // must end within the reply time-out of RETR however fast its
      // pieces come; the message then has a time-out of its own.
      addCount(record->counts.messageBytesRead, length);
      if (lineEnded) record->step.deadline = tickAfter(now, settings.replyTimeout);
      return kStateContinue;
    case AnswerPiece::data:
      break;
  }
  int32_t rc = takeMessagePiece(record, length, lineEnded);
  // The decoder may have pulled more lines: each went to the original too.
  if (rc == 0 && originalFailed(record)) rc = kOriginalWriteFailed;
  if (rc < 0) return failDownload(record, rc);
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  return kStateContinue;
}

// 312: one line of the message, and with stepLines above 1 as many more
// as have already arrived, up to stepLines in all.
int32_t readMessageLine(ChannelRecord* record, uint32_t now) {
  bool taken = false;
  int32_t rc = takeMessageLine(record, now, true, &taken);
  for (int32_t lines = 1; lines < record->pop3->stepLines && taken; ++lines) {
    if (rc != kStateContinue || record->step.nextState != kStateMessageLine) break;
    rc = takeMessageLine(record, now, false, &taken);
  }
  return rc;
}

// 313: the end of a download: the files are closed.
int32_t finishDownload(ChannelRecord* record, uint32_t) {
  // A message file that cannot take its last bytes fails the download.
  // (TOP and UIDL end here too: they have no files.)
  if (record->decoder != nullptr && record->decoder->mailFile > 0) {
    int32_t rc = flushBuffered(record, BufferedFile::message);
    if (rc < 0) return failDownload(record, rc);
  }
  if (closeOriginalFile(record) < 0) return failDownload(record, kOriginalWriteFailed);
  logText(record, "[CLOSE]\r\n");
  closeDownloadFiles(record);
  record->step.nextState = 0;
  return kStateContinue;
}

constexpr StateEntry kDownloadStates[] = {
    {kStateRawBlock, readRawBlock},
    {kStateRetr, startRetrieve},
    {kStateMessageLine, readMessageLine},
    {kStateDownloadEnd, finishDownload},
};
const StateRegistration registered(kDownloadStates, std::size(kDownloadStates));

}  // namespace
}  // namespace qel
