#include "transport/receive.h"

#include <cstring>

#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "transport/readiness.h"
#include "frame/ticks.h"
#include "transport/output.h"
#include "transport/stream.h"
#include "platform/platform.h"

namespace qel {
namespace {

// One socket read into destination; -1 when the peer closed or the read
// failed. Through TLS, 0 when no whole record has come yet.
int32_t receiveFromSocket(Connection* connection, char* destination, int32_t n) {
  if (!socketIsOpen(connection)) return kConnectionGone;
  connection->receiveReadyNoted = false;
  // Any read may take bytes (through TLS even one that gives no whole record).
  if (connection->tls->promptAck != 0 || settings.fastTiming != 0) connection->ackOwed = true;
  return streamReceive(connection, destination, n);
}

// Before the channel sleeps waiting for more data, what it has read is
// acknowledged at once (setting 104). A server whose short last write waits
// for that acknowledgement (the Nagle algorithm) would otherwise hold the
// end of a message back until this side's delayed acknowledgement goes out.
void acknowledgeReceived(Connection* connection) {
  if (!connection->ackOwed) return;
  connection->ackOwed = false;
  if (connection->ackSettled || !socketIsOpen(connection)) return;
  if (plat::socketAckNow(connection->socket) != 0) connection->ackSettled = true;
}

// Whether a receive may be tried now: the socket must still be writable
// (else the connection is taken as gone, -1) and readable (else 0). One
// test answers both, or none when the data test before it found both.
int32_t receiveReady(Connection* connection) {
  if (connection == nullptr) return kConnectionGone;
  if (connection->receiveReadyNoted && !streamBuffersInside(connection)) {
    connection->receiveReadyNoted = false;
    return 1;
  }
  int32_t bits = streamReadiness(connection);
  if ((bits & plat::kReadyWritable) == 0) return kConnectionGone;
  return (bits & plat::kReadyReadable) != 0 ? 1 : 0;
}

// Whether data waits. A plain socket is tested in both directions at once,
// and a find of both is noted for the receive that follows.
bool dataWaiting(Connection* connection) {
  if (streamBuffersInside(connection)) return streamReadable(connection);
  int32_t bits = streamReadiness(connection);
  if ((bits & plat::kReadyReadable) == 0) return false;
  connection->receiveReadyNoted = (bits & plat::kReadyWritable) != 0;
  return true;
}

// The pause between two readiness tests of a wait with left ms to go. It
// ends early when data arrives; a poll interval of 0 waits for the data
// (or the end of the wait) instead of testing in a busy loop.
uint32_t readyWaitPause(uint32_t left) {
  uint32_t pause = pauseMs(settings.pollInterval);
  return pause > 0 && pause < left ? pause : left;
}

}  // namespace

bool openReceiveRing(Connection* connection) {
  if (connection == nullptr) return false;
  if (connection->ringBuffer == nullptr) {
    connection->ringBuffer = static_cast<char*>(plat::memoryAllocate(kRingSize));
    connection->ringRead = 0;
    connection->ringWrite = 0;
  }
  return connection->ringBuffer != nullptr;
}

void closeReceiveRing(Connection* connection) {
  if (connection == nullptr) return;
  plat::memoryFree(connection->ringBuffer);
  connection->ringBuffer = nullptr;
  connection->ringRead = 0;
  connection->ringWrite = 0;
}

int32_t ringCount(const Connection* connection) {
  if (connection == nullptr || connection->ringBuffer == nullptr) return 0;
  return (connection->ringWrite - connection->ringRead + kRingSize) % kRingSize;
}

void ringPut(Connection* connection, const char* bytes, int32_t n) {
  if (n <= 0 || !openReceiveRing(connection)) return;
  // At most two runs: up to the end of the ring, then from its start.
  int32_t first = kRingSize - connection->ringWrite;
  if (first > n) first = n;
  std::memcpy(connection->ringBuffer + connection->ringWrite, bytes, static_cast<size_t>(first));
  if (n > first) std::memcpy(connection->ringBuffer, bytes + first, static_cast<size_t>(n - first));
  connection->ringWrite = (connection->ringWrite + n) % kRingSize;
}

int32_t ringPeek(Connection* connection, char* destination, int32_t n) {
  int32_t available = ringCount(connection);
  int32_t count = n < available ? n : available;
  if (count <= 0) return 0;
  // At most two runs: up to the end of the ring, then from its start. Every
  // line of a download is peeked, so this copy must be cheap.
  int32_t first = kRingSize - connection->ringRead;
  if (first > count) first = count;
  std::memcpy(destination, connection->ringBuffer + connection->ringRead, static_cast<size_t>(first));
  if (count > first) std::memcpy(destination + first, connection->ringBuffer, static_cast<size_t>(count - first));
  return count;
}

int32_t ringTake(Connection* connection, char* destination, int32_t n) {
  if (connection == nullptr) return 0;
  int32_t count = ringPeek(connection, destination, n);
  connection->ringRead = (connection->ringRead + count) % kRingSize;
  if (connection->ringRead == connection->ringWrite) {
    connection->ringRead = 0;
    connection->ringWrite = 0;
  }
  return count;
}

bool waitForData(Connection* connection, int32_t wait) {
  if (ringCount(connection) > 0) return true;
  // No connection: as a closed socket, the read that follows meets the end.
  if (connection == nullptr) return true;
  // Nothing can answer what has not gone out yet. A write-out that fails
  // leaves the failure to the next send or receive.
  if (connection->outputUsed > 0) flushOutput(connection);
  // qelWait has just looked at this socket and found nothing to read.
  if (wait <= 0 && !streamBuffersInside(connection) && takeNoDataAtWait(connection)) {
    connection->dataAwaited = true;
    return false;
  }
  uint32_t end = 0;
  bool first = true;
  for (;;) {
    if (dataWaiting(connection)) return true;
    uint32_t now = plat::tickCount();
    if (first) {
      end = now + static_cast<uint32_t>(wait < 0 ? 0 : wait);
      first = false;
    }
    acknowledgeReceived(connection);
    if (!tickBefore(now, end)) {
      // A step that stays where it is sleeps on the socket until data comes.
      connection->dataAwaited = true;
      return false;
    }
    plat::socketWaitReadable(connection->socket, readyWaitPause(end - now));
  }
}

namespace {

// One socket read straight into the free run of the ring behind ringWrite,
// as much as it holds. The count, -1, or kErrNoMemory when the ring could
// not be had.
int32_t fillRing(Connection* connection) {
  if (!openReceiveRing(connection)) return kErrNoMemory;
  int32_t room = kRingSize - 1 - ringCount(connection);
  int32_t run = kRingSize - connection->ringWrite;
  if (run > room) run = room;
  if (run <= 0) return 0;
  char* at = connection->ringBuffer + connection->ringWrite;
  int32_t got = receiveFromSocket(connection, at, run);
  if (got <= 0) return got;
  logReceived(*connection->log, LogStream::socket, "P: ", at, got);
  connection->ringWrite = (connection->ringWrite + got) % kRingSize;
  return got;
}

}  // namespace

int32_t receivePeekWait(Connection* connection, char* destination, int32_t want, int32_t wait) {
  if (want > kReceiveChunk) want = kReceiveChunk;
  if (want <= 0) return 0;
  uint32_t end = tickAfter(plat::tickCount(), wait < 0 ? 0 : wait);
  for (;;) {
    int32_t have = ringPeek(connection, destination, want);
    if (have >= want || std::memchr(destination, '\n', static_cast<size_t>(have)) != nullptr) return have;
    int32_t ready = receiveReady(connection);
    if (ready < 0) return have > 0 ? have : kConnectionGone;
    if (ready == 0) {
      uint32_t now = plat::tickCount();
      if (!tickBefore(now, end)) return have;
      acknowledgeReceived(connection);
      plat::socketWaitReadable(connection->socket, readyWaitPause(end - now));
      continue;
    }
    int32_t filled = fillRing(connection);
    if (filled < 0) return have > 0 ? have : (filled == kErrNoMemory ? kErrNoMemory : kConnectionGone);
  }
}

int32_t receiveTake(Connection* connection, char* destination, int32_t n) {
  if (n <= 0) return 0;
  int32_t fromRing = ringCount(connection) < n ? ringCount(connection) : n;
  if (fromRing > 0) {
    ringTake(connection, destination, fromRing);
    logReceived(*connection->log, LogStream::ring, "r: ", destination, fromRing);
  }
  int32_t fromSocket = 0;
  if (fromRing < n) {
    int32_t ready = receiveReady(connection);
    if (ready > 0) {
      int32_t got = receiveFromSocket(connection, destination + fromRing, n - fromRing);
      if (got > 0) {
        fromSocket = got;
        logReceived(*connection->log, LogStream::socket, "R: ", destination + fromRing, got);
      } else if (got < 0 && fromRing == 0) {
        return kConnectionGone;
      }
      // Bytes already taken from the ring are handed out; the next call
      // meets the end of the connection.
    } else if (ready < 0 && fromRing == 0) {
      return kConnectionGone;
    }
  }
  return fromRing + fromSocket;
}

namespace {

// The bytes of the ring up to and including its first line feed among the
// first max, or max (at most all it holds) when there is none. The line is
// looked for where it lies, in at most two runs.
int32_t ringLineLength(const Connection* connection, int32_t max) {
  int32_t available = ringCount(connection);
  int32_t count = max < available ? max : available;
  int32_t first = kRingSize - connection->ringRead;
  if (first > count) first = count;
  const char* start = connection->ringBuffer + connection->ringRead;
  const void* lineFeed = std::memchr(start, '\n', static_cast<size_t>(first));
  if (lineFeed != nullptr) return static_cast<int32_t>(static_cast<const char*>(lineFeed) - start) + 1;
  lineFeed = std::memchr(connection->ringBuffer, '\n', static_cast<size_t>(count - first));
  if (lineFeed != nullptr) {
    return first + static_cast<int32_t>(static_cast<const char*>(lineFeed) - connection->ringBuffer) + 1;
  }
  return count;
}

}  // namespace

int32_t takeRingLine(Connection* connection, char* destination, int32_t room) {
  if (room <= 1 || ringCount(connection) == 0) return 0;
  int32_t max = room - 1 < kReceiveChunk ? room - 1 : kReceiveChunk;
  int32_t length = ringLineLength(connection, max);
  if (length < max && connection->ringBuffer[(connection->ringRead + length - 1) % kRingSize] != '\n') return 0;
  ringTake(connection, destination, length);
  logReceived(*connection->log, LogStream::ring, "r: ", destination, length);
  destination[length] = '\0';
  return length;
}

int32_t readLinePiece(Connection* connection, char* destination, int32_t room) {
  if (room <= 1) return 0;
  int32_t max = room - 1 < kReceiveChunk ? room - 1 : kReceiveChunk;
  if (ringCount(connection) == 0) {
    int32_t ready = receiveReady(connection);
    if (ready < 0) return kConnectionGone;
    int32_t filled = ready > 0 ? fillRing(connection) : 0;
    if (filled < 0) return filled == kErrNoMemory ? kErrNoMemory : kConnectionGone;
    if (ringCount(connection) == 0) return 0;
  }
  // Line feeds are looked for among all the bytes a piece may take: a NUL
  // inside a line must not glue the following line onto it.
  int32_t wanted = ringLineLength(connection, max);
  int32_t taken = receiveTake(connection, destination, wanted);
  if (taken < 1) return taken;
  destination[taken] = '\0';
  return taken;
}

namespace {

// The line reader's loop; nextWait() gives the wait for each further piece.
template <typename NextWait>
int32_t readLineWith(Connection* connection, char* destination, int32_t room, int32_t firstWait, NextWait nextWait) {
  if (!waitForData(connection, firstWait)) return 0;
  int32_t total = readLinePiece(connection, destination, room);
  if (total <= 0) return total;
  while (destination[total - 1] != '\n' && total < room - 1 && waitForData(connection, nextWait())) {
    int32_t piece = readLinePiece(connection, destination + total, room - total);
    if (piece <= 0) break;  // what came so far is the line
    total += piece;
  }
  return total;
}

}  // namespace

int32_t waitUntil(uint32_t end) {
  uint32_t now = plat::tickCount();
  return tickBefore(now, end) ? static_cast<int32_t>(end - now) : 0;
}

int32_t readLine(Connection* connection, char* destination, int32_t room, int32_t firstWait, int32_t nextWait) {
  return readLineWith(connection, destination, room, firstWait, [nextWait] { return nextWait; });
}

int32_t readLineUntil(Connection* connection, char* destination, int32_t room, int32_t firstWait, uint32_t end) {
  return readLineWith(connection, destination, room, firstWait, [end] { return waitUntil(end); });
}

}  // namespace qel
