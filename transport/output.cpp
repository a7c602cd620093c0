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
int32_t writeAll(ChannelRecord* record, const char* bytes, int32_t length) {
  if (!record->socketOpen) return -plat::kWsaNotSocket;
  for (int32_t done = 0; done < length;) {
    int32_t sent = streamSend(record, bytes + done, length - done);
    if (sent < 0) return sent;
    if (sent == 0) return kStalledWrite;
    done += sent;
  }
  return 0;
}

}  // namespace

int32_t startBatchedOutput(ChannelRecord* record) {
  if (record->outputBuffer == nullptr) {
    record->outputBuffer = static_cast<char*>(plat::memoryAllocate(kOutputBufferSize));
    if (record->outputBuffer == nullptr) return kErrNoMemory;
  }
  record->outputBatched = 1;
  record->outputUsed = 0;
  return 0;
}

int32_t flushOutput(ChannelRecord* record) {
  int32_t used = record->outputUsed;
  record->outputUsed = 0;
  return used > 0 ? writeAll(record, record->outputBuffer, used) : 0;
}

int32_t stopBatchedOutput(ChannelRecord* record) {
  record->outputBatched = 0;
  int32_t rc = flushOutput(record);
  plat::memoryFree(record->outputBuffer);
  record->outputBuffer = nullptr;
  return rc;
}

int32_t sendBatched(ChannelRecord* record, const char* bytes, int32_t length) {
  if (bytes == nullptr || length <= 0) return 0;
  if (record->outputBuffer == nullptr) {
    // Not batching: straight out.
    int32_t rc = writeAll(record, bytes, length);
    if (rc < 0) return rc;
    logPrefixed(record, "S: ", bytes, length);
    return length;
  }
  if (record->outputUsed + length > kOutputBufferSize) {
    int32_t rc = flushOutput(record);
    if (rc < 0) return rc;
  }
  if (length > kOutputBufferSize) {
    int32_t rc = writeAll(record, bytes, length);
    if (rc < 0) return rc;
  } else {
    std::memcpy(record->outputBuffer + record->outputUsed, bytes, static_cast<size_t>(length));
    record->outputUsed += length;
  }
  logPrefixed(record, "S: ", bytes, length);
  return length;
}

bool outputHasRoomForLine(const ChannelRecord* record) {
  return record->outputBatched != 0 && record->outputUsed + kLongestLine <= kOutputBufferSize;
}

bool outputTakesBlocks(const ChannelRecord* record) { return record->outputBatched != 0 && settings.lineDelay <= 0; }

int32_t outputRoom(const ChannelRecord* record) {
  return record->outputBuffer != nullptr ? kOutputBufferSize - record->outputUsed : 0;
}

char* outputTail(ChannelRecord* record) { return record->outputBuffer + record->outputUsed; }

void takeOutput(ChannelRecord* record, int32_t length) {
  if (length <= 0) return;
  if (logOn(record)) {
    const char* line = outputTail(record);
    const char* end = line + length;
    while (line < end) {
      const auto* lineFeed = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
      const char* next = lineFeed != nullptr ? lineFeed + 1 : end;
      logPrefixed(record, "S: ", line, static_cast<int32_t>(next - line));
      line = next;
    }
  }
  record->outputUsed += length;
}

}  // namespace qel
