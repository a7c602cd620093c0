#include "frame/socket_state.h"

#include <atomic>

namespace qel {
namespace {

// The number of qelWait's current look (never 0 once one has started), and
// per channel the look that found its socket without data.
std::atomic<uint32_t> lookNumber{0};
std::atomic<uint32_t> noDataLook[kMaxChannels];

bool validChannel(const ChannelRecord* record) {
  return record->channelNumber >= 0 && record->channelNumber < kMaxChannels;
}

}  // namespace

void startWaitLook() {
  uint32_t next = lookNumber.load(std::memory_order_relaxed) + 1;
  lookNumber.store(next == 0 ? 1 : next, std::memory_order_relaxed);
}

void noteNoDataAtWait(const ChannelRecord* record) {
  if (!validChannel(record)) return;
  noDataLook[record->channelNumber].store(lookNumber.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

bool takeNoDataAtWait(const ChannelRecord* record) {
  if (!validChannel(record)) return false;
  uint32_t look = noDataLook[record->channelNumber].exchange(0, std::memory_order_relaxed);
  return look != 0 && look == lookNumber.load(std::memory_order_relaxed);
}

bool readinessTest(ChannelRecord* record, plat::Readiness kind) {
  if (!record->socketOpen) return true;
  plat::lockEnter();
  int32_t rc = plat::socketReady(record->socket, kind);
  plat::lockLeave();
  return rc != 0;
}

void adoptSocket(ChannelRecord* record, plat::SocketHandle handle) {
  record->socket = handle;
  record->receiveReadyNoted = false;
  record->ackOwed = false;
  record->ackSettled = false;
  record->log.lineBytes[0] = record->log.lineBytes[1] = 0;
  record->socketOpen = true;
  // Nothing qelWait found on an earlier socket holds for this one.
  if (validChannel(record)) noDataLook[record->channelNumber].store(0, std::memory_order_relaxed);
  int32_t channel = record->channelNumber;
  if (channel >= 0 && channel < kMaxChannels) channelTable[channel].socket = handle;
}

}  // namespace qel
