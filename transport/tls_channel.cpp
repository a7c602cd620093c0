#include "transport/tls_channel.h"

#include "frame/errors.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"

namespace qel {

bool usesStartTls(const ChannelRecord* record) {
  return record->tls.mode == kTlsStartRequired || record->tls.mode == kTlsStartOptional;
}

void setTlsReason(ChannelRecord* record, const char* text) { copyText(record->tls.reason, text, kTlsReasonCap); }

int32_t openTlsSession(ChannelRecord* record) {
  record->tls.reason[0] = '\0';
  if (!plat::tlsAvailable()) {
    setTlsReason(record, "no TLS in this build");
    return kErrTlsUnavailable;
  }
  int32_t sendLimit = settings.lineTimeout > settings.replyTimeout ? settings.lineTimeout : settings.replyTimeout;
  plat::TlsOptions options{record->serverName, record->tls.verify != 0, record->tls.caFile,
                           static_cast<uint32_t>(sendLimit > 0 ? sendLimit : 0)};
  bool caFileFailed = false;
  record->tlsSession = plat::tlsCreate(record->socket, options, record->tls.reason, kTlsReasonCap, &caFileFailed);
  if (record->tlsSession == nullptr) return caFileFailed ? kErrTlsCaFile : kErrTlsHandshake;
  logFormat(record, "TLS handshake with '%s'%s\r\n", record->serverName,
            record->tls.verify != 0 ? "" : ": certificate check OFF");
  return 0;
}

void endTlsSession(ChannelRecord* record) {
  if (record->tlsSession == nullptr) return;
  plat::tlsCloseNotify(record->tlsSession);
  plat::tlsFree(record->tlsSession);
  record->tlsSession = nullptr;
}

}  // namespace qel
