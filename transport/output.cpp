#include "transport/output.h"

#include <cstring>

#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "transport/stream.h"

namespace qel {
namespace {

// Longest line a state sends at once: the command line buffer.
constexpr int32_t kLongestLine = fieldSize(kCommandLineCap);
// A send that takes nothing has run into the send time-out.
constexpr int32_t kStalledWrite = -10060;

// Sends all length bytes. A blocking send can return early (its time-out,
// a signal): the rest goes out in further sends, as long as each one takes
// something. 0 or a negated socket error.
int32_t writeAll(Connection* connection, const char* bytes, int32_t length) {
  if (!socketIsOpen(connection)) return -plat::kWsaNotSocket;
  for (int32_t done = 0; done < length;) {
    int32_t sent = streamSend(connection, bytes + done, length - done);
    if (sent < 0) return sent;
    if (sent == 0) return kStalledWrite;
    done += sent;
  }
  return 0;
}

}  // namespace

int32_t startBatchedOutput(Connection* connection) {
  if (connection == nullptr) return -plat::kWsaNotSocket;
  if (connection->outputBuffer == nullptr) {
    connection->outputBuffer = static_cast<char*>(plat::memoryAllocate(kOutputBufferSize));
    if (connection->outputBuffer == nullptr) return kErrNoMemory;
  }
  connection->outputBatched = 1;
  connection->outputUsed = 0;
  return 0;
}

int32_t flushOutput(Connection* connection) {
  if (connection == nullptr) return 0;
  int32_t used = connection->outputUsed;
  connection->outputUsed = 0;
  return used > 0 ? writeAll(connection, connection->outputBuffer, used) : 0;
}

int32_t stopBatchedOutput(Connection* connection) {
  if (connection == nullptr) return 0;
  connection->outputBatched = 0;
  int32_t rc = flushOutput(connection);
  plat::memoryFree(connection->outputBuffer);
  connection->outputBuffer = nullptr;
  return rc;
}

int32_t sendBatched(Connection* connection, const char* bytes, int32_t length) {
  if (bytes == nullptr || length <= 0) return 0;
  if (connection == nullptr) return -plat::kWsaNotSocket;
  if (connection->outputBuffer == nullptr) {
    // Not batching: straight out.
    int32_t rc = writeAll(connection, bytes, length);
    if (rc < 0) return rc;
    logPrefixed(*connection->log, "S: ", bytes, length);
    return length;
  }
  if (connection->outputUsed + length > kOutputBufferSize) {
    int32_t rc = flushOutput(connection);
    if (rc < 0) return rc;
  }
  if (length > kOutputBufferSize) {
    int32_t rc = writeAll(connection, bytes, length);
    if (rc < 0) return rc;
  } else {
    std::memcpy(connection->outputBuffer + connection->outputUsed, bytes, static_cast<size_t>(length));
    connection->outputUsed += length;
  }
  logPrefixed(*connection->log, "S: ", bytes, length);
  return length;
}

bool outputHasRoomForLine(const Connection* connection) {
  return connection != nullptr && connection->outputBatched != 0 &&
         connection->outputUsed + kLongestLine <= kOutputBufferSize;
}

bool outputTakesBlocks(const Connection* connection) {
  return connection != nullptr && connection->outputBatched != 0 && settings.lineDelay <= 0;
}

int32_t outputRoom(const Connection* connection) {
  return connection != nullptr && connection->outputBuffer != nullptr ? kOutputBufferSize - connection->outputUsed : 0;
}

char* outputTail(Connection* connection) { return connection->outputBuffer + connection->outputUsed; }

void takeOutput(Connection* connection, int32_t length) {
  if (length <= 0) return;
  if (logOn(*connection->log)) {
    const char* line = outputTail(connection);
    const char* end = line + length;
    while (line < end) {
      const auto* lineFeed = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
      const char* next = lineFeed != nullptr ? lineFeed + 1 : end;
      logPrefixed(*connection->log, "S: ", line, static_cast<int32_t>(next - line));
      line = next;
    }
  }
  connection->outputUsed += length;
}

}  // namespace qel
