#include "transport/send.h"

#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "transport/output.h"
#include "transport/stream.h"

namespace qel {

namespace {

// Sends without logging: the count the system took, or a negated error.
int32_t sendUnlogged(Connection* connection, const char* bytes, int32_t length) {
  if (!socketIsOpen(connection)) return -plat::kWsaNotSocket;
  if (bytes == nullptr || length <= 0) return 0;
  if (connection->outputUsed > 0) {
    int32_t rc = flushOutput(connection);
    if (rc < 0) return rc;
  }
  return streamSend(connection, bytes, length);
}

}  // namespace

int32_t sendBytes(Connection* connection, const char* bytes, int32_t length) {
  int32_t sent = sendUnlogged(connection, bytes, length);
  if (sent >= 0 && bytes != nullptr && length > 0) logPrefixed(*connection->log, "S: ", bytes, length);
  return sent;
}

int32_t sendHiddenBytes(Connection* connection, const char* bytes, int32_t length, const char* shown) {
  int32_t sent = sendUnlogged(connection, bytes, length);
  if (sent >= 0 && length > 0 && shown != nullptr) logPrefixed(*connection->log, "S: ", shown, textLength(shown));
  return sent;
}

int32_t sendText(Connection* connection, const char* text) {
  return sendBytes(connection, text, textLength(text));
}

int32_t sendLine(Connection* connection, char* text) {
  int32_t length = textLength(text);
  text[length] = '\r';
  text[length + 1] = '\n';
  text[length + 2] = '\0';
  int32_t rc = sendBytes(connection, text, length + 2);
  text[length] = '\0';
  return rc;
}

}  // namespace qel
