#include "transport/send.h"

#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "transport/output.h"
#include "transport/stream.h"

namespace qel {

namespace {

// Sends without logging: the count the system took, or a negated error.
int32_t sendUnlogged(ChannelRecord* record, const char* bytes, int32_t length) {
  if (!record->socketOpen) return -plat::kWsaNotSocket;
  if (bytes == nullptr || length <= 0) return 0;
  if (record->outputUsed > 0) {
    int32_t rc = flushOutput(record);
    if (rc < 0) return rc;
  }
  return streamSend(record, bytes, length);
}

}  // namespace

int32_t sendBytes(ChannelRecord* record, const char* bytes, int32_t length) {
  int32_t sent = sendUnlogged(record, bytes, length);
  if (sent >= 0 && bytes != nullptr && length > 0) logPrefixed(record, "S: ", bytes, length);
  return sent;
}

int32_t sendHiddenBytes(ChannelRecord* record, const char* bytes, int32_t length, const char* shown) {
  int32_t sent = sendUnlogged(record, bytes, length);
  if (sent >= 0 && length > 0 && shown != nullptr) logPrefixed(record, "S: ", shown, textLength(shown));
  return sent;
}

int32_t sendText(ChannelRecord* record, const char* text) {
  return sendBytes(record, text, textLength(text));
}

int32_t sendLine(ChannelRecord* record, char* text) {
  int32_t length = textLength(text);
  text[length] = '\r';
  text[length + 1] = '\n';
  text[length + 2] = '\0';
  int32_t rc = sendBytes(record, text, length + 2);
  text[length] = '\0';
  return rc;
}

}  // namespace qel
