#include "transport/tls_channel.h"

#include "frame/text.h"

namespace qel {

bool usesStartTls(const TlsSettings& tls) { return tls.mode == kTlsStartRequired || tls.mode == kTlsStartOptional; }

void setTlsReason(TlsSettings& tls, const char* text) { copyText(tls.reason, text, kTlsReasonCap); }

}  // namespace qel
