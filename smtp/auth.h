// SMTP authentication: the choice of a mechanism from the EHLO reply, and
// the CRAM-MD5 response.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// The state that follows the EHLO reply: 150 when it offers "AUTH CRAM-MD5",
// else 160 for "AUTH LOGIN" or "AUTH=LOGIN", else 0 (no authentication).
// Letter case does not matter; only a mechanism named right after "AUTH "
// is seen.
int32_t chooseAuthState(const char* ehloReply);

// Replaces the decoded challenge in scratchText (digested up to its first
// CR) by "<userName> <32 lower-case hex digits of HMAC-MD5 under password>".
void makeCramResponse(ChannelRecord* record);

}  // namespace qel
