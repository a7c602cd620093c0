#include "transport/stream.h"

#include "platform/tls.h"

namespace qel {

int32_t streamSend(ChannelRecord* record, const char* bytes, int32_t length) {
  return record->tlsSession != nullptr ? plat::tlsSend(record->tlsSession, bytes, length)
                                       : plat::socketSend(record->socket, bytes, length);
}

int32_t streamReceive(ChannelRecord* record, char* destination, int32_t n) {
  if (record->tlsSession != nullptr) return plat::tlsReceive(record->tlsSession, destination, n);
  int32_t got = plat::socketReceive(record->socket, destination, n);
  return got > 0 ? got : -1;
}

bool streamBuffersInside(const ChannelRecord* record) { return record->tlsSession != nullptr; }

bool streamReadable(ChannelRecord* record) {
  if (!record->socketOpen) return true;
  plat::lockEnter();
  int32_t rc = record->tlsSession != nullptr ? plat::tlsReadable(record->tlsSession)
                                             : plat::socketReady(record->socket, plat::Readiness::readable);
  plat::lockLeave();
  return rc != 0;
}

int32_t streamReadiness(ChannelRecord* record) {
  constexpr int32_t kBoth = plat::kReadyReadable | plat::kReadyWritable;
  if (!record->socketOpen) return kBoth;
  plat::lockEnter();
  int32_t bits;
  if (record->tlsSession != nullptr) {
    bits = (plat::socketReady(record->socket, plat::Readiness::writable) != 0 ? plat::kReadyWritable : 0) |
           (plat::tlsReadable(record->tlsSession) != 0 ? plat::kReadyReadable : 0);
  } else {
    bits = plat::socketReadiness(record->socket);
    if (bits < 0) bits = kBoth;
  }
  plat::lockLeave();
  return bits;
}

}  // namespace qel
