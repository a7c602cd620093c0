#include "frame/log.h"

#include <cstdarg>
#include <cstring>

#include "frame/text.h"
#include "platform/platform.h"

namespace qel {

void logBytes(ChannelRecord* record, const void* bytes, int32_t length) {
  if (!logOn(record) || bytes == nullptr || length <= 0) return;
  plat::fileWrite(record->logFile, bytes, length);
}

void logText(ChannelRecord* record, const char* text) {
  if (!logOn(record) || text == nullptr) return;
  logBytes(record, text, textLength(text));
}

void logPrefixed(ChannelRecord* record, const char* prefix, const void* bytes, int32_t length) {
  if (!logOn(record)) return;
  logText(record, prefix);
  logBytes(record, bytes, length);
}

namespace {

void noteLeftOut(ChannelRecord* record, uint32_t lineBytes) {
  if (lineBytes <= static_cast<uint32_t>(kLogLineKeep)) return;
  logFormat(record, "\r\n[%u bytes of a long line not logged]\r\n", lineBytes - kLogLineKeep);
}

}  // namespace

void logReceived(ChannelRecord* record, LogStream stream, const char* prefix, const char* bytes, int32_t length) {
  if (!logOn(record) || bytes == nullptr || length <= 0) return;
  uint32_t& position = record->logLineBytes[static_cast<int>(stream)];
  bool prefixed = false;
  int32_t at = 0;
  while (at < length) {
    const void* lineFeed = std::memchr(bytes + at, '\n', static_cast<size_t>(length - at));
    int32_t end = lineFeed != nullptr ? static_cast<int32_t>(static_cast<const char*>(lineFeed) - bytes) + 1 : length;
    uint32_t run = static_cast<uint32_t>(end - at);
    uint32_t keep = position < static_cast<uint32_t>(kLogLineKeep) ? kLogLineKeep - position : 0;
    if (keep > run) keep = run;
    if (keep > 0) {
      if (!prefixed) logText(record, prefix);
      prefixed = true;
      logBytes(record, bytes + at, static_cast<int32_t>(keep));
    }
    // Saturates rather than wraps.
    position = position > UINT32_MAX - run ? UINT32_MAX : position + run;
    if (lineFeed != nullptr) {
      if (position > static_cast<uint32_t>(kLogLineKeep)) prefixed = false;
      noteLeftOut(record, position);
      position = 0;
    }
    at = end;
  }
}

void logLinesEnd(ChannelRecord* record) {
  if (record == nullptr) return;
  for (uint32_t& position : record->logLineBytes) {
    if (logOn(record)) noteLeftOut(record, position);
    position = 0;
  }
}

void logFormat(ChannelRecord* record, const char* format, ...) {
  if (!logOn(record)) return;
  // Formatted like every other text of the library: at most 1023 characters.
  char line[plat::kFormatLimit + 1];
  va_list args;
  va_start(args, format);
  int32_t length = plat::formatTextV(line, sizeof line, format, args);
  va_end(args);
  logBytes(record, line, length);
}

}  // namespace qel
