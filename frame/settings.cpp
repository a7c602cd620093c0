// qelIntegerParam and qelStringParam: the caller's settings, the log file
// and the texts the frame serves itself.
#include "frame/settings.h"
#include "frame/registrations.h"

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "qel32.h"

namespace qel {

LibrarySettings settings;

void resetLibrarySettings() { settings = LibrarySettings{}; }

namespace {

uint8_t low8(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

// Pauses and time-outs are durations: a negative one would be taken as an
// unsigned count of milliseconds (a sleep of 49.7 days for -1), so it is
// stored as 0.
int32_t duration(int32_t value) { return value < 0 ? 0 : value; }

// Texts that go into the message as they are (a header line) are stored
// whole or not at all: a cut one would still pass every later check. The
// characters stored, or -150.
int32_t copyWhole(char* field, const char* text, int32_t capacity) {
  if (textLength(text) > capacity) return kErrTextTooLong;
  return copyText(field, text, capacity);
}

// Fast timing on (1): no pause between steps, after a close or before a
// login reply, no wait of a step for the answer to a whole message, and
// prompt acknowledgements on every channel; off (0): those back at their
// defaults. Each stays a setting of its own afterwards.
void storeFastTiming(int32_t value) {
  const LibrarySettings defaults{};
  bool fast = value != 0;
  settings.minimumWait = fast ? 0 : defaults.minimumWait;
  settings.closePause = fast ? 0 : defaults.closePause;
  settings.loginPause = fast ? 0 : defaults.loginPause;
  settings.finalReplyWait = fast ? 0 : defaults.finalReplyWait;
  settings.fastTiming = fast ? 1 : 0;
}

// Stores a setting of the frame's own; false for any other index.
bool storeInteger(ChannelRecord* record, int32_t index, int32_t value) {
  switch (index) {
    case QEL_PARAM_MINIMUM_WAIT: settings.minimumWait = duration(value); return true;
    case QEL_PARAM_REPLY_TIMEOUT: settings.replyTimeout = duration(value); return true;
    case QEL_PARAM_CONNECT_TIMEOUT: settings.connectTimeout = duration(value); return true;
    case QEL_PARAM_LINE_DELAY: settings.lineDelay = duration(value); return true;
    case QEL_PARAM_LINE_AND_READ_WAIT:
      settings.lineTimeout = duration(value);
      settings.pop3ReadWait = duration(value);
      return true;
    case QEL_PARAM_AUTO_CALL:
      record->step.autoCall = static_cast<uint32_t>(value) & 1u;
      record->step.dueTime = 0;
      record->step.deadline = 0;
      return true;
    case QEL_PARAM_LINE_TIMEOUT: settings.lineTimeout = duration(value); return true;
    case QEL_PARAM_POP3_READ_WAIT: settings.pop3ReadWait = duration(value); return true;
    case QEL_PARAM_POLL_INTERVAL: settings.pollInterval = duration(value); return true;
    case QEL_PARAM_MAX_LINE_LENGTH: settings.maxLineLength = value; return true;
    case QEL_PARAM_BLOCKING_CONNECT: record->step.nonBlockingConnect = value == 0 ? 1u : 0u; return true;
    case QEL_PARAM_RAW_EIGHT_BIT: settings.rawEightBit = low8(value); return true;
    case QEL_PARAM_OMIT_SAVED_NOTE: settings.omitSavedNote = low8(value); return true;
    case QEL_PARAM_OMIT_TO_HEADER: settings.omitToHeader = low8(value); return true;
    case QEL_PARAM_RECIPIENT_SEPARATOR: settings.recipientSeparator = static_cast<char>(low8(value)); return true;
    case QEL_PARAM_CLEANUP_ON_RELEASE: settings.cleanupOnRelease = low8(value); return true;
    case QEL_PARAM_ATTACH_SEPARATOR: settings.attachSeparator = static_cast<char>(low8(value)); return true;
    case QEL_PARAM_NAME_SEPARATOR: settings.nameSeparator = static_cast<char>(low8(value)); return true;
    case QEL_PARAM_TLS_MODE:
      if (value < QEL_TLS_OFF || value > QEL_TLS_IMPLICIT) return false;
      record->tls.mode = static_cast<uint8_t>(value);
      return true;
    case QEL_PARAM_TLS_VERIFY: record->tls.verify = value != 0 ? 1 : 0; return true;
    case QEL_PARAM_CLOSE_PAUSE: settings.closePause = value; return true;
    case QEL_PARAM_LOGIN_PAUSE: settings.loginPause = value; return true;
    case QEL_PARAM_PROMPT_ACK: record->tls.promptAck = value != 0 ? 1 : 0; return true;
    case QEL_PARAM_FINAL_REPLY_WAIT: settings.finalReplyWait = value; return true;
    case QEL_PARAM_FAST_TIMING: storeFastTiming(value); return true;
    default:
      return false;
  }
}

int32_t openLogFile(ChannelRecord* record, const char* path) {
  // A log already open is closed first, so that no descriptor leaks.
  if (record->log.file > 0) plat::fileClose(record->log.file);
  record->log.file = 0;
  int32_t handle = plat::fileCreate(path);
  if (handle <= 0) return kIndexNotServed;
  record->log.file = handle;
  return handle;
}

}  // namespace
}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelIntegerParam(int32_t chan, int32_t index, int32_t value) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  logFormat(record, "*** qelIntegerParam(%d,%d,%d)\r\n", chan, index, value);
  if (storeInteger(record, index, value)) return 1;
  // The settings of the protocols' own fields.
  return storeIntegerSetting(record, index, value);
}

extern "C" QEL_API int32_t QEL_CALL qelStringParam(int32_t chan, int32_t index, const char* text) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  if (text == nullptr) return kErrNullPointer;
  // The secrets of the negotiated login never reach the log.
  bool secret = index == QEL_STRING_LOGIN_PASSWORD || index == QEL_STRING_BEARER_TOKEN;
  logFormat(record, "*** qelStringParam(%d,%d,%s)\r\n", chan, index, secret ? "[hidden]" : text);
  switch (index) {
    case QEL_STRING_LOG_FILE:
      return openLogFile(record, text);
    case QEL_STRING_LOG_TEXT:
      if (logOn(record)) {
        logText(record, text);
        logText(record, "\r\n");
      }
      return record->log.file;
    case QEL_STRING_CONTENT_TYPE:
      return copyWhole(settings.customContentType, text, kContentTypeCap);
    case QEL_STRING_ENCODING: {
      int32_t stored = copyWhole(settings.customEncoding, text, kEncodingCap);
      if (stored < 0) return stored;
      settings.customEncodingLength = static_cast<uint8_t>(stored);
      return stored;
    }
    case QEL_STRING_CA_FILE:
      return copyText(record->tls.caFile, text, kCaFileCap);
    default:
      // The text settings of the protocols' own fields.
      return storeStringSetting(record, index, text);
  }
}
