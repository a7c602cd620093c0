#include "exit_status.h"

#include <cstring>

#include "qel32.h"
#include "session.h"

namespace qelmail {
namespace {

constexpr int32_t kResolverTryAgain = -11002;
constexpr int32_t kFirstSocketCode = -10000;  // socket errors are -10004 and below
constexpr int32_t kLastReplyRoom = 128;
constexpr int32_t kTransientFirst = 400;
constexpr int32_t kTransientLast = 499;

// SMTP replies that refuse a login (RFC 4954): 530, 534, 535, 538.
bool refusesLogin(int32_t reply) { return reply == 530 || reply == 534 || reply == 535 || reply == 538; }

// A 4xx reply that failed the step (RFC 5321 section 4.2.1: a transient
// failure): 421 to the greeting, 454 to STARTTLS or AUTH, 451 or 452 to
// MAIL, RCPT, DATA or the end of the text. The server asks to be tried
// again, whatever the step.
bool temporaryReply(int32_t code) {
  if (code != QEL_ERR_SMTP_ERROR && code != QEL_ERR_TLS_NOT_OFFERED) return false;
  int32_t reply = qelStatistics(kChannel, QEL_STAT_REPLY_CODE);
  return reply >= kTransientFirst && reply <= kTransientLast;
}

// The connection broke or never stood: worth trying again later.
bool connectionTrouble(int32_t code) {
  switch (code) {
    case QEL_ERR_SOCKET_CLOSED:
    case QEL_ERR_INVALID_SOCKET:
    case QEL_ERR_TIMED_OUT:
    case QEL_ERR_CANNOT_CREATE_SOCKET:
    case QEL_ERR_CONNECT_FAILED:
    case QEL_ERR_SOCKET_READ:
    case QEL_ERR_SOCKET_WRITE:
    case QEL_ERR_NOT_CONNECTED:
      return true;
    default:
      return code <= kFirstSocketCode;
  }
}

// A POP3 "-ERR" that says it is temporary (RFC 3206: [SYS/TEMP], [IN-USE]).
bool temporaryPop3Refusal() {
  char reply[kLastReplyRoom + 1];
  reply[0] = '\0';
  qelDebug(kChannel, QEL_DEBUG_LAST_REPLY, reply, kLastReplyRoom);
  return std::strstr(reply, "[SYS/TEMP]") != nullptr || std::strstr(reply, "[IN-USE]") != nullptr;
}

}  // namespace

int exitCodeFor(int32_t code, Step step) {
  int32_t socketCode = qelStatistics(kChannel, QEL_STAT_SOCKET_CODE);
  if (code == QEL_ERR_SERVER_NOT_FOUND) return socketCode == kResolverTryAgain ? kExitTemporary : kExitUnavailable;
  if (connectionTrouble(code) || temporaryReply(code)) return kExitTemporary;
  int32_t reply = qelStatistics(kChannel, QEL_STAT_REPLY_CODE);
  if (code == QEL_ERR_SMTP_ERROR) {
    if (refusesLogin(reply)) return kExitNoPermission;
    return step == Step::connect ? kExitUnavailable : kExitDataError;
  }
  if (code == QEL_ERR_POP3_ERROR) {
    if (temporaryPop3Refusal()) return kExitTemporary;
    return step == Step::login ? kExitNoPermission : kExitDataError;
  }
  if (code == QEL_ERR_RESPONSE_OVERFLOW) return kExitUnavailable;
  // TLS: a server without it, or with a certificate that is refused, stays
  // so until someone changes it; a handshake that broke off may go through
  // next time.
  if (code == QEL_ERR_TLS_NOT_OFFERED || code == QEL_ERR_TLS_UNTRUSTED || code == QEL_ERR_TLS_NAME_MISMATCH) {
    return kExitUnavailable;
  }
  if (code == QEL_ERR_TLS_HANDSHAKE) return kExitTemporary;
  // No login mechanism fits, or a server that cannot prove it knows the
  // password: neither changes by trying again.
  if (code == QEL_ERR_NO_COMMON_MECHANISM || code == QEL_ERR_SERVER_NOT_PROVEN) return kExitUnavailable;
  return kExitFailed;
}

}  // namespace qelmail
