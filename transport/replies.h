// The two reply readers: a whole SMTP reply (one or more lines, numeric
// code) and a POP3 status line.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Reads one SMTP reply into replyText (all its lines) and its code into
// replyCode. 0 for a complete reply with a code below 500; -49 for a code of
// 500 or more (the rest of the reply stays unread); -31 when the reply does
// not fit in 1024 bytes (the rest stays readable); -8 when a continuation
// line does not come within replyTimeout; -1 when the connection ends
// before the reply is complete.
int32_t readSmtpReply(ChannelRecord* record);

// Reads one POP3 status line into replyText. 0 for "+..." (replyCode 100),
// -63 otherwise (replyCode 500), -8 when nothing comes within pop3ReadWait,
// -1 when the connection ends before the line. Clears the channel deadline:
// the reader bounds its own wait.
int32_t readPop3Reply(ChannelRecord* record);

}  // namespace qel
