#include "frame/socket_state.h"

namespace qel {

bool readinessTest(ChannelRecord* record, plat::Readiness kind) {
  if (!record->socketOpen) return true;
  plat::lockEnter();
  int32_t rc = plat::socketReady(record->socket, kind);
  plat::lockLeave();
  return rc != 0;
}

void adoptSocket(ChannelRecord* record, plat::SocketHandle handle) {
  record->socket = handle;
  record->socketOpen = true;
  int32_t channel = record->channelNumber;
  if (channel >= 0 && channel < kMaxChannels) channelTable[channel].socket = handle;
}

}  // namespace qel
