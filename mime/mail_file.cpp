#include "mime/mail_file.h"

#include <cstring>

#include "driver/driver.h"
#include "frame/errors.h"
#include "mime/decoder_state.h"
#include "mime/file_buffers.h"
#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "mime/attach_files.h"
#include "mime/decoder.h"
#include "mime/mime_walker.h"
#include "mime/taken_names.h"

namespace qel {
namespace {

constexpr char kOkStatus[] = "+OK";
constexpr int32_t kOkStatusLength = 3;

// An empty directory means the current one: the name is used alone rather
// than joined to the root of the file system.
bool needsSeparator(const char* directory, int32_t length) {
  if (length == 0) return false;
  char last = directory[length - 1];
  return last != '\\' && last != '/';
}

// Writes one line of the message to the message file, quoted-printable
// content decoded. The status line of RETR never comes here, so a message
// line that happens to begin with "+OK" (a base64 line may) is data like
// any other and is written. The write's result when it fails.
int32_t writeMessageLine(ChannelRecord* record, int32_t length, bool lineEnded) {
  char* line = record->texts.replyText;
  if (record->decoder->partEncoding == kEncodingQuoted) {
    return writeQuotedMessageText(record, line, length, !lineEnded);
  }
  int32_t written = writeBuffered(record, BufferedFile::message, line, length);
  return written < 0 ? written : 0;
}

}  // namespace

void beginDownload(ChannelRecord* record, const char* fileName, const char* emailDir, const char* attachDir) {
  // Files that a failed download left open are finished before anything
  // of the new download is set up.
  closeDownloadFiles(record);
  copyText(record->decoder->mailFileName, fileName, kPathCap);
  copyText(record->decoder->mailDirectory, emailDir, kPathCap);
  copyText(record->decoder->attachDirectory, attachDir, kPathCap);
  std::memset(record->decoder->savedNames, 0, kSavedNamesCap);
  record->decoder->savedCount = 0;
  resetReadCounts(record);
  record->step.awaitWritable = 1;
  startDecoding(record);
}

int32_t openMailFile(ChannelRecord* record) {
  if (!joinPath(record->decoder->mailPath, kPathCap, record->decoder->mailDirectory, record->decoder->mailFileName)) {
    logText(record, "[Message path too long]\r\n");
    return kErrCannotCreateFile;
  }
  logFormat(record, "Saving email to '%s'\r\n", record->decoder->mailPath);
  int32_t handle = plat::fileCreate(record->decoder->mailPath);
  if (handle <= 0) {
    record->decoder->mailFile = 0;
    return kErrCannotCreateFile;
  }
  record->decoder->mailFile = handle;
  if (record->decoder->fullMime != 0 && record->decoder->decodeState != kDecodeRaw && !mimeStart(record)) {
    logText(record, "[No memory for full MIME mode]\r\n");
  }
  return 0;
}

int32_t openOriginalFile(ChannelRecord* record) {
  record->decoder->originalFile = 0;
  if (record->decoder->originalPath[0] == '\0' || record->decoder->decodeState == kDecodeRaw) return 0;
  logFormat(record, "Saving the original message to '%s'\r\n", record->decoder->originalPath);
  int32_t handle = plat::fileCreate(record->decoder->originalPath);
  if (handle <= 0) return kErrCannotCreateFile;
  record->decoder->originalFile = handle;
  return 0;
}

void copyOriginalPiece(ChannelRecord* record, const char* piece, int32_t length) {
  // TOP and UIDL answers come through here too, on channels that may have
  // no decoder state.
  if (record->decoder == nullptr || record->decoder->originalFile <= 0 || length <= 0) return;
  if (writeBuffered(record, BufferedFile::original, piece, length) < 0) {
    plat::fileClose(record->decoder->originalFile);
    record->decoder->originalFile = -1;
  }
}

int32_t closeOriginalFile(ChannelRecord* record) {
  if (record->decoder == nullptr) return 0;
  int32_t rc = record->decoder->originalFile < 0 ? -1 : 0;
  if (record->decoder->originalFile > 0) {
    if (flushBuffered(record, BufferedFile::original) < 0) rc = -1;
    plat::fileClose(record->decoder->originalFile);
  }
  record->decoder->originalFile = 0;
  return rc;
}

int32_t takeMessagePiece(ChannelRecord* record, int32_t length, bool lineEnded) {
  if (record->decoder->mimeWalk != nullptr) {
    // Full MIME mode: the walk writes the files itself.
    addCount(record->counts.messageBytesRead, length);
    return mimeLine(record, record->texts.replyText, length, !lineEnded);
  }
  int32_t received = length;
  bool toMessageFile = true;
  if (record->decoder->decodeState >= kDecodeTopHeader && record->decoder->decodeState <= kDecodeLastState) {
    // Whether the piece was cut comes from the reader, never from the text:
    // a line may hold NUL bytes.
    record->decoder->lineLength = length;
    record->decoder->lineCut = lineEnded ? 0 : 1;
    toMessageFile = decodeLine(record) != 0;
    length = record->decoder->lineLength;
    lineEnded = record->decoder->lineCut == 0;
  }
  if (!toMessageFile) return 0;
  addCount(record->counts.messageBytesRead, received);
  return writeMessageLine(record, length, lineEnded);
}

int32_t endMessage(ChannelRecord* record) { return record->decoder->mimeWalk != nullptr ? mimeEnd(record) : 0; }

int32_t saveMessageFrom(ChannelRecord* record, const LineSource& source) {
  const LineSource* before = record->decoder->lineSource;
  record->decoder->lineSource = &source;
  int32_t rc = 0;
  for (;;) {
    bool cut = false;
    int32_t length = source.next(record->texts.replyText, kReplyRoom, &cut);
    if (length == kLinesEnd) {
      rc = endMessage(record);
      break;
    }
    if (length <= 0) {
      rc = length == kLinesNothing ? kErrTimedOut : kErrSocketClosed;
      break;
    }
    rc = takeMessagePiece(record, length, !cut);
    if (rc < 0) break;
  }
  record->decoder->lineSource = before;
  if (rc < 0) {
    abandonDownloadFiles(record);
  } else {
    closeDownloadFiles(record);
  }
  return rc;
}

bool joinPath(char* destination, int32_t capacity, const char* directory, const char* name) {
  destination[0] = '\0';
  int32_t directoryLength = textLength(directory);
  int32_t nameLength = textLength(name);
  int32_t separatorLength = needsSeparator(directory, directoryLength) ? 1 : 0;
  if (directoryLength + separatorLength + nameLength > capacity) return false;
  copyText(destination, directory, directoryLength);
  if (separatorLength != 0) {
    const char separator[] = {plat::directorySeparator(), '\0'};
    appendText(destination, separator, 1, capacity);
  }
  appendText(destination, name, nameLength, capacity);
  return true;
}

int32_t writeUnlessOk(int32_t file, const char* text, int32_t n) {
  if (n >= kOkStatusLength && text[0] == kOkStatus[0] && text[1] == kOkStatus[1] && text[2] == kOkStatus[2]) {
    return 0;
  }
  return plat::fileWrite(file, text, n);
}

void closeMailFile(ChannelRecord* record) {
  if (record->decoder->mailFile == 0) return;
  if (record->decoder->mailFile > 0) {
    flushBuffered(record, BufferedFile::message);
    plat::fileClose(record->decoder->mailFile);
  }
  record->decoder->mailFile = 0;
}

void closeDownloadFiles(ChannelRecord* record) {
  if (record->decoder == nullptr) return;
  mimeRelease(record);
  closeAttachFile(record);
  closeMailFile(record);
  closeOriginalFile(record);
  forgetTakenNames(record);
  releaseFileBuffers(record);
}

void abandonDownloadFiles(ChannelRecord* record) {
  if (record->decoder == nullptr) return;
  mimeRelease(record);
  dropAttachFile(record);
  closeMailFile(record);
  closeOriginalFile(record);
  forgetTakenNames(record);
  releaseFileBuffers(record);
}

namespace {

const CloseHookRegistration closeHook(closeDownloadFiles);
const FailHookRegistration failHook(abandonDownloadFiles);

}  // namespace

}  // namespace qel
