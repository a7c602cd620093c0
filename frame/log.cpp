#include "frame/log.h"

#include <cstdarg>

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
