// State 107: the TLS handshake, one step per driver call, for implicit TLS
// right after the connect and for STARTTLS/STLS after the server's go-ahead.
// Whatever fails here fails the sequence: nothing is sent in clear instead.
#include <iterator>

#include "driver/connection_use.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "frame/ticks.h"
#include "transport/receive.h"
#include "transport/stream.h"
#include "transport/tls_channel.h"

namespace qel {
namespace {

// The failure code of a handshake step that ended the handshake.
int32_t handshakeFailure(plat::TlsStep step) {
  switch (step) {
    case plat::TlsStep::untrusted: return kErrTlsUntrusted;
    case plat::TlsStep::nameMismatch: return kErrTlsNameMismatch;
    default: return kErrTlsHandshake;
  }
}

// 107: one step of the handshake; afterHandshakeState once it stands.
int32_t stepHandshake(ChannelRecord* record, uint32_t now) {
  Connection* connection = useConnection(record);
  if (connection == nullptr) return failState(record, 0, kErrNoMemory);
  if (!streamEncrypted(connection)) {
    int32_t rc = openTlsSession(connection, record->serverName);
    if (rc < 0) return failState(record, 0, rc);
  }
  plat::TlsStep step = streamHandshakeStep(connection);
  if (step == plat::TlsStep::wantRead || step == plat::TlsStep::wantWrite) {
    // The wait between two steps sleeps on the socket.
    record->step.stepWaitsOn = step == plat::TlsStep::wantRead ? kStepWaitsForData : kStepWaitsForWritable;
    return kStateContinue;
  }
  if (step != plat::TlsStep::done) return failState(record, 0, handshakeFailure(step));
  logFormat(record, "TLS established: %s, certificate %s\r\n", record->tls.reason,
            record->tls.verify != 0 ? "checked" : "NOT checked");
  record->step.dueTime = tickAfter(now, settings.minimumWait);
  record->step.deadline = tickAfter(now, settings.replyTimeout);
  record->step.nextState = record->step.afterHandshakeState;
  return kStateContinue;
}

constexpr StateEntry kTlsStates[] = {{kStateTlsHandshake, stepHandshake}};
const StateRegistration registered(kTlsStates, std::size(kTlsStates));

}  // namespace

int32_t continueWithoutTls(ChannelRecord* record, const char* why, int32_t clearState) {
  setTlsReason(record->tls, why);
  if (record->tls.mode != kTlsStartOptional) return failState(record, 0, kErrTlsNotOffered);
  logFormat(record, "No TLS (%s): going on in clear\r\n", why);
  if (record->connection != nullptr) record->connection->tlsDeclined = 1;
  record->step.nextState = clearState;
  return kStateContinue;
}

int32_t tlsRefusedByReply(ChannelRecord* record, int32_t clearState) {
  char line[kLastReplyCap + 1];
  copyText(line, record->texts.lastReply, kLastReplyCap);
  char* end = line;
  while (*end != '\0' && *end != '\r' && *end != '\n') ++end;
  *end = '\0';
  return continueWithoutTls(record, line, clearState);
}

int32_t startTlsHandshake(ChannelRecord* record, uint32_t now, int32_t then, int32_t timeoutMs) {
  // Bytes that came in clear behind the go-ahead would be read as if they
  // had come through TLS: a man in the middle could put words in the
  // server's mouth that way (RFC 3207, section 5).
  if (ringCount(record->connection) > 0) {
    setTlsReason(record->tls, "data in clear after the go-ahead");
    return failState(record, 0, kErrTlsHandshake);
  }
  record->step.afterHandshakeState = then;
  record->step.deadline = tickAfter(now, timeoutMs);
  record->step.nextState = kStateTlsHandshake;
  return kStateContinue;
}

}  // namespace qel
