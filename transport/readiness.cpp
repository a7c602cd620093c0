#include "transport/readiness.h"

#include <atomic>

namespace qel {
namespace {

// The number of qelWait's current look (never 0 once one has started).
std::atomic<uint32_t> lookNumber{0};

}  // namespace

void startWaitLook() {
  uint32_t next = lookNumber.load(std::memory_order_relaxed) + 1;
  lookNumber.store(next == 0 ? 1 : next, std::memory_order_relaxed);
}

void noteNoDataAtWait(Connection* connection) {
  if (connection == nullptr) return;
  connection->noDataLook.store(lookNumber.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

bool takeNoDataAtWait(Connection* connection) {
  if (connection == nullptr) return false;
  uint32_t look = connection->noDataLook.exchange(0, std::memory_order_relaxed);
  return look != 0 && look == lookNumber.load(std::memory_order_relaxed);
}

bool readinessTest(const Connection* connection, plat::Readiness kind) {
  if (!socketIsOpen(connection)) return true;
  plat::lockEnter();
  int32_t rc = plat::socketReady(connection->socket, kind);
  plat::lockLeave();
  return rc != 0;
}

void adoptSocket(Connection* connection, plat::SocketHandle handle) {
  connection->socket = handle;
  connection->receiveReadyNoted = false;
  connection->ackOwed = false;
  connection->ackSettled = false;
  connection->log->lineBytes[0] = connection->log->lineBytes[1] = 0;
  connection->socketOpen = true;
  // Nothing qelWait found on an earlier socket holds for this one.
  connection->noDataLook.store(0, std::memory_order_relaxed);
}

}  // namespace qel
