#include "frame/log.h"

#include <cstdarg>
#include <cstring>

#include "frame/channel.h"
#include "frame/text.h"
#include "platform/platform.h"

namespace qel {

void logBytes(ChannelLog& log, const void* bytes, int32_t length) {
  if (!logOn(log) || bytes == nullptr || length <= 0) return;
  plat::fileWrite(log.file, bytes, length);
}

void logText(ChannelLog& log, const char* text) {
  if (!logOn(log) || text == nullptr) return;
  logBytes(log, text, textLength(text));
}

void logPrefixed(ChannelLog& log, const char* prefix, const void* bytes, int32_t length) {
  if (!logOn(log)) return;
  logText(log, prefix);
  logBytes(log, bytes, length);
}

namespace {

void noteLeftOut(ChannelLog& log, uint32_t lineBytes) {
  if (lineBytes <= static_cast<uint32_t>(kLogLineKeep)) return;
  logFormat(log, "\r\n[%u bytes of a long line not logged]\r\n", lineBytes - kLogLineKeep);
}

void logFormatV(ChannelLog& log, const char* format, va_list args) {
  // Formatted like every other text of the library: at most 1023 characters.
  char line[plat::kFormatLimit + 1];
  int32_t length = plat::formatTextV(line, sizeof line, format, args);
  logBytes(log, line, length);
}

}  // namespace

void logReceived(ChannelLog& log, LogStream stream, const char* prefix, const char* bytes, int32_t length) {
  if (!logOn(log) || bytes == nullptr || length <= 0) return;
  uint32_t& position = log.lineBytes[static_cast<int>(stream)];
  bool prefixed = false;
  int32_t at = 0;
  while (at < length) {
    const void* lineFeed = std::memchr(bytes + at, '\n', static_cast<size_t>(length - at));
    int32_t end = lineFeed != nullptr ? static_cast<int32_t>(static_cast<const char*>(lineFeed) - bytes) + 1 : length;
    uint32_t run = static_cast<uint32_t>(end - at);
    uint32_t keep = position < static_cast<uint32_t>(kLogLineKeep) ? kLogLineKeep - position : 0;
    if (keep > run) keep = run;
    if (keep > 0) {
      if (!prefixed) logText(log, prefix);
      prefixed = true;
      logBytes(log, bytes + at, static_cast<int32_t>(keep));
    }
    // Saturates rather than wraps.
    position = position > UINT32_MAX - run ? UINT32_MAX : position + run;
    if (lineFeed != nullptr) {
      if (position > static_cast<uint32_t>(kLogLineKeep)) prefixed = false;
      noteLeftOut(log, position);
      position = 0;
    }
    at = end;
  }
}

void logLinesEnd(ChannelLog& log) {
  for (uint32_t& position : log.lineBytes) {
    if (logOn(log)) noteLeftOut(log, position);
    position = 0;
  }
}

void logFormat(ChannelLog& log, const char* format, ...) {
  if (!logOn(log)) return;
  va_list args;
  va_start(args, format);
  logFormatV(log, format, args);
  va_end(args);
}

// The channel's own log, for everything above the transport.

bool logOn(const ChannelRecord* record) { return record != nullptr && logOn(record->log); }

void logBytes(ChannelRecord* record, const void* bytes, int32_t length) {
  if (record != nullptr) logBytes(record->log, bytes, length);
}

void logText(ChannelRecord* record, const char* text) {
  if (record != nullptr) logText(record->log, text);
}

void logPrefixed(ChannelRecord* record, const char* prefix, const void* bytes, int32_t length) {
  if (record != nullptr) logPrefixed(record->log, prefix, bytes, length);
}

void logReceived(ChannelRecord* record, LogStream stream, const char* prefix, const char* bytes, int32_t length) {
  if (record != nullptr) logReceived(record->log, stream, prefix, bytes, length);
}

void logLinesEnd(ChannelRecord* record) {
  if (record != nullptr) logLinesEnd(record->log);
}

void logFormat(ChannelRecord* record, const char* format, ...) {
  if (!logOn(record)) return;
  va_list args;
  va_start(args, format);
  logFormatV(record->log, format, args);
  va_end(args);
}

}  // namespace qel
