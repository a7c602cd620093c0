// POP3 STLS (RFC 2595) right after the greeting: STLS (322), its answer
// (323), the handshake (107), then the login. The APOP timestamp stays the
// one of the greeting.
#include <iterator>

#include "driver/driver.h"
#include "frame/errors.h"
#include "pop3/pop3_states.h"
#include "transport/receive.h"
#include "transport/replies.h"
#include "driver/connection_use.h"
#include "transport/tls_channel.h"

namespace qel {
namespace {

// 322: STLS.
int32_t sendStls(ChannelRecord* record, uint32_t now) {
  return sentThen(record, sendCommand(record, "STLS"), kStateStlsReply, replyWait, now);
}

// 323: "+OK" starts the handshake. A refusal leaves the connection in
// clear, which only the optional mode accepts.
int32_t readStlsReply(ChannelRecord* record, uint32_t now) {
  if (!waitForData(record->connection, 0)) return kStateContinue;
  int32_t rc = readPop3Reply(record);
  if (rc == 0) return startTlsHandshake(record, now, record->step.afterHandshakeState, settings.replyTimeout);
  if (rc != kErrPop3Error) return failState(record, 0, rc);
  rc = tlsRefusedByReply(record, record->step.afterHandshakeState);
  if (tlsWasDeclined(record->connection)) replyWait(record, now);
  return rc;
}

constexpr StateEntry kStlsStates[] = {{kStateStls, sendStls}, {kStateStlsReply, readStlsReply}};
const StateRegistration registered(kStlsStates, std::size(kStlsStates));

}  // namespace
}  // namespace qel
