#include "frame/socket_state.h"

namespace qel {

bool readinessTest(ChannelRecord* record, plat::Readiness kind) {
  if (!record->socketOpen) return true;
  plat::lockEnter();
  // Through TLS, readable means application data: bytes already decrypted
  // inside the session count, handshake messages do not.
  int32_t rc = record->tlsSession != nullptr && kind == plat::Readiness::readable
                   ? plat::tlsReadable(record->tlsSession)
                   : plat::socketReady(record->socket, kind);
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
