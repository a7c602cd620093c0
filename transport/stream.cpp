#include "transport/stream.h"

#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "platform/tls.h"

namespace qel {

int32_t streamSend(Connection* connection, const char* bytes, int32_t length) {
  return connection->tlsSession != nullptr ? plat::tlsSend(connection->tlsSession, bytes, length)
                                           : plat::socketSend(connection->socket, bytes, length);
}

int32_t streamReceive(Connection* connection, char* destination, int32_t n) {
  if (connection->tlsSession != nullptr) return plat::tlsReceive(connection->tlsSession, destination, n);
  int32_t got = plat::socketReceive(connection->socket, destination, n);
  return got > 0 ? got : -1;
}

bool streamBuffersInside(const Connection* connection) {
  return connection != nullptr && connection->tlsSession != nullptr;
}

bool streamEncrypted(const Connection* connection) {
  return connection != nullptr && connection->tlsSession != nullptr;
}

bool streamReadable(Connection* connection) {
  if (!socketIsOpen(connection)) return true;
  plat::lockEnter();
  int32_t rc = connection->tlsSession != nullptr ? plat::tlsReadable(connection->tlsSession)
                                                 : plat::socketReady(connection->socket, plat::Readiness::readable);
  plat::lockLeave();
  return rc != 0;
}

int32_t streamReadiness(Connection* connection) {
  constexpr int32_t kBoth = plat::kReadyReadable | plat::kReadyWritable;
  if (!socketIsOpen(connection)) return kBoth;
  plat::lockEnter();
  int32_t bits;
  if (connection->tlsSession != nullptr) {
    bits = (plat::socketReady(connection->socket, plat::Readiness::writable) != 0 ? plat::kReadyWritable : 0) |
           (plat::tlsReadable(connection->tlsSession) != 0 ? plat::kReadyReadable : 0);
  } else {
    bits = plat::socketReadiness(connection->socket);
    if (bits < 0) bits = kBoth;
  }
  plat::lockLeave();
  return bits;
}

int32_t openTlsSession(Connection* connection, const char* serverName) {
  if (connection->tlsSession != nullptr) return 0;
  TlsSettings& tls = *connection->tls;
  tls.reason[0] = '\0';
  if (!plat::tlsAvailable()) {
    copyText(tls.reason, "no TLS in this build", kTlsReasonCap);
    return kErrTlsUnavailable;
  }
  int32_t sendLimit = settings.lineTimeout > settings.replyTimeout ? settings.lineTimeout : settings.replyTimeout;
  plat::TlsOptions options{serverName, tls.verify != 0, tls.caFile,
                           static_cast<uint32_t>(sendLimit > 0 ? sendLimit : 0)};
  bool caFileFailed = false;
  connection->tlsSession = plat::tlsCreate(connection->socket, options, tls.reason, kTlsReasonCap, &caFileFailed);
  if (connection->tlsSession == nullptr) return caFileFailed ? kErrTlsCaFile : kErrTlsHandshake;
  logFormat(*connection->log, "TLS handshake with '%s'%s\r\n", serverName,
            tls.verify != 0 ? "" : ": certificate check OFF");
  return 0;
}

plat::TlsStep streamHandshakeStep(Connection* connection) {
  plat::TlsStep step = plat::tlsHandshakeStep(connection->tlsSession);
  if (step != plat::TlsStep::wantRead && step != plat::TlsStep::wantWrite) {
    plat::tlsReason(connection->tlsSession, connection->tls->reason, kTlsReasonCap);
  }
  return step;
}

void endTlsSession(Connection* connection) {
  if (connection == nullptr || connection->tlsSession == nullptr) return;
  plat::tlsCloseNotify(connection->tlsSession);
  plat::tlsFree(connection->tlsSession);
  connection->tlsSession = nullptr;
}

void dropTlsSession(Connection* connection) {
  if (connection == nullptr || connection->tlsSession == nullptr) return;
  plat::tlsFree(connection->tlsSession);
  connection->tlsSession = nullptr;
}

}  // namespace qel
